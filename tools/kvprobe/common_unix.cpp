// SPDX-License-Identifier: MIT
// What kvprobe says on Unix: signals, ttys, udev, and ModemManager as a holder of ports.

#include "common.h"

namespace Tool {

const SystemTexts &systemTexts()
{
    static const SystemTexts texts{
        QStringLiteral("Ctrl-C (SIGINT), SIGTERM or SIGHUP"),
        QStringLiteral("Ctrl-D"),
        QStringLiteral(R"(The source is udev's events where udev runs, else the port list polled each second;
--udev, --poll MS or --port-dir DIR (a folder of port links, such as /dev/serial/by-id
or kvboard-sim's) chooses one.

Ports are named by their path (/dev/ttyACM0, /dev/serial/by-id/..., a pty of
kvboard-sim, which plays boards without hardware).

Examples:
  kvprobe                                   all types on the system's candidate ports
  kvprobe --type info --port /dev/ttyACM0 --details
  kvprobe --all --serial 2061376E5748 --serial 2061376E5749 --timeout 1000
  kvprobe --list
  kvprobe --watch --json --type board6100028
  kvprobe --watch --port-dir /tmp/boards      boards whose links kvboard-sim makes there
  kvprobe --port rfc2217://rack-3.lab:4001 --details     a board served by ser2net
  kvprobe --watch --remote rfc2217://rack-3.lab:4001 --remote rfc2217://rack-3.lab:4002
  kvprobe --ask PKVVER --port /dev/ttyACM0 --timeout 1000
  kvprobe --ask KVSTAT,1 --expect KVSTAT --json  every board found, asked for its status
  echo PKVVER | kvprobe --monitor /dev/ttyACM0)"),
        QStringLiteral(R"({"event":"found","location":"1-2","pid":"5740","port":"/dev/ttyACM0","serial":"...","type":"Board6100028","vid":"0483"})")};
    return texts;
}

QString busyAdvice(const KvDevice::PortReport &report)
{
    // Without a name the holder may be ModemManager, which looks at every new port.
    if (report.detail.contains(QLatin1String("another program")))
        return QStringLiteral("; close that program (ModemManager probes new ports for seconds: the README has a udev rule)");
    return QStringLiteral("; close that program");
}

} // namespace Tool
