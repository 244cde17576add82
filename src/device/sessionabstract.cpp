// SPDX-License-Identifier: MIT
#include <kvdevice/sessionabstract.h>
#include <kvdevice/sessioninit.h>

namespace KvDevice {

SessionAbstract::SessionAbstract() = default;

SessionAbstract::~SessionAbstract() = default;

void SessionAbstract::clear()
{
}

SessionInit::SessionInit()
    : sentenceId(0)
{
}

void SessionInit::clear()
{
    sentenceId = 0;
    parameters.clear();
}

} // namespace KvDevice
