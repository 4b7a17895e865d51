// The code page in which the panel hands texts to the runtime and takes them back.
#pragma once

#include <windows.h>

namespace lx::panel {

// The ANSI code page of the user's regional settings.
UINT UserCodePage() noexcept;

} // namespace lx::panel
