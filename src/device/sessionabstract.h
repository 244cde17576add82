#pragma once

#include <kvdevice/kvdevice_export.h>

namespace KvDevice {

/// Base of every session record: the fields of one sentence exchanged with a board.
/// Sessions are destroyed through their own type, never through this base.
class KVDEVICE_EXPORT SessionAbstract
{
public:
    SessionAbstract();

    /// Forgets the sentence and its values; the base holds nothing and does nothing.
    virtual void clear();
};

} // namespace KvDevice
