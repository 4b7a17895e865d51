// OpcArray: construction, element access, hand-over and what destruction frees.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>

#include "opc/server/OpcArray.h"

using opc::OpcArray;

namespace {

// Watches the task allocator: which blocks are live, how many were freed. One spy lives
// for the whole process: COM keeps a spy registered until every block allocated under it
// is freed, so a spy object must never go away while COM may still call it.
class TaskMemorySpy : public IMallocSpy {
public:
    static TaskMemorySpy& Instance() {
        static TaskMemorySpy* spy = new TaskMemorySpy; // never destroyed, see above
        return *spy;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        live_.clear();
        frees_ = 0;
    }
    bool Live(const void* p) {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.count(p) != 0;
    }
    std::size_t LiveCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.size();
    }
    int Frees() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frees_;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IMallocSpy) {
            *out = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cbRequest) override { return cbRequest; }
    void* STDMETHODCALLTYPE PostAlloc(void* pActual) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pActual) live_.insert(pActual);
        return pActual;
    }
    void* STDMETHODCALLTYPE PreFree(void* pRequest, BOOL) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pRequest) {
            live_.erase(pRequest);
            ++frees_;
        }
        return pRequest;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* pRequest, SIZE_T cbRequest, void** ppNewRequest, BOOL) override {
        std::lock_guard<std::mutex> lock(mutex_);
        live_.erase(pRequest);
        *ppNewRequest = pRequest;
        return cbRequest;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* pActual, BOOL) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pActual) live_.insert(pActual);
        return pActual;
    }
    void* STDMETHODCALLTYPE PreGetSize(void* pRequest, BOOL) override { return pRequest; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T cbActual, BOOL) override { return cbActual; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* pRequest, BOOL) override { return pRequest; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int fActual) override { return fActual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    TaskMemorySpy() = default;
    std::mutex mutex_;
    std::set<const void*> live_;
    int frees_ = 0;
};

// Registers the spy for one test. Every block allocated meanwhile must be freed by the end:
// otherwise COM cannot revoke the spy, which is reported, and the next watch would fail.
class AllocatorWatch {
public:
    AllocatorWatch() {
        TaskMemorySpy::Instance().Reset();
        registered_ = SUCCEEDED(CoRegisterMallocSpy(&TaskMemorySpy::Instance()));
    }
    ~AllocatorWatch() {
        if (!registered_) return;
        const std::size_t left = TaskMemorySpy::Instance().LiveCount();
        const HRESULT revoked = CoRevokeMallocSpy();
        EXPECT_EQ(revoked, S_OK) << left << " block(s) allocated while watching are still live";
    }
    AllocatorWatch(const AllocatorWatch&) = delete;
    AllocatorWatch& operator=(const AllocatorWatch&) = delete;
    bool Registered() const { return registered_; }
    bool Live(const void* p) { return TaskMemorySpy::Instance().Live(p); }
    std::size_t LiveCount() { return TaskMemorySpy::Instance().LiveCount(); }

private:
    bool registered_ = false;
};

// Freed BSTRs go to a cache of the automation library instead of the allocator; off for
// this process, so that a freed BSTR is seen being freed.
void DisableStringCache() {
    using SetOaNoCacheFn = void(WINAPI*)();
    if (HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll")) {
        if (auto off = reinterpret_cast<SetOaNoCacheFn>(GetProcAddress(oleaut, "SetOaNoCache"))) off();
    }
}

// An object that counts its releases, to see VariantClear at work.
class Counted : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    ULONG refs = 1;
};

wchar_t* TaskString(const wchar_t* text) {
    const std::size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* p = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    std::memcpy(p, text, bytes);
    return p;
}

template <class F>
std::string Failure(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no failure";
}

TEST(OpcArray, ConstructionZeroFillsTheRequestedLength) {
    OpcArray<HRESULT> errors(5);
    EXPECT_EQ(errors.size(), 5u);
    for (HRESULT hr : errors) EXPECT_EQ(hr, S_OK);
    OpcArray<VARIANT> values(3);
    for (const VARIANT& v : values) EXPECT_EQ(V_VT(&v), VT_EMPTY);
    OpcArray<wchar_t*> names(2);
    for (wchar_t* s : names) EXPECT_EQ(s, nullptr);
    OpcArray<VARTYPE> types(4);
    EXPECT_EQ(types.end() - types.begin(), 4);

    OpcArray<DWORD> empty(0);  // the allocator's 0-byte block is used
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_NE(empty.data(), nullptr);
    EXPECT_EQ(empty.begin(), empty.end());
}

TEST(OpcArray, MisuseAndRefusedLengthsRaiseTheirFailures) {
    struct Case {
        const char* what;
        std::function<void()> action;
        std::string failure;
    };
    const Case cases[] = {
        {"length 0xFFFFFFFF", [] { OpcArray<DWORD> a(0xFFFFFFFFu); }, "OpcArray<>: invalid array length"},
        {"byte size past 32 bits", [] { OpcArray<VARIANT> a(0x10000000u); }, "OpcArray<>: allocation failed"},
        {"byte size just past 32 bits", [] { OpcArray<DWORD> a(0x40000000u); }, "OpcArray<>: allocation failed"},
        {"at(length)", [] { OpcArray<DWORD> a(3); a.at(3); }, "OpcArray<>: index out of range"},
        {"at on an empty array", [] { OpcArray<DWORD> a(0); a.at(0); }, "OpcArray<>: index out of range"},
        {"at after hand-over", [] { OpcArray<DWORD> a(3); CoTaskMemFree(a.Detach()); a.at(0); },
         "OpcArray<>: index out of range"},
        {"begin after hand-over", [] { OpcArray<DWORD> a(3); CoTaskMemFree(a.Detach()); a.begin(); },
         "OpcArray<>: Storage not allocated"},
        {"end without storage", [] { OpcArray<DWORD> a; a.end(); }, "OpcArray<>: Storage not allocated"},
        {"last element", [] { OpcArray<DWORD> a(3); a.at(2) = 7; }, "no failure"},
    };
    for (const Case& c : cases) EXPECT_EQ(Failure(c.action), c.failure) << c.what;

    EXPECT_THROW(OpcArray<VARIANT>(0x10000000u), std::bad_alloc);
    EXPECT_THROW(OpcArray<DWORD>(0xFFFFFFFFu), std::invalid_argument);
    EXPECT_THROW(OpcArray<DWORD>(1).at(1), std::out_of_range);
    EXPECT_THROW(OpcArray<DWORD>().begin(), std::runtime_error);
}

TEST(OpcArray, DestructionFreesEveryStringAndTheBlock) {
    AllocatorWatch watch;
    ASSERT_TRUE(watch.Registered());
    wchar_t* block = nullptr;
    wchar_t* first = nullptr;
    wchar_t* last = nullptr;
    {
        OpcArray<wchar_t*> names(3);
        block = reinterpret_cast<wchar_t*>(names.data());
        names.at(0) = first = TaskString(L"Plant.Line.Temp");
        names.at(2) = last = TaskString(L"Plant.Line.Flow");  // element 1 stays NULL
        EXPECT_TRUE(watch.Live(first) && watch.Live(last) && watch.Live(block));
    }
    EXPECT_FALSE(watch.Live(first));
    EXPECT_FALSE(watch.Live(last));
    EXPECT_FALSE(watch.Live(block));
}

TEST(OpcArray, DestructionClearsEveryVariant) {
    DisableStringCache();
    AllocatorWatch watch;
    ASSERT_TRUE(watch.Registered());
    Counted object;
    void* block = nullptr;
    {
        OpcArray<VARIANT> values(3);
        block = values.data();
        V_VT(&values.at(0)) = VT_BSTR;
        V_BSTR(&values.at(0)) = SysAllocString(L"21.5");
        ASSERT_NE(V_BSTR(&values.at(0)), nullptr);
        EXPECT_EQ(watch.LiveCount(), 2u) << "the block and the BSTR";
        V_VT(&values.at(2)) = VT_UNKNOWN;
        V_UNKNOWN(&values.at(2)) = &object;
        object.AddRef();
        EXPECT_EQ(object.refs, 2u);
    }
    EXPECT_EQ(object.refs, 1u);
    EXPECT_FALSE(watch.Live(block));
    EXPECT_EQ(watch.LiveCount(), 0u) << "the BSTR itself is freed";
}

TEST(OpcArray, AHandedOverArrayFreesNothing) {
    AllocatorWatch watch;
    ASSERT_TRUE(watch.Registered());
    wchar_t** out = nullptr;
    wchar_t* name = nullptr;
    {
        OpcArray<wchar_t*> names(1);
        names.at(0) = name = TaskString(L"Temp");
        out = names.Detach();
        EXPECT_EQ(names.size(), OpcArray<wchar_t*>::kUnknownLength);
        EXPECT_EQ(names.data(), nullptr);
    }
    EXPECT_TRUE(watch.Live(out));
    EXPECT_TRUE(watch.Live(name));
    EXPECT_EQ(out[0], name);
    CoTaskMemFree(out[0]);
    CoTaskMemFree(out);
}

TEST(OpcArray, UnknownLengthIsTakenFromTheAllocator) {
    AllocatorWatch watch;
    ASSERT_TRUE(watch.Registered());
    auto* block = static_cast<wchar_t**>(CoTaskMemAlloc(2 * sizeof(wchar_t*)));
    ASSERT_NE(block, nullptr);
    block[0] = TaskString(L"a");
    block[1] = TaskString(L"b");
    wchar_t* a = block[0];
    wchar_t* b = block[1];
    {
        auto adopted = OpcArray<wchar_t*>::Adopt(block);
        EXPECT_EQ(adopted.size(), OpcArray<wchar_t*>::kUnknownLength);
    }
    EXPECT_FALSE(watch.Live(a));
    EXPECT_FALSE(watch.Live(b));
    EXPECT_FALSE(watch.Live(block));
}

TEST(OpcArray, MovingPassesOwnership) {
    AllocatorWatch watch;
    ASSERT_TRUE(watch.Registered());
    OpcArray<DWORD> target;
    void* block = nullptr;
    {
        OpcArray<DWORD> source(2);
        block = source.data();
        target = std::move(source);
    }
    EXPECT_TRUE(watch.Live(block));
    EXPECT_EQ(target.data(), block);
    target = OpcArray<DWORD>(1);
    EXPECT_FALSE(watch.Live(block));
}

} // namespace
