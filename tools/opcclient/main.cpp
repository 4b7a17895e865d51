// opcclient.exe: a command-line OPC DA 2.0 client that talks to the Velmara 6 OPC server through COM.
//
//   opcclient status
//   opcclient servers
//   opcclient browse [BRANCH] [--filter PATTERN] [--flat]
//   opcclient properties ITEM...
//   opcclient read ITEM... [--cache | --async]
//   opcclient write ITEM=VALUE...
//   opcclient subscribe ITEM... [--rate MS] [--seconds N]
//   opcclient errors CODE... [--lcid LCID]
//   common options: --clsid {GUID} (another OPC DA 2.0 server), --json (JSON on standard output)
//
// Every failed call is reported with its HRESULT and the server's own text for it (system text otherwise).
// Exit code: 0 success, 1 usage, 2 a call failed, 3 some items failed.

#include <windows.h>
#include <comcat.h>
#include <ocidl.h>
#include <oleauto.h>
#include <opccomn.h>
#include <opcda.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "Output.h"
#include "Values.h"

using Microsoft::WRL::ComPtr;
using namespace opcclient;

namespace {

constexpr CLSID kDefaultServer = {0x7A3E1C04, 0x5B2D, 0x4F60, {0x9E, 0x11, 0x2C, 0x8D, 0x0B, 0x6A, 0x4F, 0x01}};
// The OPC Foundation's component category "OPC Data Access Servers Version 2.0".
constexpr CATID kCatidOpcDaServer20 = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr int kExitItems = 3;
constexpr DWORD kAsyncTimeoutMs = 30000;

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

std::wstring Trimmed(std::wstring s) {
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ')) s.pop_back();
    return s;
}

// The server's text for a code, else the system's, else "".
std::wstring ErrorText(IOPCServer* server, HRESULT code, LCID lcid = 0x409) {
    CoString text;
    if (server && SUCCEEDED(server->GetErrorString(code, lcid, text.out())) && text.p) return Trimmed(text.p);
    wchar_t* system = nullptr;
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&system), 0, nullptr) &&
        system) {
        std::wstring s = system;
        LocalFree(system);
        return Trimmed(s);
    }
    return L"";
}

// "0xC0040007 The item ID is not defined in the server address space"
std::wstring CodeAndText(IOPCServer* server, HRESULT code) {
    const std::wstring text = ErrorText(server, code);
    return Hex(code) + (text.empty() ? L"" : L" " + text);
}

std::wstring Failure(IOPCServer* server, const wchar_t* what, HRESULT hr) {
    return std::wstring(what) + L" failed: " + CodeAndText(server, hr);
}

// `from`'s interface I; a failure is reported with the interface's name.
template <typename I>
bool Query(IOPCServer* server, IUnknown* from, const wchar_t* name, ComPtr<I>& out) {
    const HRESULT hr = from->QueryInterface(IID_PPV_ARGS(&out));
    if (FAILED(hr)) PrintError(Failure(server, (std::wstring(L"QueryInterface(") + name + L")").c_str(), hr));
    return SUCCEEDED(hr);
}

// Adds "error" and "errorText" to a JSON record.
void AddError(JsonObject& record, IOPCServer* server, HRESULT code) {
    record.AddString(L"error", Hex(code)).AddString(L"errorText", ErrorText(server, code));
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
    std::wstring filter;
    bool cache = false;
    bool async = false;
    bool flat = false;
    bool json = false;
};

void Usage() {
    PrintError(
        L"usage: opcclient COMMAND [ARGS] [--clsid {GUID}] [--json]\n"
        L"  status                                   server status\n"
        L"  servers                                  OPC DA 2.0 servers registered on this machine\n"
        L"  browse [BRANCH] [--filter PATTERN] [--flat]   the address space (below BRANCH, leaves matching PATTERN)\n"
        L"  properties ITEM...                       item properties: ids, descriptions, values\n"
        L"  read ITEM... [--cache | --async]         read from the device (from the cache, or asynchronously)\n"
        L"  write ITEM=VALUE...                      synchronous write (value converted to the item's type)\n"
        L"  subscribe ITEM... [--rate MS] [--seconds N]   print data changes as they come\n"
        L"  errors CODE... [--lcid LCID]             error texts (codes and LCID decimal or 0x hex)\n"
        L"  --json: results as JSON on standard output (subscribe: one JSON object per line)");
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
        } else if (a == L"--filter") {
            if (!next(options.filter)) return false;
        } else if (a == L"--cache") {
            options.cache = true;
        } else if (a == L"--async") {
            options.async = true;
        } else if (a == L"--flat") {
            options.flat = true;
        } else if (a == L"--json") {
            options.json = true;
        } else if (a.rfind(L"--", 0) == 0) {
            return false;
        } else {
            options.args.push_back(a);
        }
    }
    return !(options.cache && options.async);
}

// One item's value as read or received.
struct ItemValue {
    size_t position = 0;  // in the command line's list of items
    std::wstring id;
    HRESULT error = S_OK;
    Variant value;
    WORD quality = 0;
    FILETIME time = {};
};

std::wstring ValueLine(const ItemValue& item, bool withType) {
    return item.id + L" = " + ValueText(item.value.v) + L"  [" +
           (withType ? TypeName(item.value.v.vt) + L", " : std::wstring()) + QualityText(item.quality) + L", " +
           TimeText(item.time) + L"]";
}

std::wstring ValueJson(IOPCServer* server, const ItemValue& item) {
    JsonObject record;
    record.AddString(L"item", item.id);
    if (FAILED(item.error)) {
        AddError(record, server, item.error);
        return record.Text();
    }
    record.Add(L"value", JsonValue(item.value.v))
        .AddString(L"type", TypeName(item.value.v.vt))
        .AddNumber(L"quality", item.quality)
        .AddString(L"qualityText", QualityName(item.quality))
        .AddString(L"timestamp", IsoTime(item.time));
    return record.Text();
}

// Prints read results (text lines or one JSON array); kExitItems if any item failed.
int PrintValues(IOPCServer* server, const std::vector<ItemValue>& items, bool json) {
    int code = 0;
    JsonArray array;
    for (const ItemValue& item : items) {
        if (FAILED(item.error)) code = kExitItems;
        if (json)
            array.Add(ValueJson(server, item));
        else if (FAILED(item.error))
            Print(item.id + L": " + CodeAndText(server, item.error));
        else
            Print(ValueLine(item, true));
    }
    if (json) Print(array.Text());
    return code;
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

int Status(IOPCServer* server, const Options& options) {
    OPCSERVERSTATUS* status = nullptr;
    HRESULT hr = server->GetStatus(&status);
    if (FAILED(hr) || !status) {
        PrintError(Failure(server, L"GetStatus", hr));
        return kExitFailed;
    }
    const wchar_t* states[] = {L"?", L"running", L"failed", L"no configuration", L"suspended", L"test",
                               L"communication fault"};
    const DWORD state = static_cast<DWORD>(status->dwServerState);
    const std::wstring vendor = status->szVendorInfo ? status->szVendorInfo : L"";
    const std::wstring version = std::to_wstring(status->wMajorVersion) + L"." +
                                 std::to_wstring(status->wMinorVersion) + L"." + std::to_wstring(status->wBuildNumber);
    const std::wstring stateText = state < 7 ? states[state] : L"?";
    if (options.json) {
        JsonObject record;
        record.AddString(L"vendor", vendor)
            .AddString(L"version", version)
            .AddNumber(L"state", state)
            .AddString(L"stateText", stateText)
            .AddString(L"startTime", IsoTime(status->ftStartTime))
            .AddString(L"currentTime", IsoTime(status->ftCurrentTime))
            .AddString(L"lastUpdateTime", IsoTime(status->ftLastUpdateTime))
            .AddNumber(L"groups", status->dwGroupCount)
            .Add(L"bandwidth", status->dwBandWidth == 0xFFFFFFFF ? L"null" : std::to_wstring(status->dwBandWidth));
        Print(record.Text());
    } else {
        Print(L"vendor:       " + vendor);
        Print(L"version:      " + version);
        Print(L"state:        " + stateText + L" (" + std::to_wstring(state) + L")");
        Print(L"start time:   " + TimeText(status->ftStartTime));
        Print(L"current time: " + TimeText(status->ftCurrentTime));
        Print(L"last update:  " + TimeText(status->ftLastUpdateTime));
        Print(L"groups:       " + std::to_wstring(status->dwGroupCount));
        Print(L"bandwidth:    " + (status->dwBandWidth == 0xFFFFFFFF ? std::wstring(L"unknown")
                                                                      : std::to_wstring(status->dwBandWidth)));
    }
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return 0;
}

int Errors(IOPCServer* server, const Options& options) {
    int code = 0;
    JsonArray array;
    for (const std::wstring& text : options.args) {
        DWORD value = 0;
        if (!ParseCode(text, value)) {
            PrintError(L"not an error code: " + text);
            code = kExitUsage;
            continue;
        }
        const HRESULT asked = static_cast<HRESULT>(value);
        CoString message;
        const HRESULT hr = server->GetErrorString(asked, options.lcid, message.out());
        JsonObject record;
        record.AddString(L"code", Hex(asked));
        if (FAILED(hr) || !message.p) {
            const HRESULT failure = FAILED(hr) ? hr : E_POINTER;
            if (options.json)
                AddError(record, server, failure);
            else
                PrintError(Hex(asked) + L": " + Failure(server, L"GetErrorString", failure));
            code = kExitFailed;
        } else if (options.json) {
            record.AddString(L"text", Trimmed(message.p));
        } else {
            Print(Hex(asked) + L" " + Trimmed(message.p));
        }
        array.Add(record.Text());
    }
    if (options.json) Print(array.Text());
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

// The names BrowseOPCItemIDs returns for one kind at the current position (none for S_FALSE).
HRESULT Names(IOPCBrowseServerAddressSpace* browse, OPCBROWSETYPE type, const std::wstring& filter,
              std::vector<std::wstring>& names) {
    ComPtr<IEnumString> found;
    names.clear();
    HRESULT hr = browse->BrowseOPCItemIDs(type, filter.c_str(), VT_EMPTY, 0, &found);
    if (SUCCEEDED(hr) && found) names = Strings(found.Get());
    return hr;
}

// What a browse found: a branch ("Name/") or a leaf with its item id, indented by depth.
struct BrowseEntry {
    std::wstring name;
    std::wstring id;
    bool branch;
    size_t depth;
};

// The current position's leaves (matching the filter) and branches, recursively. A branch is listed when there is
// no filter or when something below it matched.
HRESULT BrowseBranch(IOPCServer* server, IOPCBrowseServerAddressSpace* browse, const std::wstring& filter,
                     size_t depth, std::vector<BrowseEntry>& out) {
    std::vector<std::wstring> leaves, branches;
    HRESULT hr = Names(browse, OPC_LEAF, filter, leaves);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"BrowseOPCItemIDs", hr));
        return hr;
    }
    for (const std::wstring& leaf : leaves) {
        CoString id;
        std::wstring name = leaf;
        const HRESULT got = browse->GetItemID(&name[0], id.out());
        out.push_back({leaf, SUCCEEDED(got) && id.p ? std::wstring(id.p) : std::wstring(), false, depth});
    }
    hr = Names(browse, OPC_BRANCH, L"", branches);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"BrowseOPCItemIDs", hr));
        return hr;
    }
    HRESULT result = S_OK;
    for (const std::wstring& branch : branches) {
        CoString id;
        std::wstring name = branch;
        const HRESULT got = browse->GetItemID(&name[0], id.out());
        const size_t at = out.size();
        out.push_back({branch, SUCCEEDED(got) && id.p ? std::wstring(id.p) : std::wstring(), true, depth});
        hr = browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, branch.c_str());
        if (FAILED(hr)) {
            PrintError(Failure(server, L"ChangeBrowsePosition", hr));
            result = hr;
            continue;
        }
        const HRESULT sub = BrowseBranch(server, browse, filter, depth + 1, out);
        if (FAILED(sub)) result = sub;
        if (!filter.empty() && out.size() == at + 1) out.pop_back();
        hr = browse->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
        if (FAILED(hr)) {
            PrintError(Failure(server, L"ChangeBrowsePosition", hr));
            return hr;
        }
    }
    return result;
}

int Browse(IOPCServer* server, const Options& options) {
    if (options.args.size() > 1) return kExitUsage;
    const std::wstring branch = options.args.empty() ? std::wstring() : options.args[0];
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    if (!Query(server, server, L"IOPCBrowseServerAddressSpace", browse)) return kExitFailed;
    OPCNAMESPACETYPE type = OPC_NS_FLAT;
    HRESULT hr = browse->QueryOrganization(&type);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"QueryOrganization", hr));
        return kExitFailed;
    }
    std::vector<BrowseEntry> entries;
    int code = 0;
    if (type == OPC_NS_FLAT || options.flat) {
        // All item ids; below a branch, those that start with "BRANCH.".
        std::vector<std::wstring> ids;
        hr = Names(browse.Get(), OPC_FLAT, options.filter, ids);
        if (FAILED(hr)) {
            PrintError(Failure(server, L"BrowseOPCItemIDs", hr));
            return kExitFailed;
        }
        for (const std::wstring& id : ids)
            if (branch.empty() || id.rfind(branch + L".", 0) == 0) entries.push_back({id, id, false, 0});
    } else {
        hr = browse->ChangeBrowsePosition(OPC_BROWSE_TO, branch.c_str());
        if (FAILED(hr)) {
            PrintError(Failure(server, (L"ChangeBrowsePosition to \"" + branch + L"\"").c_str(), hr));
            return kExitFailed;
        }
        if (FAILED(BrowseBranch(server, browse.Get(), options.filter, 0, entries))) code = kExitFailed;
    }
    if (options.json) {
        JsonArray array;
        for (const BrowseEntry& e : entries) {
            JsonObject record;
            record.AddString(L"name", e.name);
            record.Add(L"id", e.id.empty() ? L"null" : JsonString(e.id));
            record.AddBool(L"branch", e.branch).AddNumber(L"depth", e.depth);
            array.Add(record.Text());
        }
        Print(array.Text());
    } else {
        for (const BrowseEntry& e : entries) {
            const std::wstring indent(2 * e.depth, L' ');
            if (e.branch)
                Print(indent + e.name + L"/");
            else if (options.flat || type == OPC_NS_FLAT)
                Print(e.id);
            else
                Print(indent + e.name + (e.id.empty() ? L"" : L"  = " + e.id));
        }
    }
    return code;
}

int Properties(IOPCServer* server, const Options& options) {
    ComPtr<IOPCItemProperties> properties;
    if (!Query(server, server, L"IOPCItemProperties", properties)) return kExitFailed;
    int code = 0;
    JsonArray items;
    for (const std::wstring& item : options.args) {
        std::wstring id = item;
        DWORD count = 0;
        CoArray<DWORD> ids;
        CoArray<LPWSTR> descriptions;
        CoArray<VARTYPE> types;
        HRESULT hr = properties->QueryAvailableProperties(&id[0], &count, ids.out(), descriptions.out(), types.out());
        const auto freeDescriptions = [&] {
            for (DWORD i = 0; descriptions.p && i < count; ++i) CoTaskMemFree(descriptions[i]);
        };
        JsonObject record;
        record.AddString(L"item", item);
        if (FAILED(hr)) {
            if (options.json)
                AddError(record, server, hr);
            else
                Print(item + L": " + CodeAndText(server, hr));
            items.Add(record.Text());
            code = kExitItems;
            continue;
        }
        CoArray<VARIANT> values;
        CoArray<HRESULT> errors;
        hr = count ? properties->GetItemProperties(&id[0], count, ids.p, values.out(), errors.out()) : S_OK;
        if (FAILED(hr)) {
            freeDescriptions();
            PrintError(item + L": " + Failure(server, L"GetItemProperties", hr));
            return kExitFailed;
        }
        if (!options.json) Print(item + L":");
        JsonArray list;
        for (DWORD i = 0; i < count; ++i) {
            const std::wstring description = descriptions[i] ? descriptions[i] : L"";
            Variant value;
            if (values.p) value.v = values[i];  // taken over, cleared with `value`
            const HRESULT error = errors.p ? errors[i] : S_OK;
            if (FAILED(error)) code = kExitItems;
            if (options.json) {
                JsonObject p;
                p.AddNumber(L"id", ids[i]).AddString(L"description", description).AddString(L"type",
                                                                                               TypeName(types[i]));
                if (FAILED(error))
                    AddError(p, server, error);
                else
                    p.Add(L"value", JsonValue(value.v));
                list.Add(p.Text());
            } else {
                wchar_t number[16];
                std::swprintf(number, 16, L"%6lu  ", static_cast<unsigned long>(ids[i]));
                Print(number + description + L" [" + TypeName(types[i]) + L"] " +
                      (FAILED(error) ? CodeAndText(server, error) : L"= " + ValueText(value.v)));
            }
        }
        freeDescriptions();
        record.Add(L"properties", list.Text());
        items.Add(record.Text());
    }
    if (options.json) Print(items.Text());
    return code;
}

// Receives the group's callbacks: data changes are printed as they come, an asynchronous read's results kept
// until the reader takes them.
class DataSink final : public IOPCDataCallback {
public:
    DataSink(IOPCServer* server, const std::vector<std::wstring>& ids, bool json)
        : server_(server), ids_(ids), json_(json), readDone_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (!readDone_) throw std::bad_alloc();
    }
    DataSink(const DataSink&) = delete;
    DataSink& operator=(const DataSink&) = delete;
    ~DataSink() { CloseHandle(readDone_); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IOPCDataCallback) return E_NOINTERFACE;
        *ppv = static_cast<IOPCDataCallback*>(this);
        AddRef();
        return S_OK;
    }
    // Lives on the stack of its command, which unadvises before it returns; the count only serves COM.
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }

    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                              VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                              HRESULT* pErrors) override {
        try {
            for (DWORD i = 0; i < dwCount; ++i) {
                ItemValue item = Take(phClientItems[i], pvValues[i], pwQualities[i], pftTimeStamps[i], pErrors[i]);
                if (json_)
                    Print(ValueJson(server_, item));
                else if (FAILED(item.error))
                    Print(item.id + L": " + CodeAndText(server_, item.error));
                else
                    Print(ValueLine(item, false));
            }
            ++changes_;
        } catch (...) {
        }
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount,
                                OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                FILETIME* pftTimeStamps, HRESULT* pErrors) override {
        if (dwTransid != kReadTransaction || WaitForSingleObject(readDone_, 0) == WAIT_OBJECT_0) return S_OK;
        try {
            for (DWORD i = 0; i < dwCount; ++i)
                read_.push_back(Take(phClientItems[i], pvValues[i], pwQualities[i], pftTimeStamps[i], pErrors[i]));
        } catch (...) {
            readFailed_ = true;
        }
        SetEvent(readDone_);
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    long Changes() const { return changes_.load(); }

    // The asynchronous read's results, once its OnReadComplete came (false after the timeout).
    bool WaitForRead(DWORD timeoutMs, std::vector<ItemValue>& results) {
        if (WaitForSingleObject(readDone_, timeoutMs) != WAIT_OBJECT_0 || readFailed_) return false;
        results = std::move(read_);
        return true;
    }

    static constexpr DWORD kReadTransaction = 1;

private:
    ItemValue Take(OPCHANDLE handle, const VARIANT& value, WORD quality, const FILETIME& time, HRESULT error) {
        ItemValue item;
        item.position = handle;
        item.id = handle < ids_.size() ? ids_[handle] : L"#" + std::to_wstring(handle);
        item.error = error;
        item.quality = quality;
        item.time = time;
        if (SUCCEEDED(error)) VariantCopy(&item.value.v, const_cast<VARIANT*>(&value));
        return item;
    }

    IOPCServer* server_;
    std::vector<std::wstring> ids_;
    bool json_;
    HANDLE readDone_;
    std::vector<ItemValue> read_;
    bool readFailed_ = false;
    std::atomic<ULONG> refs_{1};
    std::atomic<long> changes_{0};
};

// The sink advised on a group's IOPCDataCallback connection point for the life of this object.
class Advice {
public:
    Advice(IOPCItemMgt* group, IUnknown* sink) {
        ComPtr<IConnectionPointContainer> container;
        hr_ = group->QueryInterface(IID_PPV_ARGS(&container));
        if (SUCCEEDED(hr_)) hr_ = container->FindConnectionPoint(IID_IOPCDataCallback, &point_);
        if (SUCCEEDED(hr_)) hr_ = point_->Advise(sink, &cookie_);
    }
    Advice(const Advice&) = delete;
    Advice& operator=(const Advice&) = delete;
    ~Advice() {
        if (SUCCEEDED(hr_)) point_->Unadvise(cookie_);
    }
    HRESULT Result() const { return hr_; }

private:
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
    HRESULT hr_ = E_FAIL;
};

// A group holding the items; items that cannot be added are reported (as results, with their errors).
struct AddedItems {
    std::vector<OPCHANDLE> handles;      // of the items added
    std::vector<size_t> index;           // their positions in the ids
    std::vector<VARTYPE> types;          // canonical types, by position
    std::vector<ItemValue> failed;       // items that could not be added
};

HRESULT AddItems(IOPCServer* server, ItemGroup& group, const std::vector<std::wstring>& ids, AddedItems& added) {
    if (FAILED(group.Created())) {
        PrintError(Failure(server, L"AddGroup", group.Created()));
        return group.Created();
    }
    std::vector<OPCHANDLE> handles;
    std::vector<HRESULT> errors;
    const HRESULT hr = group.Add(ids, handles, added.types, errors);
    if (FAILED(hr)) {
        PrintError(Failure(server, L"AddItems", hr));
        return hr;
    }
    for (size_t i = 0; i < ids.size(); ++i) {
        if (FAILED(errors[i])) {
            ItemValue item;
            item.position = i;
            item.id = ids[i];
            item.error = errors[i];
            added.failed.push_back(std::move(item));
        } else {
            added.handles.push_back(handles[i]);
            added.index.push_back(i);
        }
    }
    return hr;
}

int Read(IOPCServer* server, const Options& options) {
    ItemGroup group(server, FALSE, 1000);
    AddedItems added;
    if (FAILED(AddItems(server, group, options.args, added))) return kExitFailed;
    std::vector<ItemValue> results = std::move(added.failed);
    if (!added.handles.empty() && options.async) {
        ComPtr<IOPCAsyncIO2> io;
        if (!Query(server, group.Items(), L"IOPCAsyncIO2", io)) return kExitFailed;
        DataSink sink(server, options.args, options.json);
        Advice advice(group.Items(), &sink);
        if (FAILED(advice.Result())) {
            PrintError(Failure(server, L"Advise(IOPCDataCallback)", advice.Result()));
            return kExitFailed;
        }
        DWORD cancel = 0;
        CoArray<HRESULT> errors;
        const HRESULT hr = io->Read(static_cast<DWORD>(added.handles.size()), added.handles.data(),
                                    DataSink::kReadTransaction, &cancel, errors.out());
        if (FAILED(hr)) {
            PrintError(Failure(server, L"IOPCAsyncIO2::Read", hr));
            return kExitFailed;
        }
        size_t pending = 0;
        for (size_t k = 0; k < added.handles.size(); ++k) {
            if (errors.p && FAILED(errors[k])) {
                ItemValue item;
                item.position = added.index[k];
                item.id = options.args[item.position];
                item.error = errors[k];
                results.push_back(std::move(item));
            } else {
                ++pending;
            }
        }
        std::vector<ItemValue> completed;
        if (pending && !sink.WaitForRead(kAsyncTimeoutMs, completed)) {
            PrintError(L"IOPCAsyncIO2::Read: no OnReadComplete within " + std::to_wstring(kAsyncTimeoutMs / 1000) +
                       L" s");
            return kExitFailed;
        }
        for (ItemValue& item : completed) results.push_back(std::move(item));
    } else if (!added.handles.empty()) {
        ComPtr<IOPCSyncIO> io;
        if (!Query(server, group.Items(), L"IOPCSyncIO", io)) return kExitFailed;
        CoArray<OPCITEMSTATE> states;
        CoArray<HRESULT> errors;
        const HRESULT hr = io->Read(options.cache ? OPC_DS_CACHE : OPC_DS_DEVICE,
                                    static_cast<DWORD>(added.handles.size()), added.handles.data(), states.out(),
                                    errors.out());
        if (FAILED(hr)) {
            PrintError(Failure(server, L"Read", hr));
            return kExitFailed;
        }
        for (size_t k = 0; k < added.handles.size(); ++k) {
            ItemValue item;
            item.position = added.index[k];
            item.id = options.args[item.position];
            item.error = errors[k];
            item.value.v = states[k].vDataValue;  // taken over
            item.quality = states[k].wQuality;
            item.time = states[k].ftTimeStamp;
            results.push_back(std::move(item));
        }
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const ItemValue& a, const ItemValue& b) { return a.position < b.position; });
    return PrintValues(server, results, options.json);
}

int Write(IOPCServer* server, const Options& options) {
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
    AddedItems added;
    if (FAILED(AddItems(server, group, ids, added))) return kExitFailed;
    int code = 0;
    JsonArray array;
    const auto report = [&](const std::wstring& id, HRESULT error, const std::wstring& text, VARTYPE type) {
        if (FAILED(error)) code = kExitItems;
        if (options.json) {
            JsonObject record;
            record.AddString(L"item", id);
            if (FAILED(error))
                AddError(record, server, error);
            else
                record.AddString(L"value", text).AddString(L"type", TypeName(type));
            array.Add(record.Text());
        } else if (FAILED(error)) {
            Print(id + L": " + CodeAndText(server, error));
        } else {
            Print(id + L" := " + text + L"  [" + TypeName(type) + L"]");
        }
    };
    for (const ItemValue& item : added.failed) report(item.id, item.error, L"", VT_EMPTY);
    std::vector<OPCHANDLE> valid;
    std::vector<Variant> values;
    std::vector<VARIANT> raw;
    std::vector<size_t> index;
    values.reserve(added.handles.size());
    for (size_t k = 0; k < added.handles.size(); ++k) {
        const size_t i = added.index[k];
        // The text is converted here, with invariant (".") number format, to the item's canonical type.
        Variant text;
        text.v.vt = VT_BSTR;
        text.v.bstrVal = SysAllocString(texts[i].c_str());
        if (!text.v.bstrVal) throw std::bad_alloc();
        const VARTYPE target = added.types[i] == VT_EMPTY ? static_cast<VARTYPE>(VT_BSTR) : added.types[i];
        Variant value;
        const HRESULT hr = VariantChangeTypeEx(&value.v, &text.v, LOCALE_INVARIANT, VARIANT_ALPHABOOL, target);
        if (FAILED(hr)) {
            if (options.json) {
                report(ids[i], hr, texts[i], target);
            } else {
                Print(ids[i] + L": cannot convert \"" + texts[i] + L"\" to " + TypeName(target) + L" (" +
                      CodeAndText(nullptr, hr) + L")");
                code = kExitItems;
            }
            continue;
        }
        values.push_back(std::move(value));
        valid.push_back(added.handles[k]);
        index.push_back(i);
    }
    for (const Variant& v : values) raw.push_back(v.v);
    if (!valid.empty()) {
        ComPtr<IOPCSyncIO> io;
        if (!Query(server, group.Items(), L"IOPCSyncIO", io)) return kExitFailed;
        CoArray<HRESULT> errors;
        const HRESULT hr = io->Write(static_cast<DWORD>(valid.size()), valid.data(), raw.data(), errors.out());
        if (FAILED(hr)) {
            PrintError(Failure(server, L"Write", hr));
            return kExitFailed;
        }
        for (size_t k = 0; k < valid.size(); ++k) report(ids[index[k]], errors[k], texts[index[k]], raw[k].vt);
    }
    if (options.json) Print(array.Text());
    return code;
}

int Subscribe(IOPCServer* server, const Options& options) {
    ItemGroup group(server, TRUE, options.rate);
    AddedItems added;
    if (FAILED(AddItems(server, group, options.args, added))) return kExitFailed;
    if (group.RevisedRate() != options.rate) {
        const std::wstring note = L"update rate revised to " + std::to_wstring(group.RevisedRate()) + L" ms";
        if (options.json)
            PrintError(note);
        else
            Print(note);
    }
    int code = 0;
    for (const ItemValue& item : added.failed) {
        code = kExitItems;
        if (options.json)
            Print(ValueJson(server, item));
        else
            Print(item.id + L": " + CodeAndText(server, item.error));
    }
    DataSink sink(server, options.args, options.json);
    Advice advice(group.Items(), &sink);
    if (FAILED(advice.Result())) {
        PrintError(Failure(server, L"Advise(IOPCDataCallback)", advice.Result()));
        return kExitFailed;
    }
    Sleep(options.seconds * 1000);
    const std::wstring summary = L"data changes received: " + std::to_wstring(sink.Changes());
    if (options.json)
        PrintError(summary);
    else
        Print(summary);
    return code;
}

struct ServerEntry {
    std::wstring clsid, progId, name;
    bool otherView;  // registered in the other bitness's registry view
};

// The default value of parent\sub in the given registry view ("" if missing).
std::wstring DefaultValue(HKEY parent, const std::wstring& sub, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, sub.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) return L"";
    wchar_t text[512] = {};
    DWORD bytes = sizeof(text) - sizeof(wchar_t), type = 0;
    const LSTATUS rc = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_SZ ? std::wstring(text) : std::wstring();
}

// DA 2.0 servers of the other bitness: the categories manager reads only this process's registry view, while COM
// starts local servers of either bitness. Nothing on 32-bit Windows, where there is one view.
void OtherViewServers(std::vector<ServerEntry>& servers) {
    BOOL wow64 = FALSE;
    const bool native64 = sizeof(void*) == 8;
    if (!native64 && (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)) return;
    const REGSAM view = native64 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    HKEY classes = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID", 0, KEY_ENUMERATE_SUB_KEYS | view, &classes) !=
        ERROR_SUCCESS)
        return;
    wchar_t category[40] = {};
    StringFromGUID2(kCatidOpcDaServer20, category, 40);
    const size_t known = servers.size();
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(classes, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY implemented = nullptr;
        const std::wstring sub = std::wstring(name) + L"\\Implemented Categories\\" + category;
        if (RegOpenKeyExW(classes, sub.c_str(), 0, KEY_QUERY_VALUE | view, &implemented) != ERROR_SUCCESS) continue;
        RegCloseKey(implemented);
        bool listed = false;
        for (size_t k = 0; k < known; ++k) listed = listed || _wcsicmp(servers[k].clsid.c_str(), name) == 0;
        if (!listed)
            servers.push_back({name, DefaultValue(classes, std::wstring(name) + L"\\ProgID", view),
                               DefaultValue(classes, name, view), true});
    }
    RegCloseKey(classes);
}

// The classes registered as OPC DA 2.0 servers, from the standard component categories manager, then those of
// the other bitness.
int Servers(const Options& options) {
    ComPtr<ICatInformation> categories;
    HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&categories));
    if (FAILED(hr)) {
        PrintError(Failure(nullptr, L"CoCreateInstance(StdComponentCategoriesMgr)", hr));
        return kExitFailed;
    }
    CATID wanted[] = {kCatidOpcDaServer20};
    ComPtr<IEnumCLSID> classes;
    hr = categories->EnumClassesOfCategories(1, wanted, static_cast<ULONG>(-1), nullptr, &classes);
    if (FAILED(hr)) {
        PrintError(Failure(nullptr, L"EnumClassesOfCategories", hr));
        return kExitFailed;
    }
    std::vector<ServerEntry> servers;
    CLSID clsid;
    ULONG fetched = 0;
    while (classes->Next(1, &clsid, &fetched) == S_OK && fetched == 1) {
        wchar_t guid[40] = {};
        StringFromGUID2(clsid, guid, 40);
        CoString progId, name;
        ProgIDFromCLSID(clsid, progId.out());
        OleRegGetUserType(clsid, USERCLASSTYPE_FULL, name.out());
        servers.push_back({guid, progId.p ? progId.p : L"", name.p ? name.p : L"", false});
    }
    OtherViewServers(servers);
    const bool native64 = sizeof(void*) == 8;
    JsonArray array;
    for (const ServerEntry& s : servers) {
        const wchar_t* bits = (native64 != s.otherView) ? L"64-bit" : L"32-bit";
        if (options.json) {
            JsonObject record;
            record.AddString(L"clsid", s.clsid).AddString(L"progId", s.progId).AddString(L"name", s.name);
            record.AddString(L"registryView", bits);
            array.Add(record.Text());
        } else {
            Print(s.clsid + L"  " + s.progId + (s.name.empty() ? L"" : L"  " + s.name) +
                  (s.otherView ? std::wstring(L"  (") + bits + L")" : L""));
        }
    }
    if (options.json) Print(array.Text());
    return 0;
}

int Run(const Options& options) {
    if (options.command == L"servers") return Servers(options);
    ComPtr<IOPCServer> server;
    HRESULT hr = CoCreateInstance(options.clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server));
    if (FAILED(hr)) {
        PrintError(Failure(nullptr, L"CoCreateInstance", hr));
        return kExitFailed;
    }
    ComPtr<IOPCCommon> common;
    if (SUCCEEDED(server.As(&common))) common->SetClientName(L"opcclient");
    const std::wstring& c = options.command;
    if (c == L"status") return Status(server.Get(), options);
    if (c == L"errors") return Errors(server.Get(), options);
    if (c == L"browse") return Browse(server.Get(), options);
    if (c == L"properties") return Properties(server.Get(), options);
    if (c == L"read") return Read(server.Get(), options);
    if (c == L"write") return Write(server.Get(), options);
    if (c == L"subscribe") return Subscribe(server.Get(), options);
    return kExitUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    InitOutput();
    Options options;
    struct Command {
        const wchar_t* name;
        bool needsArgs;
    };
    const Command commands[] = {{L"status", false},    {L"servers", false}, {L"errors", true},
                                {L"browse", false},    {L"properties", true}, {L"read", true},
                                {L"write", true},      {L"subscribe", true}};
    bool valid = false;
    if (ParseOptions(argc, argv, options))
        for (const Command& c : commands)
            if (options.command == c.name) valid = !c.needsArgs || !options.args.empty();
    if (!valid) {
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
