// UTC time with microsecond resolution, as kept everywhere inside the server. The same
// alias as in module/ServerModule.h, for code that should not pull in the module.
#pragma once

#include <chrono>

using UtcTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;
