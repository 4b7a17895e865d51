// OpcArray<T>: an array in COM task memory from which out-parameter arrays are built
// and handed to the client whole. Until it is handed over the array owns its block
// and everything its elements own, so an early return or an exception frees it all.
//
//   OpcArray<HRESULT> errors(count);      // zero-filled: S_OK
//   ...fill errors.at(i)...
//   *ppErrors = errors.Detach();           // only after every step that can fail
//
// Element types: LPWSTR (task memory, freed with CoTaskMemFree), VARIANT (VariantClear),
// and plain values (VARTYPE, DWORD, HRESULT, ...). Record types that own memory
// specialise OpcArrayElement<T> with a Release that frees it.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace opc {

// What the array does with one element when it frees its storage.
template <class T>
struct OpcArrayElement {
    static_assert(std::is_trivially_copyable<T>::value && !std::is_pointer<T>::value,
                  "OpcArray: specialise OpcArrayElement<T> for element types that own memory");
    static void Release(T&) noexcept {}
};
template <>
struct OpcArrayElement<wchar_t*> {
    static void Release(wchar_t*& s) noexcept {
        CoTaskMemFree(s);
        s = nullptr;
    }
};
template <>
struct OpcArrayElement<VARIANT> {
    static void Release(VARIANT& v) noexcept { VariantClear(&v); }
};

// std::bad_alloc with the array's own text.
class OpcArrayAllocationError : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "OpcArray<>: allocation failed"; }
};

template <class T>
class OpcArray {
public:
    // The length of an array whose length is unknown or whose storage was handed over.
    static constexpr std::uint32_t kUnknownLength = 0xFFFFFFFFu;

    // An empty array without storage.
    OpcArray() noexcept = default;

    // n zero-filled elements from the task allocator; n = 0 allocates a 0-byte block.
    explicit OpcArray(std::uint32_t n) {
        if (n == kUnknownLength) throw std::invalid_argument("OpcArray<>: invalid array length");
        const std::uint64_t bytes = static_cast<std::uint64_t>(n) * sizeof(T);
        if (bytes > 0xFFFFFFFFull) throw OpcArrayAllocationError();  // must fit 32 bits
        void* block = CoTaskMemAlloc(static_cast<SIZE_T>(bytes));
        if (!block) throw OpcArrayAllocationError();
        if (bytes) std::memset(block, 0, static_cast<std::size_t>(bytes));
        storage_ = static_cast<T*>(block);
        length_ = n;
    }

    // Takes ownership of a task-memory block of length elements (kUnknownLength: the
    // length is taken from the allocator when the block is freed).
    static OpcArray Adopt(T* block, std::uint32_t length = kUnknownLength) noexcept {
        OpcArray a;
        a.storage_ = block;
        a.length_ = block ? length : 0;
        return a;
    }

    ~OpcArray() { Free(); }

    OpcArray(const OpcArray&) = delete;
    OpcArray& operator=(const OpcArray&) = delete;
    OpcArray(OpcArray&& other) noexcept : storage_(other.storage_), length_(other.length_) {
        other.storage_ = nullptr;
        other.length_ = kUnknownLength;
    }
    OpcArray& operator=(OpcArray&& other) noexcept {
        if (this != &other) {
            Free();
            storage_ = other.storage_;
            length_ = other.length_;
            other.storage_ = nullptr;
            other.length_ = kUnknownLength;
        }
        return *this;
    }

    std::uint32_t size() const noexcept { return length_; }
    T* data() const noexcept { return storage_; }

    T& at(std::uint32_t i) const {
        if (length_ == kUnknownLength || i >= length_) throw std::out_of_range("OpcArray<>: index out of range");
        return storage_[i];
    }

    T* begin() const {
        if (!storage_) throw std::runtime_error("OpcArray<>: Storage not allocated");
        return storage_;
    }
    T* end() const {
        if (!storage_) throw std::runtime_error("OpcArray<>: Storage not allocated");
        return storage_ + (length_ == kUnknownLength ? 0 : length_);
    }

    // Hand-over: returns the block for the client's out-parameter; from now on the
    // array frees nothing.
    T* Detach() noexcept {
        T* block = storage_;
        storage_ = nullptr;
        length_ = kUnknownLength;
        return block;
    }

private:
    void Free() noexcept {
        if (!storage_) return;
        std::uint32_t n = length_;
        if (n == kUnknownLength) n = LengthFromAllocator(storage_);
        for (std::uint32_t i = 0; i < n; ++i) OpcArrayElement<T>::Release(storage_[i]);
        CoTaskMemFree(storage_);
        storage_ = nullptr;
        length_ = kUnknownLength;
    }

    static std::uint32_t LengthFromAllocator(void* block) noexcept {
        Microsoft::WRL::ComPtr<IMalloc> malloc;
        if (FAILED(CoGetMalloc(1, &malloc)) || !malloc) return 0;
        const SIZE_T bytes = malloc->GetSize(block);
        if (bytes == static_cast<SIZE_T>(-1)) return 0;
        const std::uint64_t n = static_cast<std::uint64_t>(bytes) / sizeof(T);
        return n >= kUnknownLength ? 0 : static_cast<std::uint32_t>(n);
    }

    T* storage_ = nullptr;
    std::uint32_t length_ = 0;
};

} // namespace opc
