// opcclient.exe: a command-line OPC DA 2.0 client that talks to the Velmara 6 OPC server through COM.
//
//   opcclient status
//   opcclient browse [--flat]
//   opcclient read ITEM... [--cache]
//   opcclient write ITEM=VALUE...
//   opcclient subscribe ITEM... [--rate MS] [--seconds N]
//   opcclient errors CODE... [--lcid LCID]
//   common option: --clsid {GUID} (another OPC DA 2.0 server)
//
// Exit code: 0 success, 1 usage, 2 a call failed, 3 some items failed.

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>
#include <opccomn.h>
#include <opcda.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

constexpr CLSID kDefaultServer = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr int kExitItems = 3;

std::mutex g_outputLock;

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// One line on standard output (UTF-8), whole even when callbacks print from other threads.
void Print(const std::wstring& line) {
    std::lock_guard<std::mutex> lock(g_outputLock);
    std::string text = Utf8(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void PrintError(const std::wstring& line) {
    std::lock_guard<std::mutex> lock(g_outputLock);
    std::string text = Utf8(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

std::wstring Hex(HRESULT hr) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

struct CoString {
    LPWSTR p = nullptr;
    CoString() = default;
    CoString(const CoString&) = delete;
    CoString& operator=(const CoString&) = delete;
    ~CoString() { CoTaskMemFree(p); }
    LPWSTR* out() { return &p; }
};

// Task memory for an array the server allocated, freed with the owner.
template <typename T>
struct CoArray {
    T* p = nullptr;
    CoArray() = default;
    CoArray(const CoArray&) = delete;
    CoArray& operator=(const CoArray&) = delete;
    ~CoArray() { CoTaskMemFree(p); }
    T** out() { return &p; }
    T& operator[](size_t i) const { return p[i]; }
};

struct Variant {
    VARIANT v;
    Variant() { VariantInit(&v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(&v); }
};

std::wstring ErrorText(IOPCServer* server, HRESULT code, LCID lcid = 0x409) {
    CoString text;
    if (server && SUCCEEDED(server->GetErrorString(code, lcid, text.out())) && text.p) {
        std::wstring s = text.p;
        while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ')) s.pop_back();
        return s;
    }
    wchar_t* system = nullptr;
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&system), 0, nullptr) &&
        system) {
        std::wstring s = system;
        LocalFree(system);
        while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ')) s.pop_back();
        return s;
    }
    return L"";
}

std::wstring Failure(IOPCServer* server, const wchar_t* what, HRESULT hr) {
    std::wstring text = ErrorText(server, hr);
    return std::wstring(what) + L" failed: " + Hex(hr) + (text.empty() ? L"" : L" " + text);
}

std::wstring TimeText(const FILETIME& time) {
    SYSTEMTIME st = {};
    if (!FileTimeToSystemTime(&time, &st)) return L"?";
    wchar_t text[40];
    std::swprintf(text, 40, L"%04u-%02u-%02u %02u:%02u:%02u.%03u UTC", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond, st.wMilliseconds);
    return text;
}

std::wstring QualityText(WORD quality) {
    const wchar_t* main = L"bad";
    if ((quality & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD) main = L"good";
    else if ((quality & OPC_QUALITY_MASK) == OPC_QUALITY_UNCERTAIN) main = L"uncertain";
    wchar_t text[40];
    std::swprintf(text, 40, L"%ls (0x%04X)", main, quality);
    return text;
}

std::wstring TypeName(VARTYPE vt) {
    struct Name {
        VARTYPE vt;
        const wchar_t* name;
    };
    static const Name names[] = {{VT_EMPTY, L"EMPTY"}, {VT_I1, L"I1"},     {VT_UI1, L"UI1"},   {VT_I2, L"I2"},
                                 {VT_UI2, L"UI2"},     {VT_I4, L"I4"},     {VT_UI4, L"UI4"},   {VT_I8, L"I8"},
                                 {VT_UI8, L"UI8"},     {VT_R4, L"R4"},     {VT_R8, L"R8"},     {VT_BOOL, L"BOOL"},
                                 {VT_BSTR, L"BSTR"},   {VT_DATE, L"DATE"}, {VT_CY, L"CY"},     {VT_INT, L"INT"},
                                 {VT_UINT, L"UINT"},   {VT_ERROR, L"ERROR"}};
    std::wstring prefix = (vt & VT_ARRAY) ? L"ARRAY of " : L"";
    for (const Name& n : names)
        if (n.vt == (vt & VT_TYPEMASK)) return prefix + n.name;
    return prefix + std::to_wstring(vt);
}

std::wstring ValueText(const VARIANT& value) {
    if (value.vt & VT_ARRAY) {
        SAFEARRAY* array = value.parray;
        if (!array || SafeArrayGetDim(array) != 1) return L"<array>";
        LONG low = 0, high = -1;
        SafeArrayGetLBound(array, 1, &low);
        SafeArrayGetUBound(array, 1, &high);
        std::wstring text = L"[";
        for (LONG i = low; i <= high; ++i) {
            Variant element;
            VARTYPE vt = static_cast<VARTYPE>(value.vt & ~VT_ARRAY);
            if (vt == VT_VARIANT) {
                if (FAILED(SafeArrayGetElement(array, &i, &element.v))) return L"<array>";
            } else {
                element.v.vt = vt;
                if (FAILED(SafeArrayGetElement(array, &i, &element.v.lVal))) return L"<array>";
            }
            text += (i > low ? L", " : L"") + ValueText(element.v);
        }
        return text + L"]";
    }
    if (value.vt == VT_EMPTY) return L"<empty>";
    Variant text;
    if (FAILED(VariantChangeTypeEx(&text.v, const_cast<VARIANT*>(&value), LOCALE_INVARIANT, VARIANT_ALPHABOOL,
                                   VT_BSTR)))
        return L"<" + TypeName(value.vt) + L">";
    return std::wstring(text.v.bstrVal, SysStringLen(text.v.bstrVal));
}

bool ParseCode(const std::wstring& text, DWORD& value) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    unsigned long long v = std::wcstoull(text.c_str(), &end, 0);
    if (*end != L'\0' || v > 0xFFFFFFFFull) return false;
    value = static_cast<DWORD>(v);
    return true;
}

struct Options {
    std::wstring command;
    std::vector<std::wstring> args;
    CLSID clsid = kDefaultServer;
    DWORD rate = 1000;
    DWORD seconds = 10;
    DWORD lcid = 0x409;
    bool cache = false;
    bool flat = false;
};

void Usage() {
    PrintError(
        L"usage: opcclient COMMAND [ARGS] [--clsid {GUID}]\n"
        L"  status                                   server status\n"
        L"  browse [--flat]                          the address space\n"
        L"  read ITEM... [--cache]                   synchronous read (from the device unless --cache)\n"
        L"  write ITEM=VALUE...                      synchronous write (value converted to the item's type)\n"
        L"  subscribe ITEM... [--rate MS] [--seconds N]   print data changes as they come\n"
        L"  errors CODE... [--lcid LCID]             error texts (codes and LCID decimal or 0x hex)");
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    if (argc < 2) return false;
    options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::wstring a = argv[i];
        const auto next = [&](std::wstring& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::wstring value;
        if (a == L"--clsid") {
            if (!next(value) || FAILED(CLSIDFromString(value.c_str(), &options.clsid))) return false;
        } else if (a == L"--rate") {
            if (!next(value) || !ParseCode(value, options.rate)) return false;
        } else if (a == L"--seconds") {
            if (!next(value) || !ParseCode(value, options.seconds)) return false;
        } else if (a == L"--lcid") {
            if (!next(value) || !ParseCode(value, options.lcid)) return false;
        } else if (a == L"--cache") {
            options.cache = true;
        } else if (a == L"--flat") {
            options.flat = true;
        } else if (a.rfind(L"--", 0) == 0) {
            return false;
        } else {
            options.args.push_back(a);
        }
    }
    return true;
}

// A private group with items, removed again when this goes.
class ItemGroup {
public:
    ItemGroup(IOPCServer* server, bool active, DWORD rate) : server_(server) {
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        hr_ = server->AddGroup(L"", active, rate, 1, nullptr, nullptr, 0x409, &handle, &revised, IID_IOPCItemMgt,
                               reinterpret_cast<LPUNKNOWN*>(items_.GetAddressOf()));
        if (SUCCEEDED(hr_)) {
            handle_ = handle;
            revisedRate_ = revised;
        }
    }
    ItemGroup(const ItemGroup&) = delete;
    ItemGroup& operator=(const ItemGroup&) = delete;
    ~ItemGroup() {
        items_.Reset();
        if (handle_) server_->RemoveGroup(handle_, TRUE);
    }
    HRESULT Created() const { return hr_; }
    DWORD RevisedRate() const { return revisedRate_; }
    IOPCItemMgt* Items() const { return items_.Get(); }

    // Adds the items (client handle = index); per item its server handle, canonical type and error.
    HRESULT Add(const std::vector<std::wstring>& ids, std::vector<OPCHANDLE>& handles, std::vector<VARTYPE>& types,
                std::vector<HRESULT>& errors) {
        std::vector<std::wstring> copies(ids);
        std::vector<OPCITEMDEF> defs(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            defs[i] = OPCITEMDEF{};
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].szItemID = &copies[i][0];
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(i);
            defs[i].vtRequestedDataType = VT_EMPTY;
        }
        CoArray<OPCITEMRESULT> results;
        CoArray<HRESULT> errs;
        HRESULT hr = items_->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.out(), errs.out());
        if (FAILED(hr)) return hr;
        handles.assign(ids.size(), 0);
        types.assign(ids.size(), VT_EMPTY);
        errors.assign(ids.size(), E_FAIL);
        for (size_t i = 0; i < ids.size(); ++i) {
            errors[i] = errs.p ? errs[i] : E_FAIL;
            if (results.p) {
                handles[i] = results[i].hServer;
                types[i] = results[i].vtCanonicalDataType;
                CoTaskMemFree(results[i].pBlob);
            }
        }
        return hr;
    }

private:
    IOPCServer* server_;
    ComPtr<IOPCItemMgt> items_;
    HRESULT hr_ = E_FAIL;
    OPCHANDLE handle_ = 0;
    DWORD revisedRate_ = 0;
};

int Status(IOPCServer* server) {
    OPCSERVERSTATUS* status = nullptr;
    HRESULT hr = server->GetStatus(&status);
    if (FAILED(hr) || !status) {
        PrintError(Failure(server, L"GetStatus", hr));
        return kExitFailed;
    }
    const wchar_t* states[] = {L"?", L"running", L"failed", L"no configuration", L"suspended", L"test",
                               L"communication fault"};
    const DWORD state = static_cast<DWORD>(status->dwServerState);
    Print(L"vendor:       " + std::wstring(status->szVendorInfo ? status->szVendorInfo : L""));
    Print(L"version:      " + std::to_wstring(status->wMajorVersion) + L"." + std::to_wstring(status->wMinorVersion) +
          L"." + std::to_wstring(status->wBuildNumber));
    Print(L"state:        " + std::wstring(state < 7 ? states[state] : L"?") + L" (" + std::to_wstring(state) + L")");
    Print(L"start time:   " + TimeText(status->ftStartTime));
    Print(L"current time: " + TimeText(status->ftCurrentTime));
    Print(L"last update:  " + TimeText(status->ftLastUpdateTime));
    Print(L"groups:       " + std::to_wstring(status->dwGroupCount));
    Print(L"bandwidth:    " + (status->dwBandWidth == 0xFFFFFFFF ? std::wstring(L"unknown")
                                                                  : std::to_wstring(status->dwBandWidth)));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return 0;
}

int Errors(IOPCServer* server, const Options& options) {
    if (options.args.empty()) return kExitUsage;
    int code = 0;
    for (const std::wstring& text : options.args) {
        DWORD value = 0;
        if (!ParseCode(text, value)) {
            PrintError(L"not an error code: " + text);
            code = kExitUsage;
            continue;
        }
        CoString message;
        HRESULT hr = server->GetErrorString(static_cast<HRESULT>(value), options.lcid, message.out());
        if (FAILED(hr) || !message.p) {
            PrintError(Hex(static_cast<HRESULT>(value)) + L": GetErrorString failed: " + Hex(hr));
            code = kExitFailed;
            continue;
        }
        Print(Hex(static_cast<HRESULT>(value)) + L" " + message.p);
    }
    return code;
}

std::vector<std::wstring> Strings(IEnumString* strings) {
    std::vector<std::wstring> out;
    for (;;) {
        LPOLESTR text[16] = {};
        ULONG fetched = 0;
        HRESULT hr = strings->Next(16, text, &fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            out.push_back(text[i] ? text[i] : L"");
            CoTaskMemFree(text[i]);
        }
        if (hr != S_OK || fetched == 0) break;
    }
    return out;
}

int BrowseBranch(IOPCServer* server, IOPCBrowseServerAddressSpace* browse, const std::wstring& indent) {
    ComPtr<IEnumString> leaves, branches;
    HRESULT hr = browse->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &leaves);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"BrowseOPCItemIDs", hr));
        return kExitFailed;
    }
    if (leaves) {
        for (const std::wstring& leaf : Strings(leaves.Get())) {
            CoString id;
            std::wstring name = leaf;
            HRESULT got = browse->GetItemID(&name[0], id.out());
            Print(indent + leaf + (SUCCEEDED(got) && id.p ? L"  = " + std::wstring(id.p) : L""));
        }
    }
    hr = browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, &branches);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"BrowseOPCItemIDs", hr));
        return kExitFailed;
    }
    int code = 0;
    if (!branches) return code;
    for (const std::wstring& branch : Strings(branches.Get())) {
        Print(indent + branch + L"/");
        hr = browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, branch.c_str());
        if (FAILED(hr)) {
            PrintError(Failure(server, L"ChangeBrowsePosition", hr));
            code = kExitFailed;
            continue;
        }
        int sub = BrowseBranch(server, browse, indent + L"  ");
        if (sub) code = sub;
        hr = browse->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
        if (FAILED(hr)) {
            PrintError(Failure(server, L"ChangeBrowsePosition", hr));
            return kExitFailed;
        }
    }
    return code;
}

int Browse(IOPCServer* server, const Options& options) {
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    HRESULT hr = server->QueryInterface(IID_PPV_ARGS(&browse));
    if (FAILED(hr)) {
        PrintError(Failure(server, L"QueryInterface(IOPCBrowseServerAddressSpace)", hr));
        return kExitFailed;
    }
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    hr = browse->QueryOrganization(&type);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"QueryOrganization", hr));
        return kExitFailed;
    }
    if (type == OPC_NS_FLAT || options.flat) {
        ComPtr<IEnumString> all;
        hr = browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &all);
        if (FAILED(hr)) {
            PrintError(Failure(server, L"BrowseOPCItemIDs", hr));
            return kExitFailed;
        }
        if (all)
            for (const std::wstring& id : Strings(all.Get())) Print(id);
        return 0;
    }
    browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"");
    return BrowseBranch(server, browse.Get(), L"");
}

int Read(IOPCServer* server, const Options& options) {
    if (options.args.empty()) return kExitUsage;
    ItemGroup group(server, FALSE, 1000);
    if (FAILED(group.Created())) {
        PrintError(Failure(server, L"AddGroup", group.Created()));
        return kExitFailed;
    }
    std::vector<OPCHANDLE> handles;
    std::vector<VARTYPE> types;
    std::vector<HRESULT> errors;
    HRESULT hr = group.Add(options.args, handles, types, errors);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"AddItems", hr));
        return kExitFailed;
    }
    int code = 0;
    std::vector<OPCHANDLE> valid;
    std::vector<size_t> index;
    for (size_t i = 0; i < options.args.size(); ++i) {
        if (FAILED(errors[i])) {
            Print(options.args[i] + L": " + Hex(errors[i]) + L" " + ErrorText(server, errors[i]));
            code = kExitItems;
        } else {
            valid.push_back(handles[i]);
            index.push_back(i);
        }
    }
    if (valid.empty()) return code;
    ComPtr<IOPCSyncIO> io;
    hr = group.Items()->QueryInterface(IID_PPV_ARGS(&io));
    if (FAILED(hr)) {
        PrintError(Failure(server, L"QueryInterface(IOPCSyncIO)", hr));
        return kExitFailed;
    }
    CoArray<OPCITEMSTATE> states;
    CoArray<HRESULT> readErrors;
    hr = io->Read(options.cache ? OPC_DS_CACHE : OPC_DS_DEVICE, static_cast<DWORD>(valid.size()), valid.data(),
                  states.out(), readErrors.out());
    if (FAILED(hr)) {
        PrintError(Failure(server, L"Read", hr));
        return kExitFailed;
    }
    for (size_t k = 0; k < valid.size(); ++k) {
        const std::wstring& id = options.args[index[k]];
        if (FAILED(readErrors[k])) {
            Print(id + L": " + Hex(readErrors[k]) + L" " + ErrorText(server, readErrors[k]));
            code = kExitItems;
        } else {
            Print(id + L" = " + ValueText(states[k].vDataValue) + L"  [" + TypeName(states[k].vDataValue.vt) +
                  L", " + QualityText(states[k].wQuality) + L", " + TimeText(states[k].ftTimeStamp) + L"]");
        }
        VariantClear(&states[k].vDataValue);
    }
    return code;
}

int Write(IOPCServer* server, const Options& options) {
    if (options.args.empty()) return kExitUsage;
    std::vector<std::wstring> ids, texts;
    for (const std::wstring& a : options.args) {
        size_t eq = a.find(L'=');
        if (eq == std::wstring::npos || eq == 0) {
            PrintError(L"expected ITEM=VALUE: " + a);
            return kExitUsage;
        }
        ids.push_back(a.substr(0, eq));
        texts.push_back(a.substr(eq + 1));
    }
    ItemGroup group(server, FALSE, 1000);
    if (FAILED(group.Created())) {
        PrintError(Failure(server, L"AddGroup", group.Created()));
        return kExitFailed;
    }
    std::vector<OPCHANDLE> handles;
    std::vector<VARTYPE> types;
    std::vector<HRESULT> errors;
    HRESULT hr = group.Add(ids, handles, types, errors);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"AddItems", hr));
        return kExitFailed;
    }
    int code = 0;
    std::vector<OPCHANDLE> valid;
    std::vector<Variant> values(ids.size());
    std::vector<VARIANT> raw;
    std::vector<size_t> index;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (FAILED(errors[i])) {
            Print(ids[i] + L": " + Hex(errors[i]) + L" " + ErrorText(server, errors[i]));
            code = kExitItems;
            continue;
        }
        // The text is converted here, with invariant (".") number format, to the item's canonical type.
        Variant text;
        text.v.vt = VT_BSTR;
        text.v.bstrVal = SysAllocString(texts[i].c_str());
        if (!text.v.bstrVal) throw std::bad_alloc();
        const VARTYPE target = types[i] == VT_EMPTY ? static_cast<VARTYPE>(VT_BSTR) : types[i];
        hr = VariantChangeTypeEx(&values[i].v, &text.v, LOCALE_INVARIANT, VARIANT_ALPHABOOL, target);
        if (FAILED(hr)) {
            Print(ids[i] + L": cannot convert \"" + texts[i] + L"\" to " + TypeName(target) + L" (" + Hex(hr) + L")");
            code = kExitItems;
            continue;
        }
        valid.push_back(handles[i]);
        raw.push_back(values[i].v);
        index.push_back(i);
    }
    if (valid.empty()) return code;
    ComPtr<IOPCSyncIO> io;
    hr = group.Items()->QueryInterface(IID_PPV_ARGS(&io));
    if (FAILED(hr)) {
        PrintError(Failure(server, L"QueryInterface(IOPCSyncIO)", hr));
        return kExitFailed;
    }
    CoArray<HRESULT> writeErrors;
    hr = io->Write(static_cast<DWORD>(valid.size()), valid.data(), raw.data(), writeErrors.out());
    if (FAILED(hr)) {
        PrintError(Failure(server, L"Write", hr));
        return kExitFailed;
    }
    for (size_t k = 0; k < valid.size(); ++k) {
        const std::wstring& id = ids[index[k]];
        if (FAILED(writeErrors[k])) {
            Print(id + L": " + Hex(writeErrors[k]) + L" " + ErrorText(server, writeErrors[k]));
            code = kExitItems;
        } else {
            Print(id + L" := " + texts[index[k]] + L"  [" + TypeName(raw[k].vt) + L"]");
        }
    }
    return code;
}

// Prints every OnDataChange as lines "ITEM = VALUE [quality, time]".
class DataSink final : public IOPCDataCallback {
public:
    explicit DataSink(const std::vector<std::wstring>& ids) : ids_(ids) {}
    DataSink(const DataSink&) = delete;
    DataSink& operator=(const DataSink&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IOPCDataCallback) return E_NOINTERFACE;
        *ppv = static_cast<IOPCDataCallback*>(this);
        AddRef();
        return S_OK;
    }
    // Lives on the stack of Subscribe, which unadvises before it returns; the count only serves COM.
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }

    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                              VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                              HRESULT* pErrors) override {
        try {
            for (DWORD i = 0; i < dwCount; ++i) {
                const OPCHANDLE h = phClientItems[i];
                const std::wstring id = h < ids_.size() ? ids_[h] : L"#" + std::to_wstring(h);
                if (FAILED(pErrors[i]))
                    Print(id + L": " + Hex(pErrors[i]));
                else
                    Print(id + L" = " + ValueText(pvValues[i]) + L"  [" + QualityText(pwQualities[i]) + L", " +
                          TimeText(pftTimeStamps[i]) + L"]");
            }
            ++changes_;
        } catch (...) {
        }
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    long Changes() const { return changes_.load(); }

private:
    std::vector<std::wstring> ids_;
    std::atomic<ULONG> refs_{1};
    std::atomic<long> changes_{0};
};

int Subscribe(IOPCServer* server, const Options& options) {
    if (options.args.empty()) return kExitUsage;
    ItemGroup group(server, TRUE, options.rate);
    if (FAILED(group.Created())) {
        PrintError(Failure(server, L"AddGroup", group.Created()));
        return kExitFailed;
    }
    if (group.RevisedRate() != options.rate)
        Print(L"update rate revised to " + std::to_wstring(group.RevisedRate()) + L" ms");
    std::vector<OPCHANDLE> handles;
    std::vector<VARTYPE> types;
    std::vector<HRESULT> errors;
    HRESULT hr = group.Add(options.args, handles, types, errors);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"AddItems", hr));
        return kExitFailed;
    }
    int code = 0;
    for (size_t i = 0; i < options.args.size(); ++i) {
        if (FAILED(errors[i])) {
            Print(options.args[i] + L": " + Hex(errors[i]) + L" " + ErrorText(server, errors[i]));
            code = kExitItems;
        }
    }
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    hr = group.Items()->QueryInterface(IID_PPV_ARGS(&container));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(IID_IOPCDataCallback, &point);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"FindConnectionPoint(IOPCDataCallback)", hr));
        return kExitFailed;
    }
    DataSink sink(options.args);
    DWORD cookie = 0;
    hr = point->Advise(&sink, &cookie);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"Advise", hr));
        return kExitFailed;
    }
    Sleep(options.seconds * 1000);
    point->Unadvise(cookie);
    Print(L"data changes received: " + std::to_wstring(sink.Changes()));
    return code;
}

int Run(const Options& options) {
    ComPtr<IOPCServer> server;
    HRESULT hr = CoCreateInstance(options.clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server));
    if (FAILED(hr)) {
        PrintError(Failure(nullptr, L"CoCreateInstance", hr));
        return kExitFailed;
    }
    ComPtr<IOPCCommon> common;
    if (SUCCEEDED(server.As(&common))) common->SetClientName(L"opcclient");
    const std::wstring& c = options.command;
    if (c == L"status") return Status(server.Get());
    if (c == L"errors") return Errors(server.Get(), options);
    if (c == L"browse") return Browse(server.Get(), options);
    if (c == L"read") return Read(server.Get(), options);
    if (c == L"write") return Write(server.Get(), options);
    if (c == L"subscribe") return Subscribe(server.Get(), options);
    return kExitUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    const wchar_t* commands[] = {L"status", L"errors", L"browse", L"read", L"write", L"subscribe"};
    bool known = false;
    if (ParseOptions(argc, argv, options))
        for (const wchar_t* c : commands) known = known || options.command == c;
    const bool needsItems = options.command != L"status" && options.command != L"browse";
    if (!known || (needsItems && options.args.empty())) {
        Usage();
        return kExitUsage;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        PrintError(L"CoInitializeEx failed");
        return kExitFailed;
    }
    int code = kExitFailed;
    try {
        code = Run(options);
        if (code == kExitUsage) Usage();
    } catch (const std::bad_alloc&) {
        PrintError(L"out of memory");
    }
    CoUninitialize();
    return code;
}
