#include "opc/server/ErrorText.h"

#include <atomic>
#include <cwchar>
#include <memory>
#include <string_view>

#include "opc/common/ComMemory.h"

namespace opc::server {

namespace {
std::atomic<HMODULE> g_messageModule{nullptr};

struct LocalFreeDeleter {
    void operator()(wchar_t* p) const noexcept { LocalFree(p); }
};
using SystemBuffer = std::unique_ptr<wchar_t, LocalFreeDeleter>;

SystemBuffer Format(DWORD source, HMODULE module, HRESULT code, DWORD language) noexcept {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(source | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                       static_cast<DWORD>(code), language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    SystemBuffer owned(buffer);
    if (length == 0) return nullptr;
    return owned;
}
} // namespace

void SetMessageModule(HMODULE module) noexcept { g_messageModule = module; }

HRESULT LookupErrorText(HRESULT code, DWORD language, LPWSTR* text) noexcept {
    *text = nullptr;
    HMODULE module = g_messageModule.load();
    if (!module) module = GetModuleHandleW(nullptr);
    SystemBuffer found = Format(FORMAT_MESSAGE_FROM_HMODULE, module, code, language);
    const bool own = found != nullptr;
    if (!found) found = Format(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, language);
    if (!found) {
        const DWORD error = GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    try {
        std::wstring_view view(found.get());
        // The program's own texts carry no line end (the message compiler adds one
        // unless a text ends in %0); the system's keep theirs.
        if (own)
            while (!view.empty() && (view.back() == L'\n' || view.back() == L'\r')) view.remove_suffix(1);
        *text = TaskMemString(view).release();
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

} // namespace opc::server
