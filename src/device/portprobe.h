#pragma once

#include <kvdevice/sessioninit.h>
#include <kvdevice/type.h>

#include <QList>
#include <QString>

class QSerialPort;

namespace KvDevice {

/// What probing one port needs, whoever probes it: the queries that identify the
/// requested types, what an answer says the board is, and why a port could not be opened.
class PortProbe
{
public:
    /// The sentences that ask for `types`: the version query when a board type is
    /// requested, the information request when InfoDevice is.
    static QList<int> querySentences(const QList<Type> &types);
    /// The session of one such query, ready to build.
    static SessionInit query(int sentenceId);
    /// The type an answer that parsed names, requested or not; NoDevice when it names none.
    static Type claimedType(const SessionInit &answer);
    /// Why `port` did not open, as an outcome and, in `detail`, in words for people: who
    /// holds a busy port, which group may open a refused one.
    static PortOutcome openFailure(const QSerialPort &port, QString *detail);
};

} // namespace KvDevice
