// UTC time with microsecond resolution, as kept everywhere inside the server. The same
// alias as in context/ProcessContext.h, for code that needs only the time type.
#pragma once

#include <chrono>

using UtcTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;
