// SPDX-License-Identifier: MIT
#include "transport/telnetclient.h"

#include <cstring>

namespace KvDevice {

namespace {
// What a received byte means to the parser.
enum Class : quint8 { Plain, IacByte, SbByte, SeByte, VerbByte, CommandByte, ClassCount };

constexpr Class classOf(int byte)
{
    return byte == TelnetClient::Iac  ? IacByte
         : byte == TelnetClient::Sb   ? SbByte
         : byte == TelnetClient::Se   ? SeByte
         : byte >= TelnetClient::Will ? VerbByte
         : byte > TelnetClient::Se    ? CommandByte
                                      : Plain;
}

enum Action : quint8 {
    Emit,        // a data byte
    Skip,        // nothing to do (also: a command without meaning for us, NOP, GA, DM ...)
    EmitIac,     // IAC IAC: a data byte 255
    KeepVerb,    // WILL/WONT/DO/DONT: the option follows
    Negotiate,   // the option of a WILL/WONT/DO/DONT
    BeginSub,    // the option of a sub-negotiation
    SubAppend,   // a byte of it
    SubIac,      // IAC IAC inside it
    EndSub,      // IAC SE
};

struct Step
{
    quint8 next;
    Action action;
};

// [state][class]: Data, Command, Option, SubOption, SubData, SubCommand by Plain, IAC, SB,
// SE, WILL..DONT, other commands. An IAC inside a sub-negotiation that is neither IAC IAC
// nor IAC SE abandons it and counts as the command it starts.
constexpr Step table[6][ClassCount] = {
    /* Data       */ {{0, Emit}, {1, Skip}, {0, Emit}, {0, Emit}, {0, Emit}, {0, Emit}},
    /* Command    */ {{0, Skip}, {0, EmitIac}, {3, Skip}, {0, Skip}, {2, KeepVerb}, {0, Skip}},
    /* Option     */ {{0, Negotiate}, {0, Negotiate}, {0, Negotiate}, {0, Negotiate}, {0, Negotiate}, {0, Negotiate}},
    /* SubOption  */ {{4, BeginSub}, {4, BeginSub}, {4, BeginSub}, {4, BeginSub}, {4, BeginSub}, {4, BeginSub}},
    /* SubData    */ {{4, SubAppend}, {5, Skip}, {4, SubAppend}, {4, SubAppend}, {4, SubAppend}, {4, SubAppend}},
    /* SubCommand */ {{0, Skip}, {4, SubIac}, {3, Skip}, {0, EndSub}, {2, KeepVerb}, {0, Skip}},
};

constexpr int subLimit = 64; // longer sub-negotiations (signatures) are cut; ours are short

void command(QByteArray &out, quint8 verb, quint8 option)
{
    const char bytes[] = {char(TelnetClient::Iac), char(verb), char(option)};
    out.append(bytes, 3);
}

void comPortCommand(QByteArray &out, quint8 code, const QByteArray &value)
{
    const char head[] = {char(TelnetClient::Iac), char(TelnetClient::Sb), char(TelnetClient::ComPort), char(code)};
    out.append(head, 4);
    TelnetClient::escape(value.constData(), value.size(), out);
    const char tail[] = {char(TelnetClient::Iac), char(TelnetClient::Se)};
    out.append(tail, 2);
}

bool wanted(quint8 option, bool local)
{
    return option == TelnetClient::Binary || option == TelnetClient::SuppressGoAhead || (local && option == TelnetClient::ComPort);
}
} // namespace

QByteArray TelnetClient::greeting()
{
    QByteArray out;
    for (const quint8 option : {quint8(Binary), quint8(SuppressGoAhead), quint8(ComPort)}) {
        if (local[option] == No) {
            command(out, Will, option);
            local[option] = WantYes;
        }
        if (option != ComPort && remote[option] == No) {
            command(out, Do, option);
            remote[option] = WantYes;
        }
    }
    return out;
}

QByteArray TelnetClient::settings()
{
    QByteArray out;
    const char baud[] = {0, 1, char(0xc2), 0}; // 115200, network order
    comPortCommand(out, SetBaudRate, QByteArray(baud, 4));
    comPortCommand(out, SetDataSize, QByteArray(1, 8));
    comPortCommand(out, SetParity, QByteArray(1, 1));   // none
    comPortCommand(out, SetStopSize, QByteArray(1, 1)); // 1
    // No flow control, DTR on, RTS on. A server whose port has no modem lines (ser2net
    // on a pty) leaves the last two unanswered: nothing waits for them.
    for (const char control : {1, 8, 11})
        comPortCommand(out, SetControl, QByteArray(1, control));
    return out;
}

void TelnetClient::escape(const char *bytes, qsizetype size, QByteArray &out)
{
    const char *const end = bytes + size;
    while (bytes < end) {
        const void *iac = std::memchr(bytes, Iac, size_t(end - bytes));
        const char *stop = iac ? static_cast<const char *>(iac) + 1 : end;
        out.append(bytes, int(stop - bytes));
        if (iac)
            out.append(char(Iac));
        bytes = stop;
    }
}

void TelnetClient::receive(const char *bytes, qsizetype size, QByteArray &data, QByteArray &reply)
{
    const char *const end = bytes + size;
    while (bytes < end) {
        if (state == Data) {
            // Runs of data at once: the common case by far.
            const void *iac = std::memchr(bytes, Iac, size_t(end - bytes));
            const char *stop = iac ? static_cast<const char *>(iac) : end;
            data.append(bytes, int(stop - bytes));
            bytes = stop;
            if (bytes == end)
                break;
        }
        const quint8 byte = quint8(*bytes++);
        const Step step = table[state][classOf(byte)];
        switch (step.action) {
        case Emit: data.append(char(byte)); break;
        case Skip: break;
        case EmitIac: data.append(char(Iac)); break;
        case KeepVerb: verb = byte; break;
        case Negotiate: negotiate(verb, byte, reply); break;
        case BeginSub:
            subOption = byte;
            sub.clear();
            break;
        case SubAppend:
        case SubIac:
            if (sub.size() < subLimit)
                sub.append(char(byte));
            break;
        case EndSub: subnegotiation(reply); break;
        }
        state = State(step.next);
    }
}

void TelnetClient::negotiate(quint8 said, quint8 option, QByteArray &reply)
{
    const bool ours = said == Do || said == Dont; // DO/DONT ask about what we do
    Side &side = ours ? local[option] : remote[option];
    const bool enable = said == Will || said == Do;
    const quint8 yes = ours ? Will : Do, no = ours ? Wont : Dont;
    if (enable) {
        if (side == Yes)
            return;
        if (side == No && !wanted(option, ours)) {
            command(reply, no, option);
            return;
        }
        if (side == No)
            command(reply, yes, option);
        side = Yes;
        if (ours && option == ComPort && !purgeSent) {
            purgeSent = true;
            comPortCommand(reply, PurgeData, QByteArray(1, 3)); // both buffers
        }
    } else {
        if (side == No)
            return;
        if (side == Yes)
            command(reply, no, option);
        side = No;
        if (ours && option == ComPort)
            comPortRefused = true;
    }
}

void TelnetClient::subnegotiation(QByteArray &reply)
{
    if (subOption != ComPort || sub.isEmpty())
        return;
    ++subnegotiations;
    const quint8 code = quint8(sub.at(0));
    const auto value = [this](int i) { return i < sub.size() ? quint8(sub.at(i)) : quint8(0); };
    switch (code) {
    case ServerOffset + SetBaudRate:
        if (sub.size() >= 5) {
            baudRate = quint32(value(1)) << 24 | quint32(value(2)) << 16 | quint32(value(3)) << 8 | value(4);
            baudAcknowledged = true;
        }
        break;
    case ServerOffset + PurgeData:
        if (!settingsSent) {
            settingsSent = true;
            reply += settings();
        }
        break;
    case ServerOffset + NotifyLineState: lineState = value(1); break;
    case ServerOffset + NotifyModemState: modemState = value(1); break;
    default: break; // the other answers confirm what was asked; nothing depends on them
    }
}

} // namespace KvDevice
