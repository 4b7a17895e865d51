#include "panel/PanelText.h"

namespace lx::panel {

UINT UserCodePage() noexcept {
    UINT codePage = CP_ACP;
    if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                        reinterpret_cast<LPWSTR>(&codePage), sizeof(codePage) / sizeof(wchar_t)))
        return CP_ACP;
    return codePage;
}

} // namespace lx::panel
