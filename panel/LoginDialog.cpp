#include "panel/LoginDialog.h"

#include "nrk/NRK_Server.h"
#include "panel/PanelText.h"
#include "runtime/TextConversion.h"

namespace lx::panel {
namespace {

constexpr int kLoginIcon = 215;

std::wstring ControlText(HWND dialog, int id) {
    const HWND control = GetDlgItem(dialog, id);
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), length + 1)));
    return text;
}

INT_PTR CALLBACK LoginProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        switch (message) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            // The dialog's own icon: the dialog class is shared with message boxes.
            if (const HANDLE icon = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kLoginIcon), IMAGE_ICON, 0,
                                               0, LR_DEFAULTSIZE | LR_SHARED))
                SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
            SetFocus(GetDlgItem(dialog, kUserNameEdit));
            return FALSE;
        }
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
            case kUserNameEdit:
                if (HIWORD(wParam) == EN_CHANGE)
                    EnableWindow(GetDlgItem(dialog, IDOK),
                                 GetWindowTextLengthW(GetDlgItem(dialog, kUserNameEdit)) > 0);
                return TRUE;
            case IDOK: {
                auto* runtime = reinterpret_cast<NRK_Server*>(GetWindowLongPtrW(dialog, DWLP_USER));
                const std::string user = ToRuntimeText(ControlText(dialog, kUserNameEdit));
                const std::string password = ToRuntimeText(ControlText(dialog, kPasswordEdit));
                const CredentialPair credentials{user.c_str(), password.c_str()};
                EndDialog(dialog, runtime && runtime->Login(credentials) >= 0 ? 0 : -1);
                return TRUE;
            }
            case IDCANCEL:
                EndDialog(dialog, -1);
                return TRUE;
            default:
                return FALSE;
            }
        default:
            return FALSE;
        }
    } catch (...) {
        EndDialog(dialog, -1);   // nothing may leave a dialog procedure
        return TRUE;
    }
}

} // namespace

std::string ToRuntimeText(const std::wstring& text) { return WideToNarrow(text, UserCodePage()); }

int RunLoginDialog(HWND owner, NRK_Server& runtime) {
    const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kLoginDialogTemplate), owner,
                                           &LoginProc, reinterpret_cast<LPARAM>(&runtime));
    return result == 0 ? 0 : -1;
}

} // namespace lx::panel
