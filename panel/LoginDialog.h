// The operator login dialog (template 213): a user name and a password, handed to the
// runtime, which alone decides whether they are valid.
#pragma once

#include <windows.h>

#include <string>

class NRK_Server;

namespace lx::panel {

enum LoginControl : int {
    kUserNameEdit = 217,
    kPasswordEdit = 218,
};

inline constexpr int kLoginDialogTemplate = 213;

// Shows the dialog modally, owned by `owner`. The end value is 0 after a login the
// runtime accepted, -1 after a refused one or Cancel (the runtime is then not asked).
int RunLoginDialog(HWND owner, NRK_Server& runtime);

// A text as the runtime gets it: in the user's code page, or empty if any character
// cannot be represented there.
std::string ToRuntimeText(const std::wstring& text);

} // namespace lx::panel
