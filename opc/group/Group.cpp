#include "opc/group/Group.h"

#include <vector>

#include "opc/common/ComMemory.h"
#include "opc/common/OpcErrors.h"
#include "context/ProcessContext.h"
#include "opc/server/Enumerators.h"
#include "opc/server/Server.h"
#include "opc/server/ServerResults.h"

namespace opc::server::da::com {

namespace lx = ::opc::com;

namespace {
bool Empty(LPCWSTR text) noexcept { return !text || !*text; }
} // namespace

Group::Group() : locale_(GetUserDefaultLCID()), lastCallbackTime_(ServiceClock::now()), dataPoint_(*this, core_.lock) {}

Group::~Group() {
    if (token_) token_->Clear();
    dataPoint_.Clear();
    timer_.reset(); // before the service it belongs to
    items_.clear();
}

void* Group::FindInterface(REFIID riid) noexcept {
    return lx::InterfaceList<IOPCGroupStateMgt, IConnectionPointContainer, IOPCItemMgt, IOPCSyncIO,
                             IOPCAsyncIO2>::Find(this, riid);
}

HRESULT Group::QueryInterfaceCheck() noexcept {
    return lx::ProcessShuttingDown() || removed_.load() ? E_FAIL : S_OK;
}

std::int64_t Group::ReviseRate(DWORD requestedMs) const noexcept {
    const std::int64_t requested = static_cast<std::int64_t>(requestedMs) * 1000;
    const std::int64_t scan = service_ ? service_->ScanPeriod().count() : 100000;
    return std::max(requested, scan);
}

void Group::Initialise(std::shared_ptr<UpdateService> service, Server* server, OPCHANDLE serverHandle,
                       OPCHANDLE clientHandle, std::wstring name, bool active, DWORD requestedRateMs,
                       const LONG* timeBias, LCID locale, FLOAT percentDeadband) {
    std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
    service_ = std::move(service);
    server_ = server;
    serverHandle_ = serverHandle;
    clientHandle_ = clientHandle;
    name_ = std::move(name);
    active_ = active;
    updateRate_ = ReviseRate(requestedRateMs);
    timeBias_ = timeBias ? *timeBias : 0;
    locale_ = locale;
    percentDeadband_ = percentDeadband;
    lastCallbackTime_ = ServiceClock::now();
    lastCallbackSequence_ = service_->ScanSequence();
    delivery_ = server ? server->Delivery() : nullptr;
    if (!delivery_) delivery_ = service_->CreateDeliveryQueue(); // a group of its own (tests)
    token_ = std::make_shared<Token>(this);
    std::weak_ptr<Token> weak = token_;
    tickDue_ = lastCallbackTime_; // the first tick, at once, starts the grid
    service_->Post([weak] { TickJob(weak); });
}

// ---------------------------------------------------------------------------- state access

OPCHANDLE Group::ClientHandle() const {
    std::lock_guard<::opc::com::RecursiveLock> hold(const_cast<::opc::com::RecursiveLock&>(core_.lock));
    return clientHandle_;
}
std::int64_t Group::UpdateRateMicroseconds() const {
    std::lock_guard<::opc::com::RecursiveLock> hold(const_cast<::opc::com::RecursiveLock&>(core_.lock));
    return updateRate_;
}
LONG Group::TimeBias() const {
    std::lock_guard<::opc::com::RecursiveLock> hold(const_cast<::opc::com::RecursiveLock&>(core_.lock));
    return timeBias_;
}
LCID Group::Locale() const {
    std::lock_guard<::opc::com::RecursiveLock> hold(const_cast<::opc::com::RecursiveLock&>(core_.lock));
    return locale_;
}
FLOAT Group::PercentDeadband() const {
    std::lock_guard<::opc::com::RecursiveLock> hold(const_cast<::opc::com::RecursiveLock&>(core_.lock));
    return percentDeadband_;
}
bool Group::CallbacksEnabled() const {
    std::lock_guard<::opc::com::RecursiveLock> hold(const_cast<::opc::com::RecursiveLock&>(core_.lock));
    return callbacksEnabled_;
}
void Group::SetCallbacksEnabled(bool on) {
    std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
    callbacksEnabled_ = on;
}
UtcTime Group::LastCallbackTime() const {
    std::lock_guard<::opc::com::RecursiveLock> hold(const_cast<::opc::com::RecursiveLock&>(core_.lock));
    return lastCallbackTime_;
}
std::weak_ptr<Group::Token> Group::LifetimeHandle() const {
    std::lock_guard<::opc::com::RecursiveLock> hold(const_cast<::opc::com::RecursiveLock&>(core_.lock));
    return token_;
}

void Group::InsertItem(GroupItem item) {
    std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
    items_.Put(std::move(item));
}

void Group::CopyItemsFrom(Group& source) {
    ItemMap copy;
    {
        std::lock_guard<::opc::com::RecursiveLock> hold(source.core_.lock);
        copy.ReserveHandles(source.items_.size());
        source.items_.ForEach([&](const GroupItem& item) { copy.Put(item); });
    }
    std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
    items_.swap(copy);
}

bool Group::HeldBeyond(LONG own) noexcept {
    // token_ changes only before the group is registered and in its teardown.
    return (token_ ? token_->ReferencesBesidesPins(*this) : RefCount()) > own;
}

void Group::ForcedTeardown() noexcept {
    {
        std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
        removed_ = true;
    }
    core_.WaitUntilIdle();
    // The callbacks that its ticks and jobs queued go out first (a slow client keeps
    // the teardown of its own groups waiting, as it keeps their callbacks).
    while (deliveries_.load() != 0) Sleep(1);
    std::shared_ptr<Token> token;
    {
        std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
        token.swap(token_);
    }
    if (token) token->Clear(); // queued ticks and jobs now do nothing
    dataPoint_.Clear();
    dataPoint_.DisconnectFromClients();
    // Clients lose the group: COM drops its stubs' references; calls that still come
    // fail in COM. In-process references keep a dead group that refuses every call.
    DisconnectFromClients(Identity());
}

// ---------------------------------------------------------------------------- IOPCGroupStateMgt

STDMETHODIMP Group::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                             FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                             OPCHANDLE* phServerGroup) {
    return Frame()
        .Check(pUpdateRate && pActive && ppName && pTimeBias && pPercentDeadband && pLCID && phClientGroup &&
               phServerGroup)
        .Clear(ppName)
        .Run([&]() -> HRESULT {
            *ppName = ::opc::TaskMemString(name_).release();
            *pUpdateRate = static_cast<DWORD>(updateRate_ / 1000);
            *pActive = active_ ? TRUE : FALSE;
            *pTimeBias = timeBias_;
            *pPercentDeadband = percentDeadband_;
            *pLCID = locale_;
            *phClientGroup = clientHandle_;
            *phServerGroup = serverHandle_;
            return S_OK;
        });
}

STDMETHODIMP Group::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                             LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) {
    return Frame()
        .Clear(pRevisedUpdateRate)
        .Check(pRevisedUpdateRate && AcceptsPercentDeadband(pPercentDeadband))
        .Run([&]() -> HRESULT {
            // The new rate applies from the next re-arming of the timer.
            if (pRequestedUpdateRate) updateRate_ = ReviseRate(*pRequestedUpdateRate);
            if (pActive) active_ = *pActive != FALSE;
            if (pTimeBias) timeBias_ = *pTimeBias;
            if (pPercentDeadband) percentDeadband_ = *pPercentDeadband;
            if (pLCID) locale_ = *pLCID;
            if (phClientGroup) clientHandle_ = *phClientGroup;
            *pRevisedUpdateRate = static_cast<DWORD>(updateRate_ / 1000);
            return S_OK;
        });
}

STDMETHODIMP Group::SetName(LPCWSTR szName) {
    return Frame().Run([&]() -> HRESULT {
        if (Empty(szName)) return E_INVALIDARG;
        if (!server_) return E_FAIL;
        return server_->RenameGroup(serverHandle_, szName); // group lock, then server lock
    });
}

STDMETHODIMP Group::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    return Frame().Check(ppUnk != nullptr).Clear(ppUnk).Check(!Empty(szName)).Run([&]() -> HRESULT {
        if (!server_) return E_FAIL;
        return server_->CloneGroup(serverHandle_, szName, riid, ppUnk);
    });
}

// ---------------------------------------------------------------------------- connection points

STDMETHODIMP Group::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return lx::Guarded([&] {
        std::vector<lx::ComPtr<IConnectionPoint>> points{lx::ComPtr<IConnectionPoint>(&dataPoint_)};
        return MakeEnumerator<ConnectionPointEnumTraits>(std::move(points), IID_IEnumConnectionPoints,
                                                         reinterpret_cast<void**>(ppEnum));
    });
}

STDMETHODIMP Group::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (!InlineIsEqualGUID(riid, IID_IOPCDataCallback)) return CONNECT_E_NOCONNECTION;
    dataPoint_.AddRef();
    *ppCP = &dataPoint_;
    return S_OK;
}

// ---------------------------------------------------------------------------- update ticks

void Group::TickJob(const std::weak_ptr<Token>& weak) noexcept {
    auto token = weak.lock();
    if (!token) return;
    Token::Pin group = token->PinOwner();
    if (group) group->Tick();
}

void Group::Tick() noexcept {
    if (lx::ProcessShuttingDown()) return; // the ticks stop
    lx::BusyScope busy(core_);
    std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
    if (removed_) return;
    // While the previous tick's callback is still on its way to a slow client, nothing
    // is built: the last-callback time stays, so the next tick after it arrived carries
    // every change meanwhile in one callback.
    if (active_ && callbacksEnabled_ && tickDeliveries_.load() == 0) {
        try {
            const std::uint64_t sequence = service_->ScanSequence();
            QueueDataChange(0, true);
            lastCallbackSequence_ = sequence;
            lastCallbackTime_ = ServiceClock::now();
        } catch (...) {
            // not advanced: the same changes are offered again at the next tick
        }
    }
    ArmTick();
}

void Group::ArmTick() noexcept {
    std::weak_ptr<Token> weak = token_;
    try {
        if (!timer_) timer_ = service_->CreateTimer();
        // One tick an update period on the grid of the first: a tick that ran late, or took
        // long, does not push the later ones back (a new rate counts from the last tick).
        tickDue_ = UpdateService::NextOnGrid(tickDue_, Duration(updateRate_), ServiceClock::now());
        service_->ArmAt(*timer_, tickDue_, [weak] { TickJob(weak); });
    } catch (...) {
        try {
            service_->Post([weak] { TickJob(weak); });
        } catch (...) {
        }
    }
}

namespace {
// The arrays of one OnDataChange, kept until every sink has been called.
struct DataChangeArrays {
    explicit DataChangeArrays(std::size_t count)
        : handles(count), values(count), qualities(count), times(count), errors(count) {}
    std::vector<OPCHANDLE> handles;
    std::vector<::opc::Variant> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    std::vector<HRESULT> errors;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
};
} // namespace

bool Group::QueueDataChange(DWORD transaction, bool tick) {
    std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
    // Without a sink (none advised, or every client gone) a callback would reach nobody:
    // nothing is built, and a tick still counts as a callback.
    if (!dataPoint_.HasSinks()) return false;
    std::vector<const GroupItem*> selected;
    items_.ForEach([&](const GroupItem& item) {
        if (!item.active) return;
        if (transaction == 0 && (!item.cache || item.cache->ChangeSequence() <= lastCallbackSequence_)) return;
        selected.push_back(&item);
    });
    if (selected.empty()) return false;
    const std::size_t count = selected.size();
    auto arrays = std::make_shared<DataChangeArrays>(count);
    ::lx::ProcessContext* module = ::lx::ProcessContext::Current();
    NRK_Server* runtime = module ? module->Runtime() : nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        DeliveredValue delivered = DeliverGroupItem(*selected[i], kSourceCache, runtime);
        if (delivered.result == E_OUTOFMEMORY) throw std::bad_alloc();
        arrays->handles[i] = selected[i]->clientHandle;
        arrays->values[i] = std::move(delivered.value);
        arrays->qualities[i] = delivered.quality;
        arrays->times[i] = delivered.timestamp;
        arrays->errors[i] = delivered.result;
        if (delivered.quality != kQualityGood) arrays->masterQuality = S_FALSE;
        if (delivered.result != S_OK) arrays->masterError = S_FALSE;
    }
    // The VARIANTs go out as one array of plain VARIANTs; `values` keeps ownership.
    static_assert(sizeof(::opc::Variant) == sizeof(VARIANT), "Variant must be layout-compatible with VARIANT");
    const OPCHANDLE group = clientHandle_;
    Deliver(
        [arrays, transaction, group](IOPCDataCallback* sink) {
            DataChangeArrays& a = *arrays;
            return sink->OnDataChange(transaction, group, a.masterQuality, a.masterError,
                                      static_cast<DWORD>(a.handles.size()), a.handles.data(), a.values.front().Get(),
                                      a.qualities.data(), a.times.data(), a.errors.data());
        },
        tick);
    return true;
}

// ---------------------------------------------------------------------------- delivery

void Group::Deliver(std::function<HRESULT(IOPCDataCallback*)> call, bool tick) {
    if (!dataPoint_.HasSinks()) return; // nobody to tell
    // The group lives until the callback has gone out. It is held by a pin where it can be: a
    // reference of the server's own, which RemoveGroup does not take for a client's.
    struct Hold {
        std::shared_ptr<Token> token;
        Token::Pin pin;           // dropped before the token it points into
        lx::ComPtr<Group> strong; // only where no pin could be had
    };
    auto hold = std::make_shared<Hold>(Hold{token_, token_ ? token_->PinOwner() : Token::Pin(), nullptr});
    if (!hold->pin) hold->strong = this;
    Group* self = this;
    ++deliveries_;
    if (tick) ++tickDeliveries_;
    try {
        service_->Deliver(delivery_, [hold, self, call = std::move(call), tick] {
            self->RunDelivery(call);
            if (tick) --self->tickDeliveries_;
            --self->deliveries_;
        });
    } catch (...) {
        if (tick) --tickDeliveries_;
        --deliveries_;
        throw;
    }
}

void Group::RunDelivery(const std::function<HRESULT(IOPCDataCallback*)>& call) noexcept {
    try {
        dataPoint_.ForEachSink(call); // each sink called without the group lock
    } catch (...) {
    }
}

} // namespace opc::server::da::com
