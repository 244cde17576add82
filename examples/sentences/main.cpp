// SPDX-License-Identifier: MIT
// Builds the init protocol's queries and parses the answers a board gives: the sentence
// engine on its own, without any port.

#include <kvdevice/kvdevice.h>

#include <QTextStream>

int main()
{
    QTextStream out(stdout);
    //! [engine]
    Nmea::ParserInit parser;
    parser.init();

    KvDevice::SessionInit query;
    query.sentenceId = KvDevice::VersionSentence;
    QString text;
    parser.build(&query, text);
    out << "version query:       " << text.trimmed() << '\n';
    //! [engine]

    query.clear();
    query.sentenceId = KvDevice::InfoRequestSentence;
    query.parameters.insert(KvDevice::InitField::Subcommand, KvDevice::InfoSubcommand);
    parser.build(&query, text);
    out << "information request: " << text.trimmed() << '\n';

    const QStringList answers = {
        QStringLiteral("$PKVVER,HW2-6100028,3,2,3*03\r\n"),
        QStringLiteral("$PTKVRD,INF,N,D,B,R,V,H,A*0b\r\n"),
        QStringLiteral("$PKVVER,HW2-6100028,3,2,3*04\r\n"),
    };
    for (const QString &answer : answers) {
        KvDevice::SessionInit session;
        session.clear();
        out << "parse " << answer.trimmed() << " -> ";
        try {
            parser.parse(&session, answer);
            out << "sentence " << session.sentenceId;
            QStringList names = session.parameters.keys();
            names.sort();
            for (const QString &name : names)
                out << ' ' << name << '=' << session.parameters.value(name).toString();
            out << '\n';
        } catch (const Nmea::Exception &e) {
            out << "rejected: " << e.message() << '\n';
        }
    }
    return 0;
}
