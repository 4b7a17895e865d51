// opc_io_floor.exe: the platform's floor for opc_io_bench. A bare COM local server whose one object answers
// IOPCSyncIO::Read with N item states copied from a prebuilt array (and Write with N S_OK), and
// IOPCItemMgt::AddItems / ValidateItems / RemoveItems with N results and N S_OK from prebuilt arrays, doing no
// other work, so
// that the benchmark can set the server's calls against calls of the same signature and payload.
// Started by COM activation; ends when its last object is released (or after ten minutes).
#include <windows.h>
#include <objbase.h>

#include <opcda.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace {

// {5C6B2E10-7D3A-4B8E-9F21-3A4C5D6E7F81}
const CLSID kFloorClsid = {0x5C6B2E10, 0x7D3A, 0x4B8E, {0x9F, 0x21, 0x3A, 0x4C, 0x5D, 0x6E, 0x7F, 0x81}};

std::atomic<long> g_objects{0};
HANDLE g_done = nullptr;
std::vector<OPCITEMSTATE> g_states;  // prebuilt, VT_R4 values
std::vector<HRESULT> g_errors;
std::vector<OPCITEMRESULT> g_results;  // prebuilt AddItems results: handles 1..N, VT_R4, readable and writeable
std::vector<OPCITEMRESULT> g_validated;  // prebuilt ValidateItems results: the same without handles

// N elements of a prebuilt array in a new CoTaskMem block, or null.
template <class T>
T* CopyOf(const std::vector<T>& from, DWORD count) {
    auto* to = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T)));
    if (to) std::memcpy(to, from.data(), count * sizeof(T));
    return to;
}

class FloorIO final : public IOPCSyncIO, public IOPCItemMgt {
public:
    FloorIO() { ++g_objects; }
    ~FloorIO() {
        if (--g_objects == 0) SetEvent(g_done);
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCSyncIO)
            *ppv = static_cast<IOPCSyncIO*>(this);
        else if (riid == IID_IOPCItemMgt)
            *ppv = static_cast<IOPCItemMgt*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    STDMETHODIMP Read(OPCDATASOURCE, DWORD count, OPCHANDLE*, OPCITEMSTATE** states, HRESULT** errors) override {
        if (!states || !errors || count == 0 || count > g_states.size()) return E_INVALIDARG;
        *states = static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(count * sizeof(OPCITEMSTATE)));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
        if (!*states || !*errors) return E_OUTOFMEMORY;
        std::memcpy(*states, g_states.data(), count * sizeof(OPCITEMSTATE));
        std::memcpy(*errors, g_errors.data(), count * sizeof(HRESULT));
        return S_OK;
    }
    STDMETHODIMP Write(DWORD count, OPCHANDLE*, VARIANT*, HRESULT** errors) override {
        if (!errors || count == 0 || count > g_errors.size()) return E_INVALIDARG;
        return (*errors = CopyOf(g_errors, count)) ? S_OK : E_OUTOFMEMORY;
    }

    // IOPCItemMgt: AddItems, ValidateItems and RemoveItems only.
    STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results, HRESULT** errors) override {
        if (!defs || !results || !errors || count == 0 || count > g_results.size()) return E_INVALIDARG;
        *results = CopyOf(g_results, count);
        *errors = CopyOf(g_errors, count);
        return *results && *errors ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP ValidateItems(DWORD count, OPCITEMDEF* defs, BOOL, OPCITEMRESULT** results, HRESULT** errors) override {
        if (!defs || !results || !errors || count == 0 || count > g_validated.size()) return E_INVALIDARG;
        *results = CopyOf(g_validated, count);
        *errors = CopyOf(g_errors, count);
        return *results && *errors ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override {
        if (!handles || !errors || count == 0 || count > g_errors.size()) return E_INVALIDARG;
        return (*errors = CopyOf(g_errors, count)) ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP CreateEnumerator(REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }

private:
    std::atomic<ULONG> refs_{1};
};

class Factory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* object = new (std::nothrow) FloorIO;
        if (!object) return E_OUTOFMEMORY;
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

}  // namespace

int wmain() {
    constexpr std::size_t kMaxItems = 100000;
    g_states.resize(kMaxItems);
    g_errors.assign(kMaxItems, S_OK);
    g_results.assign(kMaxItems, OPCITEMRESULT{});
    for (std::size_t i = 0; i < kMaxItems; ++i) {
        g_results[i].hServer = static_cast<OPCHANDLE>(i + 1);
        g_results[i].vtCanonicalDataType = VT_R4;
        g_results[i].dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
    }
    g_validated = g_results;
    for (OPCITEMRESULT& result : g_validated) result.hServer = 0;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    for (std::size_t i = 0; i < kMaxItems; ++i) {
        g_states[i].hClient = static_cast<OPCHANDLE>(i + 1);
        g_states[i].ftTimeStamp = now;
        g_states[i].wQuality = 0xC0;
        g_states[i].vDataValue.vt = VT_R4;
        g_states[i].vDataValue.fltVal = static_cast<float>(i);
    }
    g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_done || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    static Factory factory;
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(kFloorClsid, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie)))
        return 1;
    WaitForSingleObject(g_done, 10 * 60 * 1000);
    CoRevokeClassObject(cookie);
    CoUninitialize();
    return 0;
}
