// The panel's Help: the server's topic of "help\dcs.chm" beside the executable, shown
// through the HTML Help control, which is located once per process.
#pragma once

#include <windows.h>

#include <string>

namespace lx::panel {

// Where the help topic is, relative to the executable's directory (narrow text).
inline constexpr const char* kHelpLocation = "help\\dcs.chm::/OPC_server_VELMARA_6.htm>sss";

// The topic's full location for an executable at `exePath` (a quoted path loses its
// quotes): its directory, a backslash and the widened help location.
std::wstring HelpTopicFor(std::wstring exePath);

// Opens the topic with `owner` as the help window's owner. Without the HTML Help control
// it does nothing, now and at every later call.
void ShowHelp(HWND owner) noexcept;

} // namespace lx::panel
