// RAII owners for COM task memory, BSTR and VARIANT.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace opc::com {

struct TaskMemFree {
    void operator()(void* p) const noexcept { CoTaskMemFree(p); }
};
template <class T>
using TaskMem = std::unique_ptr<T, TaskMemFree>;

// A task-memory copy of text (the caller frees it); throws std::bad_alloc.
inline TaskMem<wchar_t> TaskMemString(std::wstring_view text) {
    TaskMem<wchar_t> copy(static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t))));
    if (!copy) throw std::bad_alloc();
    if (!text.empty()) std::memcpy(copy.get(), text.data(), text.size() * sizeof(wchar_t));
    copy.get()[text.size()] = L'\0';
    return copy;
}

// A VARIANT that clears itself.
class Variant {
public:
    Variant() noexcept { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant& other) : Variant() { Assign(other.v_); }
    Variant& operator=(const Variant& other) {
        if (this != &other) Assign(other.v_);
        return *this;
    }
    Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
    Variant& operator=(Variant&& other) noexcept {
        if (this != &other) {
            VariantClear(&v_);
            v_ = other.v_;
            VariantInit(&other.v_);
        }
        return *this;
    }
    // Copies src (VariantCopy); returns its HRESULT and leaves VT_EMPTY on failure.
    HRESULT CopyFrom(const VARIANT& src) noexcept {
        VariantClear(&v_);
        HRESULT hr = VariantCopy(&v_, const_cast<VARIANT*>(&src));
        if (FAILED(hr)) VariantInit(&v_);
        return hr;
    }
    VARIANT* ptr() noexcept { return &v_; }
    const VARIANT& get() const noexcept { return v_; }
    VARIANT& get() noexcept { return v_; }
    VARTYPE vt() const noexcept { return v_.vt; }
    // Hands the content over (this becomes VT_EMPTY); the target must be cleared.
    void Detach(VARIANT* target) noexcept {
        *target = v_;
        VariantInit(&v_);
    }

private:
    void Assign(const VARIANT& src) {
        HRESULT hr = CopyFrom(src);
        if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    }
    VARIANT v_;
};

} // namespace opc::com
