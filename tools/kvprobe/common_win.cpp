// SPDX-License-Identifier: MIT
// What kvprobe says on Windows: console keys, COM port names, and ports that Windows opens
// exclusively without naming their holder.

#include "common.h"

namespace Tool {

const SystemTexts &systemTexts()
{
    static const SystemTexts texts{
        QStringLiteral("Ctrl-C, Ctrl-Break or closing the console"),
        QStringLiteral("Ctrl-Z, Enter"),
        QStringLiteral(R"(The source is Windows' device notifications for COM ports; --poll MS lists the
ports every MS milliseconds instead.

Ports are named COM3, com3 or \\.\COM12. kvboard-sim exists on Linux only: it plays
boards without hardware on pseudo-terminals, which Windows does not have.

Examples:
  kvprobe                                   all types on the system's candidate ports
  kvprobe --type info --port COM3 --details
  kvprobe --all --serial 2061376E5748 --serial 2061376E5749 --timeout 1000
  kvprobe --list
  kvprobe --watch --json --type board6100028
  kvprobe --port rfc2217://rack-3.lab:4001 --details     a board served by ser2net
  kvprobe --watch --remote rfc2217://rack-3.lab:4001 --remote rfc2217://rack-3.lab:4002
  kvprobe --ask PKVVER --port COM3 --timeout 1000
  echo PKVVER | kvprobe --monitor COM3)"),
        QStringLiteral(R"json({"event":"found","location":"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)","pid":"5740","port":"COM3","serial":"...","type":"Board6100028","vid":"0483"})json")};
    return texts;
}

QString busyAdvice(const KvDevice::PortReport &)
{
    return QStringLiteral("; close the program that has it open (a terminal, another kvprobe or the board's own tool: "
                          "Windows does not say which)");
}

} // namespace Tool
