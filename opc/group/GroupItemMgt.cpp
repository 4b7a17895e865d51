// IOPCItemMgt of the group: adding, validating and removing items, and changing an
// item's active state, client handle and requested type.
#include <algorithm>
#include <new>
#include <stdexcept>

#include "context/ProcessContext.h"
#include "opc/common/OpcErrors.h"
#include "opc/group/Group.h"
#include "opc/server/OpcArray.h"
#include "runtime/AddressSpace.h"

namespace opc::server::da::com {

namespace {

// The types in which a client may receive values (VT_EMPTY is handled by the callers).
bool AcceptedRequestedType(VARTYPE type) noexcept {
    switch (type) {
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_DATE: case VT_BSTR: case VT_BOOL:
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
    case VT_LPSTR: case VT_LPWSTR:
        return true;
    default:
        return false;
    }
}

// What an item definition names: an attribute with its type and rights, or the item's error.
struct ResolvedItem {
    HRESULT result = S_OK;
    std::shared_ptr<AttributeNode> attribute;
    VARTYPE canonical = VT_EMPTY;
    DWORD rights = 0;
};

// The tree and the runtime that item ids resolve through, taken once per call.
struct Resolver {
    std::shared_ptr<GroupNode> root;
    NRK_Server* runtime = nullptr;

    Resolver() {
        if (::lx::ProcessContext* module = ::lx::ProcessContext::Current()) {
            root = module->Root();
            runtime = module->Runtime();
        }
    }
    ResolvedItem operator()(const OPCITEMDEF& def) const;
};

ResolvedItem Resolver::operator()(const OPCITEMDEF& def) const {
    ResolvedItem resolved;
    if (!def.szItemID || !*def.szItemID) {
        resolved.result = OPC_E_INVALIDITEMID;
        return resolved;
    }
    std::shared_ptr<AddressSpaceNode> node = root ? Resolve(*root, def.szItemID) : nullptr;
    if (!node || node->IsBranch()) {
        resolved.result = OPC_E_UNKNOWNITEMID;
        return resolved;
    }
    resolved.attribute = std::static_pointer_cast<AttributeNode>(std::move(node));
    if (!runtime) {
        resolved.result = E_FAIL;
        return resolved;
    }
    // Both are read from the runtime now (one read of the channel's type) and fail when
    // that type cannot be read: that item fails, the others go on.
    try {
        const AttributeNode::Traits traits = resolved.attribute->CanonicalTypeAndRights(*runtime);
        resolved.canonical = traits.canonical;
        resolved.rights = traits.rights;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        resolved.result = E_FAIL;
    }
    return resolved;
}

bool AllSucceeded(const OpcArray<HRESULT>& errors) {
    for (HRESULT hr : errors)
        if (hr != S_OK) return false;
    return true;
}

} // namespace

STDMETHODIMP Group::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                             HRESULT** ppErrors) {
    return Frame()
        .Clear(ppAddResults, ppErrors)
        .Check(dwCount != 0 && pItemArray && ppAddResults && ppErrors)
        .Run([&]() -> HRESULT {
            OpcArray<OPCITEMRESULT> results(dwCount);
            OpcArray<HRESULT> errors(dwCount);
            // Room for the slots of this call's items at once (handles stay within twice the count).
            items_.ReserveHandles(items_.size() + dwCount);
            // Handle allocation: the number of items plus one, counted up past taken
            // handles. Within one call the next free handle is never below the previous
            // one plus one, so the walk over the slots is linear over the whole call.
            ItemHandle probe = 0;
            const Resolver resolve;
            try {
                for (DWORD i = 0; i < dwCount; ++i) {
                    const OPCITEMDEF& def = pItemArray[i];
                    ResolvedItem resolved = resolve(def);
                    if (FAILED(resolved.result)) {
                        errors.at(i) = resolved.result;
                        continue;
                    }
                    const VARTYPE requested = def.vtRequestedDataType;
                    if (requested != VT_EMPTY && !AcceptedRequestedType(requested)) {
                        errors.at(i) = OPC_E_BADTYPE;
                        continue;
                    }
                    GroupItem item;
                    item.cache = service_->GetCachedValue(std::move(resolved.attribute), resolved.canonical);
                    item.active = def.bActive != FALSE;
                    item.clientHandle = def.hClient;
                    item.requestedType = requested == VT_EMPTY ? item.CanonicalType() : requested;
                    probe = items_.FreeFrom(std::max<ItemHandle>(probe, static_cast<ItemHandle>(items_.size()) + 1));
                    item.serverHandle = probe;
                    OPCITEMRESULT& result = results.at(i);
                    result.vtCanonicalDataType = item.CanonicalType();
                    result.dwAccessRights = resolved.rights;
                    items_.Put(std::move(item));
                    result.hServer = probe;
                    ++probe;
                }
            } catch (...) {
                // The call fails as a whole: the items it added go again, since the caller
                // never learns their handles.
                for (DWORD i = 0; i < dwCount; ++i)
                    if (results.at(i).hServer != 0) items_.Erase(results.at(i).hServer);
                items_.Compact();
                throw;
            }
            items_.Compact(); // the room reserved for entries that failed
            const HRESULT hr = AllSucceeded(errors) ? S_OK : S_FALSE;
            *ppAddResults = results.Detach();
            *ppErrors = errors.Detach();
            return hr;
        });
}

STDMETHODIMP Group::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL /*bBlobUpdate*/,
                                  OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
    return Frame()
        .Clear(ppValidationResults, ppErrors)
        .Check(dwCount != 0 && pItemArray && ppValidationResults && ppErrors)
        .Run([&]() -> HRESULT {
            OpcArray<OPCITEMRESULT> results(dwCount);
            OpcArray<HRESULT> errors(dwCount);
            const Resolver resolve;
            for (DWORD i = 0; i < dwCount; ++i) {
                const OPCITEMDEF& def = pItemArray[i];
                const ResolvedItem resolved = resolve(def);
                HRESULT hr = resolved.result;
                if (SUCCEEDED(hr) && def.vtRequestedDataType != VT_EMPTY && !AcceptedRequestedType(def.vtRequestedDataType))
                    hr = OPC_E_BADTYPE;
                errors.at(i) = hr;
                if (FAILED(hr)) continue;
                results.at(i).vtCanonicalDataType = resolved.canonical;
                results.at(i).dwAccessRights = resolved.rights;
            }
            const HRESULT hr = AllSucceeded(errors) ? S_OK : S_FALSE;
            *ppValidationResults = results.Detach();
            *ppErrors = errors.Detach();
            return hr;
        });
}

namespace {

// The loop shared by the per-handle methods: f(item, i) gives the entry's result for a
// handle of an item; unknown handles give OPC_E_INVALIDHANDLE.
template <class F>
HRESULT ForEachHandle(ItemTable& items, DWORD count, const OPCHANDLE* handles, HRESULT** ppErrors, F&& f) {
    OpcArray<HRESULT> errors(count);
    for (DWORD i = 0; i < count; ++i) {
        GroupItem* found = items.Find(handles[i]);
        errors.at(i) = found ? f(*found, i) : OPC_E_INVALIDHANDLE;
    }
    const HRESULT hr = AllSucceeded(errors) ? S_OK : S_FALSE;
    *ppErrors = errors.Detach();
    return hr;
}

} // namespace

STDMETHODIMP Group::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    return Frame().Clear(ppErrors).Check(dwCount != 0 && phServer && ppErrors).Run([&]() -> HRESULT {
        // Queued transactions keep the handle; they report it invalid when they run.
        const HRESULT hr = ForEachHandle(items_, dwCount, phServer, ppErrors, [&](GroupItem& found, DWORD) {
            items_.Erase(found.serverHandle);
            return S_OK;
        });
        items_.Compact();
        return hr;
    });
}

STDMETHODIMP Group::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) {
    return Frame().Clear(ppErrors).Check(dwCount != 0 && phServer && ppErrors).Run([&]() -> HRESULT {
        return ForEachHandle(items_, dwCount, phServer, ppErrors, [&](GroupItem& found, DWORD) {
            found.active = bActive != FALSE;
            return S_OK;
        });
    });
}

STDMETHODIMP Group::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) {
    return Frame()
        .Clear(ppErrors)
        .Check(dwCount != 0 && phServer && phClient && ppErrors)
        .Run([&]() -> HRESULT {
            return ForEachHandle(items_, dwCount, phServer, ppErrors, [&](GroupItem& found, DWORD i) {
                found.clientHandle = phClient[i];
                return S_OK;
            });
        });
}

STDMETHODIMP Group::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                 HRESULT** ppErrors) {
    return Frame()
        .Clear(ppErrors)
        .Check(dwCount != 0 && phServer && pRequestedDatatypes && ppErrors)
        .Run([&]() -> HRESULT {
            return ForEachHandle(items_, dwCount, phServer, ppErrors, [&](GroupItem& found, DWORD i) {
                // VT_EMPTY is no type here; a type that cannot be converted to shows
                // up as the item's error when it is read.
                const VARTYPE type = pRequestedDatatypes[i];
                if (!AcceptedRequestedType(type)) return OPC_E_BADTYPE;
                found.requestedType = type;
                return S_OK;
            });
        });
}

STDMETHODIMP Group::CreateEnumerator(REFIID /*riid*/, LPUNKNOWN* /*ppUnk*/) {
    // No IEnumOPCItemAttributes is provided.
    return E_INVALIDARG;
}

} // namespace opc::server::da::com
