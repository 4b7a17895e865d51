// Small RAII owners for COM memory: VARIANT, BSTR and task-allocator blocks.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#include <cstring>
#include <memory>
#include <new>
#include <string_view>

namespace opc {

// Owns one VARIANT; cleared with VariantClear when destroyed or reset.
class Variant {
public:
    Variant() noexcept { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    Variant(Variant&& other) noexcept {
        v_ = other.v_;
        VariantInit(&other.v_);
    }
    Variant& operator=(Variant&& other) noexcept {
        if (this != &other) {
            VariantClear(&v_);
            v_ = other.v_;
            VariantInit(&other.v_);
        }
        return *this;
    }

    VARIANT* Get() noexcept { return &v_; }
    const VARIANT* Get() const noexcept { return &v_; }
    VARIANT& operator*() noexcept { return v_; }
    const VARIANT& operator*() const noexcept { return v_; }
    VARTYPE Type() const noexcept { return V_VT(&v_); }

    // Clears the value (VT_EMPTY) and returns the VARIANT to be filled.
    VARIANT* Reset() noexcept {
        VariantClear(&v_);
        return &v_;
    }

    // Hands the value over into *out (which must not own anything); this becomes VT_EMPTY.
    void Detach(VARIANT* out) noexcept {
        *out = v_;
        VariantInit(&v_);
    }

private:
    VARIANT v_;
};

// Owns one BSTR.
class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(BSTR owned) noexcept : b_(owned) {}
    // Copies text; raises std::bad_alloc when the allocation fails.
    static Bstr FromText(std::wstring_view text) {
        BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!b) throw std::bad_alloc();
        return Bstr(b);
    }
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& other) noexcept : b_(other.b_) { other.b_ = nullptr; }
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            SysFreeString(b_);
            b_ = other.b_;
            other.b_ = nullptr;
        }
        return *this;
    }
    BSTR Get() const noexcept { return b_; }
    BSTR Detach() noexcept {
        BSTR b = b_;
        b_ = nullptr;
        return b;
    }
    std::wstring_view View() const noexcept { return b_ ? std::wstring_view(b_, SysStringLen(b_)) : std::wstring_view(); }

private:
    BSTR b_ = nullptr;
};

struct TaskMemFree {
    void operator()(void* p) const noexcept { CoTaskMemFree(p); }
};
// A block (or a single object) from the COM task allocator.
template <class T>
using TaskMemPtr = std::unique_ptr<T, TaskMemFree>;

// A NUL-terminated copy of text in task memory (the form of LPWSTR out-parameters).
// Raises std::bad_alloc when the allocation fails.
inline TaskMemPtr<wchar_t> TaskMemString(std::wstring_view text) {
    auto* p = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (!p) throw std::bad_alloc();
    if (!text.empty()) std::memcpy(p, text.data(), text.size() * sizeof(wchar_t));
    p[text.size()] = L'\0';
    return TaskMemPtr<wchar_t>(p);
}

} // namespace opc
