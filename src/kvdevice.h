// SPDX-License-Identifier: MIT
#pragma once

/// \file
/// Everything a host needs from kvdevice: includes every public header.

/// \namespace KvDevice
/// Finding boards (Initializer, Watcher), what the system and the runs tell about ports
/// (PortInfo, PortReport), talking to a board (Communicator, Request, SessionInit), and
/// boards on other machines (RemotePort).

/// \namespace Nmea
/// The sentence engine: framing, checksums and table-driven fields of NMEA-0183-style
/// sentences (ParserAbstract), the init protocol's tables (ParserInit), and its error type.

#include <kvdevice/communicator.h>
#include <kvdevice/exception.h>
#include <kvdevice/initializer.h>
#include <kvdevice/ipayloadparser.h>
#include <kvdevice/kvdevice_export.h>
#include <kvdevice/parserabstract.h>
#include <kvdevice/parserinit.h>
#include <kvdevice/porteventsource.h>
#include <kvdevice/portinfo.h>
#include <kvdevice/portreport.h>
#include <kvdevice/recordingtap.h>
#include <kvdevice/remoteport.h>
#include <kvdevice/request.h>
#include <kvdevice/sessionabstract.h>
#include <kvdevice/sessioninit.h>
#include <kvdevice/type.h>
#include <kvdevice/version.h>
#include <kvdevice/watcher.h>
