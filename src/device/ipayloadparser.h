// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>

#include <QString>

namespace KvDevice {

class SessionAbstract;

/// How the transport asks a protocol to turn a session into sentence text and back,
/// without knowing the protocol. Both operations throw Nmea::Exception on failure.
/// Whoever holds a parser pointer does not own the parser.
class KVDEVICE_EXPORT IPayloadParser
{
public:
    virtual ~IPayloadParser() {}

    /// Fills `session` from one received sentence (start flag to CR LF). The session is not
    /// cleared first; after a failure it holds whatever was parsed before the failing step.
    virtual bool parse(SessionAbstract *session, const QString &payload) = 0;
    /// Replaces `payload` with the complete sentence that `session` describes; on failure
    /// `payload` is left as it was.
    virtual bool build(const SessionAbstract *session, QString &payload) = 0;
};

} // namespace KvDevice
