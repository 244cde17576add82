#pragma once

// Everything a host needs from kvdevice.

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
#include <kvdevice/sessionabstract.h>
#include <kvdevice/sessioninit.h>
#include <kvdevice/type.h>
#include <kvdevice/version.h>
#include <kvdevice/watcher.h>
