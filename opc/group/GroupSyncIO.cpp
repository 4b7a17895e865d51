// IOPCSyncIO of the group: reads from the cache or the device and writes, on the
// caller's thread under the group lock.
#include <new>

#include "context/ProcessContext.h"
#include "opc/common/OpcErrors.h"
#include "opc/group/Group.h"
#include "opc/group/ItemStateArray.h"
#include "opc/group/ItemWrite.h"
#include "runtime/AddressSpace.h"

namespace opc::server::da::com {

namespace {

NRK_Server* CurrentRuntime() noexcept {
    ::lx::ProcessContext* module = ::lx::ProcessContext::Current();
    return module ? module->Runtime() : nullptr;
}

} // namespace

STDMETHODIMP Group::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                         HRESULT** ppErrors) {
    return Frame()
        .Clear(ppItemValues, ppErrors)
        .Check(dwCount != 0 && phServer && ppItemValues && ppErrors)
        .Run([&]() -> HRESULT {
            OpcArray<OPCITEMSTATE> states(dwCount);
            OpcArray<HRESULT> errors(dwCount);
            NRK_Server* runtime = CurrentRuntime();
            const DWORD source = static_cast<DWORD>(dwSource); // any value but the cache is the device
            bool allGood = true;
            for (DWORD i = 0; i < dwCount; ++i) {
                const GroupItem* found = items_.Find(phServer[i]);
                if (!found) {
                    errors.at(i) = OPC_E_INVALIDHANDLE;
                    allGood = false;
                    continue;
                }
                const GroupItem& item = *found;
                OPCITEMSTATE& state = states.at(i);
                state.hClient = item.clientHandle;
                // Cache entries are read under their own lock, never while a scan replaces them.
                DeliveredValue delivered = DeliverGroupItem(item, source, runtime);
                delivered.value.Detach(&state.vDataValue);
                state.wQuality = delivered.quality;
                state.ftTimeStamp = delivered.timestamp;
                errors.at(i) = delivered.result;
                if (delivered.result != S_OK) allGood = false;
            }
            *ppItemValues = states.Detach();
            *ppErrors = errors.Detach();
            return allGood ? S_OK : S_FALSE;
        });
}

STDMETHODIMP Group::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) {
    return Frame()
        .Clear(ppErrors)
        .Check(dwCount != 0 && phServer && pItemValues && ppErrors)
        .Run([&]() -> HRESULT {
            OpcArray<HRESULT> errors(dwCount);
            NRK_Server* runtime = CurrentRuntime();
            bool allGood = true;
            for (DWORD i = 0; i < dwCount; ++i) {
                HRESULT hr = OPC_E_INVALIDHANDLE;
                if (const GroupItem* found = items_.Find(phServer[i])) hr = WriteGroupItem(*found, pItemValues[i], runtime);
                errors.at(i) = hr;
                if (hr != S_OK) allGood = false;
            }
            *ppErrors = errors.Detach();
            return allGood ? S_OK : S_FALSE;
        });
}

} // namespace opc::server::da::com
