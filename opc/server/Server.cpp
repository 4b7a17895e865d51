#include "opc/server/Server.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "context/ProcessContext.h"
#include "opc/common/ComMemory.h"
#include "opc/common/OpcErrors.h"
#include "opc/group/ValueConversion.h"
#include "opc/group/Group.h"
#include "opc/group/GroupItem.h"
#include "opc/group/UpdateService.h"
#include "opc/server/Enumerators.h"
#include "opc/server/ErrorText.h"
#include "opc/server/GroupName.h"
#include "opc/server/ServerResults.h"
#include "opc/server/ShutdownRequests.h"

namespace opc::server::da::com {

namespace lx = ::opc::com;

namespace {
constexpr LCID kLocales[] = {0, 0x400, 0x800, 0x409, 0x419};
constexpr wchar_t kVendorInfo[] = L"Velmara 6 OPC Server";

bool Empty(LPCWSTR text) noexcept { return !text || !*text; }
} // namespace

Server::Server() : shutdownPoint_(*this, core_.lock) {}

Server::~Server() {
    // No notice reaches this object any more, and no job gets a reference to it.
    firstNotice_.disconnect();
    secondNotice_.disconnect();
    if (token_) token_->Clear();
    watch_.reset(); // a watch that has fired finds no object any more
    core_.WaitUntilIdle();
    Registry groups;
    groups.swap(groups_);
    TearDownGroups(std::move(groups)); // clients lose their groups with the server
    shutdownPoint_.Clear();
    service_.reset();
}

HRESULT Server::Initialise() noexcept {
    try {
        token_ = std::make_shared<Token>(this);
        ::lx::ProcessContext* module = ::lx::ProcessContext::Current();
        if (!module) return E_FAIL;
        std::weak_ptr<Token> weak = token_;
        firstNotice_ = module->FirstShutdownNotice().connect([weak] {
            if (auto token = weak.lock())
                if (auto self = token->Lock()) self->SendShutdownRequest();
        });
        secondNotice_ = module->SecondShutdownNotice().connect([weak] {
            if (auto token = weak.lock())
                if (auto self = token->Lock()) self->TearDown();
        });
        browser_ = AddressSpaceBrowser(module->Root());
        service_ = module->AcquireUpdateService();
        if (service_) {
            delivery_ = service_->CreateDeliveryQueue();
            return S_OK;
        }
    } catch (...) {
    }
    firstNotice_.disconnect();
    secondNotice_.disconnect();
    service_.reset();
    return E_FAIL;
}

void* Server::FindInterface(REFIID riid) noexcept {
    return lx::InterfaceList<IOPCCommon, IOPCServer, IConnectionPointContainer, IOPCBrowseServerAddressSpace,
                             IOPCItemProperties>::Find(this, riid);
}

HRESULT Server::QueryInterfaceCheck() noexcept { return lx::ProcessShuttingDown() ? E_FAIL : S_OK; }

// ---------------------------------------------------------------------------- IOPCCommon

STDMETHODIMP Server::SetLocaleID(LCID dwLcid) {
    return Frame().Run([&]() -> HRESULT {
        for (LCID known : kLocales) {
            if (known == dwLcid) {
                localeId_ = dwLcid;
                return S_OK;
            }
        }
        return E_FAIL;
    });
}

STDMETHODIMP Server::GetLocaleID(LCID* pdwLcid) {
    return Frame().Check(pdwLcid != nullptr).Run([&] {
        *pdwLcid = localeId_;
        return S_OK;
    });
}

STDMETHODIMP Server::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
    return Frame().Clear(pdwCount, pdwLcid).Check(pdwCount && pdwLcid).Unlocked().Run([&]() -> HRESULT {
        ::opc::TaskMemPtr<LCID> ids(static_cast<LCID*>(CoTaskMemAlloc(sizeof(kLocales))));
        if (!ids) return E_OUTOFMEMORY;
        std::memcpy(ids.get(), kLocales, sizeof(kLocales));
        *pdwLcid = ids.release();
        *pdwCount = static_cast<DWORD>(std::size(kLocales));
        return S_OK;
    });
}

STDMETHODIMP Server::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
    return Frame().Check(ppString != nullptr).Clear(ppString).Run([&]() -> HRESULT {
        HRESULT hr = LookupErrorText(dwError, localeId_, ppString);
        if (FAILED(hr) && localeId_ != 0) hr = LookupErrorText(dwError, 0, ppString);
        return hr;
    });
}

STDMETHODIMP Server::SetClientName(LPCWSTR) {
    return Frame().Unlocked().Run([] { return S_OK; });
}

// ---------------------------------------------------------------------------- registry helpers

bool Server::NameTaken(const std::wstring& name, OPCHANDLE except) const {
    for (const auto& [handle, group] : groups_)
        if (handle != except && group->NameUnderServerLock() == name) return true;
    return false;
}

OPCHANDLE Server::FreeHandle() const {
    OPCHANDLE handle = static_cast<OPCHANDLE>(groups_.size() + 1);
    while (handle == 0 || groups_.count(handle)) ++handle;
    return handle;
}

std::wstring Server::GenerateName() const {
    ::lx::ProcessContext* module = ::lx::ProcessContext::Current();
    for (;;) {
        std::wstring name;
        if (module) {
            std::lock_guard<std::mutex> hold(module->RandomLock());
            name = MakeGroupName(module->Random());
        } else {
            static std::mt19937 fallback(static_cast<unsigned>(time(nullptr)));
            name = MakeGroupName(fallback);
        }
        if (!NameTaken(name)) return name;
    }
}

std::size_t Server::GroupCount() {
    std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
    return groups_.size();
}

void Server::TearDownGroups(Registry groups) noexcept {
    for (auto& [handle, group] : groups) {
        (void)handle;
        group->ForcedTeardown();
        group.Reset();
    }
}

// ---------------------------------------------------------------------------- IOPCServer

STDMETHODIMP Server::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                              LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                              DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) {
    return Frame()
        .Clear(ppUnk, phServerGroup, pRevisedUpdateRate)
        .Check(ppUnk && phServerGroup && pRevisedUpdateRate && Group::AcceptsPercentDeadband(pPercentDeadband))
        .Run([&]() -> HRESULT {
            std::wstring name = Empty(szName) ? GenerateName() : std::wstring(szName);
            if (NameTaken(name)) return OPC_E_DUPLICATENAME;
            auto group = lx::MakeComObject<Group>();
            const OPCHANDLE handle = FreeHandle();
            group->Initialise(service_, this, handle, hClientGroup, std::move(name), bActive != FALSE,
                              dwRequestedUpdateRate, pTimeBias, dwLCID, pPercentDeadband ? *pPercentDeadband : 0.0f);
            groups_.emplace(handle, group);
            HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
            if (FAILED(hr)) {
                groups_.erase(handle);
                group->ForcedTeardown();
                return hr;
            }
            NoteCreated(*group.Get());
            *phServerGroup = handle;
            const DWORD revised = static_cast<DWORD>(group->UpdateRateMicroseconds() / 1000);
            *pRevisedUpdateRate = revised;
            return revised == dwRequestedUpdateRate ? S_OK : OPC_S_UNSUPPORTEDRATE;
        });
}

STDMETHODIMP Server::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
    return Frame().Check(ppString != nullptr).Clear(ppString).Unlocked().Run([&] {
        return LookupErrorText(dwError, dwLocale, ppString);
    });
}

STDMETHODIMP Server::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    return Frame().Clear(ppUnk).Check(!Empty(szName) && ppUnk).Run([&]() -> HRESULT {
        for (const auto& [handle, group] : groups_) {
            (void)handle;
            if (group->NameUnderServerLock() == szName)
                return group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        }
        return OPC_E_NOTFOUND;
    });
}

STDMETHODIMP Server::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
    return Frame().Check(ppServerStatus != nullptr).Clear(ppServerStatus).Run([&]() -> HRESULT {
        ::opc::TaskMemPtr<OPCSERVERSTATUS> status(static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS))));
        if (!status) return E_OUTOFMEMORY;
        std::memset(status.get(), 0, sizeof(OPCSERVERSTATUS));
        ::lx::ProcessContext* module = ::lx::ProcessContext::Current();
        const UtcTime start = module ? module->StartTime() : UtcTime{};
        status->ftStartTime = ToFileTime(start);
        status->ftCurrentTime = ToFileTime(UtcNow());
        status->ftLastUpdateTime = ToFileTime(service_ ? service_->ScanTime() : start);
        NRK_Server* runtime = module ? module->Runtime() : nullptr;
        status->dwServerState = runtime && runtime->IsNodeRunning() ? OPC_STATUS_RUNNING : OPC_STATUS_SUSPENDED;
        status->dwGroupCount = static_cast<DWORD>(groups_.size());
        status->dwBandWidth = 0xFFFFFFFF;
        status->wMajorVersion = 6;
        status->wMinorVersion = 0;
        status->wBuildNumber = 0;
        status->szVendorInfo = ::opc::TaskMemString(kVendorInfo).release(); // throws: the block is freed
        *ppServerStatus = status.release();
        return S_OK;
    });
}

STDMETHODIMP Server::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    // The group is taken out under the lock; a forced teardown waits for the group's
    // calls in progress, which may be waiting for this lock (SetName), so it runs after
    // the lock is released.
    lx::ComPtr<Group> forced;
    HRESULT hr = Frame().Run([&]() -> HRESULT {
        auto found = groups_.find(hServerGroup);
        if (found == groups_.end()) return OPC_E_NOTFOUND;
        lx::ComPtr<Group> group = std::move(found->second);
        groups_.erase(found);
        // A tick or job running for the group holds a reference for a moment: not a client's.
        if (!group->HeldBeyond(1)) {
            group->MarkRemoved(); // a tick still running is the last one
            return S_OK;          // ours was the clients' last: released here or when the job ends
        }
        if (bForce) {
            forced.Swap(group);
            return S_OK;
        }
        group->MarkRemoved(); // refuses further work, dies with its last client reference
        return OPC_S_INUSE;
    });
    if (forced) {
        lx::BusyScope busy(core_);
        forced->ForcedTeardown();
    }
    return hr;
}

STDMETHODIMP Server::CreateGroupEnumerator(OPCENUMSCOPE, REFIID riid, LPUNKNOWN* ppUnk) {
    return Frame().Run([&]() -> HRESULT {
        if (!ppUnk) return E_INVALIDARG;
        *ppUnk = nullptr;
        HRESULT hr;
        if (InlineIsEqualGUID(riid, IID_IEnumString)) {
            std::vector<std::wstring> names;
            names.reserve(groups_.size());
            for (const auto& entry : groups_) names.push_back(entry.second->NameUnderServerLock());
            hr = MakeEnumerator<StringEnumTraits>(std::move(names), riid, reinterpret_cast<void**>(ppUnk));
        } else if (InlineIsEqualGUID(riid, IID_IEnumUnknown)) {
            std::vector<lx::ComPtr<IUnknown>> unknowns;
            unknowns.reserve(groups_.size());
            for (const auto& entry : groups_) unknowns.emplace_back(entry.second->Identity());
            hr = MakeEnumerator<UnknownEnumTraits>(std::move(unknowns), riid, reinterpret_cast<void**>(ppUnk));
        } else {
            return E_NOINTERFACE;
        }
        if (FAILED(hr)) return hr;
        return groups_.empty() ? S_FALSE : S_OK;
    });
}

// ---------------------------------------------------------------------------- connection points

STDMETHODIMP Server::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return lx::Guarded([&] {
        std::vector<lx::ComPtr<IConnectionPoint>> points{lx::ComPtr<IConnectionPoint>(&shutdownPoint_)};
        return MakeEnumerator<ConnectionPointEnumTraits>(std::move(points), IID_IEnumConnectionPoints,
                                                         reinterpret_cast<void**>(ppEnum));
    });
}

STDMETHODIMP Server::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (!InlineIsEqualGUID(riid, IID_IOPCShutdown)) return CONNECT_E_NOCONNECTION;
    shutdownPoint_.AddRef();
    *ppCP = &shutdownPoint_;
    return S_OK;
}

// ---------------------------------------------------------------------------- operations for groups

HRESULT Server::RenameGroup(OPCHANDLE serverHandle, LPCWSTR name) noexcept {
    return Frame().Run([&]() -> HRESULT {
        auto found = groups_.find(serverHandle);
        if (found == groups_.end() || !name) return E_FAIL;
        if (NameTaken(name, serverHandle)) return OPC_E_DUPLICATENAME;
        found->second->SetNameUnderServerLock(name);
        return S_OK;
    });
}

HRESULT Server::CloneGroup(OPCHANDLE sourceHandle, LPCWSTR name, REFIID riid, LPUNKNOWN* ppUnk) noexcept {
    return Frame().Run([&]() -> HRESULT {
        auto found = groups_.find(sourceHandle);
        if (found == groups_.end() || Empty(name) || !ppUnk) return E_FAIL;
        Group& source = *found->second.Get();
        if (NameTaken(name)) return OPC_E_DUPLICATENAME;
        auto clone = lx::MakeComObject<Group>();
        const OPCHANDLE handle = FreeHandle();
        const LONG bias = source.TimeBias();
        clone->Initialise(service_, this, handle, source.ClientHandle(), name, false,
                          static_cast<DWORD>(source.UpdateRateMicroseconds() / 1000), &bias, source.Locale(),
                          source.PercentDeadband());
        clone->CopyItemsFrom(source);
        groups_.emplace(handle, clone);
        HRESULT hr = clone->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        if (FAILED(hr)) {
            groups_.erase(handle);
            clone->ForcedTeardown();
            return hr;
        }
        NoteCreated(*clone.Get());
        return S_OK;
    });
}

// ---------------------------------------------------------------------------- shutdown

void Server::SendShutdownRequest() noexcept {
    // Each sink is called on a thread of its own (the window thread raises the notice and must not wait for
    // any client); a sink whose call says that its client is gone is dropped, if this object still lives.
    std::weak_ptr<Token> weak = token_;
    const std::size_t count = shutdownPoint_.SlotCount();
    for (std::size_t slot = 0; slot < count; ++slot) {
        try {
            SendShutdownRequestAsync(shutdownPoint_.SinkAt(slot), [weak, slot](IOPCShutdown* sink, HRESULT hr) {
                if (!IsDeadClient(hr)) return;
                if (auto token = weak.lock())
                    if (auto self = token->Lock()) self->shutdownPoint_.Drop(slot, sink);
            });
        } catch (...) {
            // out of memory: this client goes without its notice, the others still get theirs
        }
    }
}

void Server::TearDown() noexcept { TearDownFor(0); }

void Server::TearDownFor(DWORD client) noexcept {
    if (tornDown_.exchange(true)) return;
    if (!TryAddRef()) return;
    lx::ComPtr<Server> self = lx::Adopt(this); // lives to the end of this function at least
    core_.WaitUntilIdle();
    Registry groups;
    std::vector<std::weak_ptr<lx::LifetimeToken<Group>>> created;
    {
        std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
        groups.swap(groups_);
        created.swap(created_);
    }
    TearDownGroups(std::move(groups));
    // The groups that the client removed but still held (a forced teardown of a group already torn
    // down finds no token).
    for (const auto& weak : created)
        if (auto token = weak.lock())
            if (lx::ComPtr<Group> group = token->Lock()) group->ForcedTeardown();
    shutdownPoint_.Clear();
    // Clients lose the object, its connection point and enumerators: COM drops the references of
    // their stubs, and later calls fail in COM. The object is destroyed when the last reference
    // held in this process goes.
    if (client)
        LiveEnumerators::DisconnectClient(client);
    else
        LiveEnumerators::DisconnectAll();
    shutdownPoint_.DisconnectFromClients();
    DisconnectFromClients(Identity());
}

// ---------------------------------------------------------------------------- dead clients

void Server::NoteCreated(Group& group) {
    created_.erase(std::remove_if(created_.begin(), created_.end(), [](const auto& weak) { return weak.expired(); }),
                   created_.end());
    created_.push_back(group.LifetimeHandle());
}

void Server::WatchClient(DWORD pid) {
    if (pid == 0) return;
    clientPid_ = pid; // before the watch, which may fire at once
    std::weak_ptr<Token> weak = token_;
    auto watch = ClientWatch::Start(pid, [weak] {
        if (auto token = weak.lock())
            if (auto self = token->Lock()) self->ClientGone();
    });
    std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
    watch_ = std::move(watch);
}

void Server::ClientGone() noexcept {
    if (const DWORD pid = clientPid_.load()) TearDownFor(pid);
}

} // namespace opc::server::da::com
