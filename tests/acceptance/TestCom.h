// A minimal COM object base for the acceptance tests and their stand-in server (no ATL here).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <cwchar>
#include <new>
#include <string>
#include <tuple>
#include <utility>

namespace acceptance {

using Microsoft::WRL::ComPtr;

template <typename... Itfs>
class ComObject : public Itfs... {
public:
    ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;
    virtual ~ComObject() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown)
            *ppv = static_cast<IUnknown*>(static_cast<First*>(this));
        else
            (void)((riid == __uuidof(Itfs) ? (*ppv = static_cast<Itfs*>(this), true) : false) || ...);
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG n = --refs_;
        if (n == 0) delete this;  // the object owns itself through its reference count
        return n;
    }

private:
    using First = std::tuple_element_t<0, std::tuple<Itfs...>>;
    std::atomic<ULONG> refs_{1};
};

// Creates a COM object whose one reference goes to the returned pointer. (MinGW-w64's ComPtr::Attach adds a
// reference, unlike the Windows SDK's, so the new pointer is stored without Attach.)
template <typename T, typename... Args>
ComPtr<T> Make(Args&&... args) {
    ComPtr<T> p;
    *p.GetAddressOf() = new T(std::forward<Args>(args)...);
    return p;
}

template <typename F>
HRESULT Guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

inline LPWSTR CoString(const std::wstring& text) {
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (!p) throw std::bad_alloc();
    std::wmemcpy(p, text.c_str(), text.size() + 1);
    return p;
}

}  // namespace acceptance
