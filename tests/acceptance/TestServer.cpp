// acceptance_test_server.exe: a deliberately tiny OPC server, started by COM activation (-Embedding), used only
// by the acceptance tests to prove the proxy/stub DLL across processes on its own. Its answers are fixed
// (TestServerContract.h). It implements just what the marshalling checks need; everything else is E_NOTIMPL.

#include <windows.h>
#include <ocidl.h>
#include <shellapi.h>
#include <olectl.h>
#include <opccomn.h>
#include <opcda.h>
#include <wrl/client.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "TestCom.h"
#include "TestServerContract.h"

using Microsoft::WRL::ComPtr;
using namespace acceptance;
using acceptance::ComObject;
using acceptance::CoString;
using acceptance::Guarded;
using acceptance::Make;

namespace {

std::atomic<long> g_objects{0};
HANDLE g_idle = nullptr;  // set whenever the last object goes away

// Member of every object that keeps the process alive.
struct LifetimeToken {
    LifetimeToken() { ++g_objects; }
    ~LifetimeToken() {
        if (--g_objects == 0) SetEvent(g_idle);
    }
    LifetimeToken(const LifetimeToken&) = delete;
    LifetimeToken& operator=(const LifetimeToken&) = delete;
};

HRESULT ErrorText(HRESULT code, LCID locale, LPWSTR* out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (code != kKnownError) return E_INVALIDARG;
    const bool russian = PRIMARYLANGID(LANGIDFROMLCID(locale)) == LANG_RUSSIAN;
    return Guarded([&] {
        *out = CoString(russian ? kKnownErrorRussian : kKnownErrorEnglish);
        return S_OK;
    });
}

class TestGroup final : public ComObject<IOPCGroupStateMgt> {
public:
    TestGroup(std::wstring name, BOOL active, DWORD rate, OPCHANDLE client, LONG timeBias, DWORD lcid)
        : name_(std::move(name)), active_(active), rate_(rate), client_(client), timeBias_(timeBias),
          lcid_(lcid) {}

    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                          OPCHANDLE* phServerGroup) override {
        if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID || !phClientGroup ||
            !phServerGroup)
            return E_INVALIDARG;
        *ppName = nullptr;
        return Guarded([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            *ppName = CoString(name_);
            *pUpdateRate = rate_;
            *pActive = active_;
            *pTimeBias = timeBias_;
            *pPercentDeadband = 0.0f;
            *pLCID = lcid_;
            *phClientGroup = client_;
            *phServerGroup = 1;
            return S_OK;
        });
    }
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                          FLOAT*, DWORD* pLCID, OPCHANDLE* phClientGroup) override {
        if (!pRevisedUpdateRate) return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(mutex_);
        if (pRequestedUpdateRate) rate_ = *pRequestedUpdateRate;
        if (pActive) active_ = *pActive;
        if (pTimeBias) timeBias_ = *pTimeBias;
        if (pLCID) lcid_ = *pLCID;
        if (phClientGroup) client_ = *phClientGroup;
        *pRevisedUpdateRate = rate_;
        return S_OK;
    }
    STDMETHODIMP SetName(LPCWSTR szName) override {
        if (!szName || !*szName) return E_INVALIDARG;
        return Guarded([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            name_ = szName;
            return S_OK;
        });
    }
    STDMETHODIMP CloneGroup(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) override {
        if (ppUnk) *ppUnk = nullptr;
        return E_NOTIMPL;
    }

private:
    LifetimeToken token_;
    std::mutex mutex_;
    std::wstring name_;
    BOOL active_;
    DWORD rate_;
    OPCHANDLE client_;
    LONG timeBias_;
    DWORD lcid_;
};

class ShutdownPoint final : public ComObject<IConnectionPoint> {
public:
    STDMETHODIMP GetConnectionInterface(IID* piid) override {
        if (!piid) return E_POINTER;
        *piid = IID_IOPCShutdown;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
        if (ppCPC) *ppCPC = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
        if (pdwCookie) *pdwCookie = 0;
        if (!pUnkSink || !pdwCookie) return E_POINTER;
        ComPtr<IOPCShutdown> sink;
        HRESULT hr = pUnkSink->QueryInterface(IID_PPV_ARGS(&sink));
        if (hr == E_NOINTERFACE) return CONNECT_E_CANNOTCONNECT;
        if (FAILED(hr)) return hr;
        return Guarded([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            sinks_.push_back(sink);
            *pdwCookie = static_cast<DWORD>(sinks_.size());
            return S_OK;
        });
    }
    STDMETHODIMP Unadvise(DWORD dwCookie) override {
        ComPtr<IOPCShutdown> gone;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (dwCookie == 0 || dwCookie > sinks_.size() || !sinks_[dwCookie - 1]) return CONNECT_E_NOCONNECTION;
            gone.Swap(sinks_[dwCookie - 1]);
        }
        return S_OK;
    }
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override {
        if (ppEnum) *ppEnum = nullptr;
        return E_NOTIMPL;
    }

    // Calls every advised sink outside the lock; the first failure is the result.
    HRESULT Notify(LPCWSTR reason) {
        std::vector<ComPtr<IOPCShutdown>> sinks;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            sinks = sinks_;
        }
        HRESULT result = S_OK;
        for (const auto& sink : sinks) {
            if (!sink) continue;
            HRESULT hr = sink->ShutdownRequest(reason);
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        }
        return result;
    }

    void Clear() {
        std::vector<ComPtr<IOPCShutdown>> sinks;
        std::lock_guard<std::mutex> lock(mutex_);
        sinks.swap(sinks_);
    }

private:
    std::mutex mutex_;
    std::vector<ComPtr<IOPCShutdown>> sinks_;
};

class TestServer final : public ComObject<IOPCCommon, IOPCServer, IOPCBrowseServerAddressSpace, IOPCItemProperties,
                                          IConnectionPointContainer> {
public:
    TestServer() : shutdown_(Make<ShutdownPoint>()) {}
    ~TestServer() override { shutdown_->Clear(); }

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID dwLcid) override {
        locale_ = dwLcid;
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* pdwLcid) override {
        if (!pdwLcid) return E_INVALIDARG;
        *pdwLcid = locale_;
        return S_OK;
    }
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override {
        if (!pdwCount || !pdwLcid) return E_INVALIDARG;
        *pdwCount = 0;
        *pdwLcid = static_cast<LCID*>(CoTaskMemAlloc(2 * sizeof(LCID)));
        if (!*pdwLcid) return E_OUTOFMEMORY;
        (*pdwLcid)[0] = 0x409;
        (*pdwLcid)[1] = 0x419;
        *pdwCount = 2;
        return S_OK;
    }
    STDMETHODIMP GetErrorString(HRESULT dwError, LPWSTR* ppString) override {
        return ErrorText(dwError, locale_, ppString);
    }
    STDMETHODIMP SetClientName(LPCWSTR szName) override {
        if (szName && std::wcscmp(szName, kCommandShutdown) == 0) return shutdown_->Notify(kShutdownReason);
        if (szName && std::wcscmp(szName, kCommandShutdownNull) == 0) return shutdown_->Notify(nullptr);
        return S_OK;
    }

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                          LONG* pTimeBias, FLOAT*, DWORD dwLCID, OPCHANDLE* phServerGroup,
                          DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) override {
        if (ppUnk) *ppUnk = nullptr;
        if (phServerGroup) *phServerGroup = 0;
        if (pRevisedUpdateRate) *pRevisedUpdateRate = 0;
        if (!ppUnk || !phServerGroup || !pRevisedUpdateRate) return E_INVALIDARG;
        return Guarded([&] {
            auto group = Make<TestGroup>(szName ? szName : L"", bActive, dwRequestedUpdateRate, hClientGroup,
                                         pTimeBias ? *pTimeBias : kNoTimeBias, dwLCID);
            HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
            if (FAILED(hr)) return hr;
            *phServerGroup = 1;
            *pRevisedUpdateRate = dwRequestedUpdateRate;
            return S_OK;
        });
    }
    STDMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override {
        return ErrorText(dwError, dwLocale, ppString);
    }
    STDMETHODIMP GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) override {
        if (ppUnk) *ppUnk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override {
        if (!ppServerStatus) return E_INVALIDARG;
        *ppServerStatus = nullptr;
        auto* status = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
        if (!status) return E_OUTOFMEMORY;
        ZeroMemory(status, sizeof(*status));
        GetSystemTimeAsFileTime(&status->ftCurrentTime);
        status->ftStartTime = status->ftCurrentTime;
        status->ftLastUpdateTime = status->ftCurrentTime;
        status->dwServerState = OPC_STATUS_SUSPENDED;
        status->dwGroupCount = 7;
        status->dwBandWidth = 0xFFFFFFFF;
        status->wMajorVersion = 6;
        status->wMinorVersion = 1;
        status->wBuildNumber = 2;
        HRESULT hr = Guarded([&] {
            status->szVendorInfo = CoString(kVendorInfo);
            return S_OK;
        });
        if (FAILED(hr)) {
            CoTaskMemFree(status);
            return hr;
        }
        *ppServerStatus = status;
        return S_OK;
    }
    STDMETHODIMP RemoveGroup(OPCHANDLE, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN* ppUnk) override {
        if (ppUnk) *ppUnk = nullptr;
        return E_NOTIMPL;
    }

    // IOPCBrowseServerAddressSpace
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override {
        if (!pNameSpaceType) return E_INVALIDARG;
        *pNameSpaceType = OPC_NS_HIERARCHIAL;
        return S_OK;
    }
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR, VARTYPE, DWORD, LPENUMSTRING* ppIEnumString) override {
        if (ppIEnumString) *ppIEnumString = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override {
        if (!szItemID) return E_INVALIDARG;
        *szItemID = nullptr;
        if (!szItemDataID) return E_INVALIDARG;
        return Guarded([&] {
            *szItemID = CoString(std::wstring(kItemIdPrefix) + szItemDataID);
            return S_OK;
        });
    }
    STDMETHODIMP BrowseAccessPaths(LPCWSTR, LPENUMSTRING* ppIEnumString) override {
        if (ppIEnumString) *ppIEnumString = nullptr;
        return E_NOTIMPL;
    }

    // IOPCItemProperties
    STDMETHODIMP QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                          LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override {
        if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return E_INVALIDARG;
        *pdwCount = 0;
        *ppPropertyIDs = nullptr;
        *ppDescriptions = nullptr;
        *ppvtDataTypes = nullptr;
        if (!szItemID) return E_INVALIDARG;
        auto* ids = static_cast<DWORD*>(CoTaskMemAlloc(2 * sizeof(DWORD)));
        auto* texts = static_cast<LPWSTR*>(CoTaskMemAlloc(2 * sizeof(LPWSTR)));
        auto* types = static_cast<VARTYPE*>(CoTaskMemAlloc(2 * sizeof(VARTYPE)));
        LPWSTR first = nullptr;
        LPWSTR second = nullptr;
        HRESULT hr = Guarded([&] {
            first = CoString(L"Item Canonical Data Type");
            second = CoString(L"Item Value");
            return S_OK;
        });
        if (!ids || !texts || !types || FAILED(hr)) {
            CoTaskMemFree(ids);
            CoTaskMemFree(texts);
            CoTaskMemFree(types);
            CoTaskMemFree(first);
            CoTaskMemFree(second);
            return E_OUTOFMEMORY;
        }
        ids[0] = 1;
        ids[1] = 2;
        texts[0] = first;
        texts[1] = second;
        types[0] = VT_I2;
        types[1] = VT_R8;
        *pdwCount = 2;
        *ppPropertyIDs = ids;
        *ppDescriptions = texts;
        *ppvtDataTypes = types;
        return S_OK;
    }
    STDMETHODIMP GetItemProperties(LPWSTR, DWORD, DWORD*, VARIANT** ppvData, HRESULT** ppErrors) override {
        if (ppvData) *ppvData = nullptr;
        if (ppErrors) *ppErrors = nullptr;
        return E_NOTIMPL;
    }
    // Each property ID p except kUnknownProperty gives "<szItemID>.<p>"; kUnknownProperty gives NULL and
    // OPC_E_INVALID_PID, and the call S_FALSE.
    STDMETHODIMP LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                               HRESULT** ppErrors) override {
        if (!ppszNewItemIDs || !ppErrors) return E_INVALIDARG;
        *ppszNewItemIDs = nullptr;
        *ppErrors = nullptr;
        if (!szItemID || dwCount == 0 || !pdwPropertyIDs) return E_INVALIDARG;
        auto* ids = static_cast<LPWSTR*>(CoTaskMemAlloc(dwCount * sizeof(LPWSTR)));
        auto* errors = static_cast<HRESULT*>(CoTaskMemAlloc(dwCount * sizeof(HRESULT)));
        if (!ids || !errors) {
            CoTaskMemFree(ids);
            CoTaskMemFree(errors);
            return E_OUTOFMEMORY;
        }
        bool partial = false;
        HRESULT hr = Guarded([&] {
            for (DWORD i = 0; i < dwCount; ++i) ids[i] = nullptr;
            for (DWORD i = 0; i < dwCount; ++i) {
                if (pdwPropertyIDs[i] == kUnknownProperty) {
                    errors[i] = static_cast<HRESULT>(0xC0040203);  // OPC_E_INVALID_PID
                    partial = true;
                } else {
                    ids[i] = CoString(std::wstring(szItemID) + L"." + std::to_wstring(pdwPropertyIDs[i]));
                    errors[i] = S_OK;
                }
            }
            return S_OK;
        });
        if (FAILED(hr)) {
            for (DWORD i = 0; i < dwCount; ++i) CoTaskMemFree(ids[i]);
            CoTaskMemFree(ids);
            CoTaskMemFree(errors);
            return hr;
        }
        *ppszNewItemIDs = ids;
        *ppErrors = errors;
        return partial ? S_FALSE : S_OK;
    }

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
        if (ppEnum) *ppEnum = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
        if (!ppCP) return E_POINTER;
        *ppCP = nullptr;
        if (riid != IID_IOPCShutdown) return CONNECT_E_NOCONNECTION;
        return shutdown_.CopyTo(ppCP);
    }

private:
    LifetimeToken token_;
    std::atomic<LCID> locale_{0};
    ComPtr<ShutdownPoint> shutdown_;
};

class ClassFactory final : public ComObject<IClassFactory> {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return Guarded([&] { return Make<TestServer>()->QueryInterface(riid, ppv); });
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

bool StartedByCom() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool embedding = false;
    for (int i = 1; argv && i < argc; ++i)
        if (lstrcmpiW(argv[i], L"-Embedding") == 0 || lstrcmpiW(argv[i], L"/Embedding") == 0) embedding = true;
    LocalFree(argv);
    return embedding;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (!StartedByCom()) return 2;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
    g_idle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    int code = 0;
    {
        ComPtr<ClassFactory> factory = Make<ClassFactory>();
        DWORD cookie = 0;
        if (FAILED(CoRegisterClassObject(kTestServerClsid, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                         &cookie))) {
            code = 4;
        } else {
            // Serve until the last object is gone (or a minute without any), then stop taking new clients
            // and let objects created in between finish. Never linger beyond five minutes.
            const ULONGLONG start = GetTickCount64();
            while (GetTickCount64() - start < 300000) {
                WaitForSingleObject(g_idle, 60000);
                if (g_objects.load() == 0) break;
            }
            CoRevokeClassObject(cookie);
            for (int i = 0; i < 300 && g_objects.load() != 0; ++i) Sleep(100);
        }
    }
    CoUninitialize();
    CloseHandle(g_idle);
    return code;
}
