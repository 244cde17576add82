// SPDX-License-Identifier: MIT
#pragma once

#include <kvdevice/kvdevice_export.h>

namespace KvDevice {

/// Base of every session record: the fields of one sentence exchanged with a board.
class KVDEVICE_EXPORT SessionAbstract
{
public:
    SessionAbstract();
    /// Sessions may be owned through this base (a request's parsed answer is).
    virtual ~SessionAbstract();

    /// Forgets the sentence and its values; the base holds nothing and does nothing.
    virtual void clear();
};

} // namespace KvDevice
