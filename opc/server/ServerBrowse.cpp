// The server object's browsing (IOPCBrowseServerAddressSpace) and item properties
// (IOPCItemProperties): thin COM frames around AddressSpaceBrowser and ItemProperties.
#include <chrono>
#include <mutex>
#include <stdexcept>

#include "context/ProcessContext.h"
#include "opc/common/ComMemory.h"
#include "opc/common/OpcErrors.h"
#include "opc/group/UpdateService.h"
#include "opc/server/Enumerators.h"
#include "opc/server/FlatBrowse.h"
#include "opc/server/ItemProperties.h"
#include "opc/server/Server.h"
#include "runtime/AddressSpace.h"

namespace opc::server::da::com {

namespace {

bool Empty(const wchar_t* text) noexcept { return !text || !*text; }

NRK_Server& Runtime() {
    ::lx::ProcessContext* module = ::lx::ProcessContext::Current();
    NRK_Server* runtime = module ? module->Runtime() : nullptr;
    if (!runtime) throw std::runtime_error("no runtime");
    return *runtime;
}

HRESULT StringEnumerator(std::vector<std::wstring> names, LPENUMSTRING* result) {
    return MakeEnumerator<StringEnumTraits>(std::move(names), IID_IEnumString, reinterpret_cast<void**>(result));
}

// A count that no out-array can hold is refused before anything is built.
bool CountFits(DWORD count, std::size_t elementSize) noexcept {
    return count != 0xFFFFFFFFu && static_cast<std::uint64_t>(count) * elementSize <= 0xFFFFFFFFull;
}

} // namespace

// Property 6: the period in which the update service reads every value, in milliseconds.
FLOAT Server::ScanRateMs() const noexcept {
    return service_ ? std::chrono::duration<FLOAT, std::milli>(service_->ScanPeriod()).count() : 100.0f;
}

// ---------------------------------------------------------------------------- browsing

STDMETHODIMP Server::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
    // The shutting-down flag is looked at before the argument here.
    return Frame().Unlocked().Run([&]() -> HRESULT {
        if (!pNameSpaceType) return E_INVALIDARG;
        *pNameSpaceType = OPC_NS_HIERARCHIAL;
        return S_OK;
    });
}

STDMETHODIMP Server::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
    return Frame().Run([&] { return browser_.ChangePosition(static_cast<DWORD>(dwBrowseDirection), szString); });
}

STDMETHODIMP Server::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                      VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                      LPENUMSTRING* ppIEnumString) {
    // The lock is held only to read the browse position: matching names against a long
    // filter, or a flat browse walking a large node, must not hold up the server object's
    // other calls (the tree never changes).
    return Frame().Check(ppIEnumString != nullptr).Clear(ppIEnumString).Unlocked().Run([&]() -> HRESULT {
        AddressSpaceBrowser browser{nullptr};
        {
            std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
            browser = browser_;
        }
        std::vector<std::wstring> names;
        std::shared_ptr<const FlatBrowse> flat;  // a flat browse: its identifiers are made as they are fetched
        const HRESULT found =
            browser.BrowseNames(Runtime(), static_cast<DWORD>(dwBrowseFilterType), szFilterCriteria,
                                vtDataTypeFilter, dwAccessRightsFilter, names, &flat);
        if (FAILED(found)) return found;
        const HRESULT made = flat ? MakeFlatBrowseEnumerator(std::move(flat), ppIEnumString)
                                  : StringEnumerator(std::move(names), ppIEnumString);
        return FAILED(made) ? made : found;
    });
}

STDMETHODIMP Server::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
    return Frame().Check(szItemID != nullptr).Clear(szItemID).Run([&]() -> HRESULT {
        std::wstring id;
        const HRESULT hr = browser_.ItemId(szItemDataID, id);
        if (FAILED(hr)) return hr;
        *szItemID = TaskMemString(id).release();
        return S_OK;
    });
}

STDMETHODIMP Server::BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) {
    return Frame().Check(ppIEnumString != nullptr).Clear(ppIEnumString).Check(szItemID != nullptr)
        .Run([&]() -> HRESULT {
            // Each node has one access path: its own identifier, as the client wrote it.
            if (!browser_.ResolveAbsolute(szItemID)) return E_FAIL;
            return StringEnumerator({std::wstring(szItemID)}, ppIEnumString);
        });
}

// ---------------------------------------------------------------------------- item properties

STDMETHODIMP Server::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                              LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) {
    return Frame()
        .Clear(pdwCount, ppPropertyIDs, ppDescriptions, ppvtDataTypes)
        .Check(!Empty(szItemID) && pdwCount && ppPropertyIDs && ppDescriptions && ppvtDataTypes)
        .Run([&]() -> HRESULT {
            const auto item = browser_.FindItem(szItemID);
            if (!item) return OPC_E_UNKNOWNITEMID;
            AvailableProperties props;
            try {
                props = opc::server::QueryAvailableProperties(Runtime(), static_cast<const AttributeNode&>(*item));
            } catch (const std::out_of_range&) {
                return E_FAIL;  // the channel's type cannot be read now
            }
            *pdwCount = kItemPropertyCount;
            *ppPropertyIDs = props.ids.Detach();
            *ppDescriptions = props.descriptions.Detach();
            *ppvtDataTypes = props.dataTypes.Detach();
            return S_OK;
        });
}

STDMETHODIMP Server::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                       HRESULT** ppErrors) {
    return Frame()
        .Clear(ppvData, ppErrors)
        .Check(!Empty(szItemID) && dwCount != 0 && pdwPropertyIDs && ppvData && ppErrors)
        .Check(CountFits(dwCount, sizeof(VARIANT)))
        .Run([&]() -> HRESULT {
            const auto item = browser_.FindItem(szItemID);
            if (!item) return OPC_E_UNKNOWNITEMID;
            PropertyValues values;
            try {
                values = opc::server::GetItemProperties(Runtime(), static_cast<const AttributeNode&>(*item), dwCount,
                                                        pdwPropertyIDs, ScanRateMs());
            } catch (const std::out_of_range&) {
                return E_FAIL;  // the channel's type cannot be read now
            }
            *ppvData = values.values.Detach();
            *ppErrors = values.errors.Detach();
            return values.anyError ? S_FALSE : S_OK;
        });
}

STDMETHODIMP Server::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                                   HRESULT** ppErrors) {
    // No property has an item identifier of its own; not a busy call, no lock.
    if (ppszNewItemIDs) *ppszNewItemIDs = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    if (Empty(szItemID) || dwCount == 0 || !pdwPropertyIDs || !ppszNewItemIDs || !ppErrors) return E_INVALIDARG;
    if (::opc::com::ProcessShuttingDown()) return E_FAIL;
    return OPC_E_NOTSUPPORTED;
}

} // namespace opc::server::da::com
