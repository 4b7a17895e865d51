// The OPC group object: state (IOPCGroupStateMgt), its items, its IOPCDataCallback
// connection point and its update ticks on the update service.
//
// Item management and synchronous/asynchronous I/O slot in through Items(),
// InsertItem(), SendDataChange() and the frame helpers Frame()/Core().
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "opc/com/CallFrame.h"
#include "opc/com/ComObject.h"
#include "opc/com/ModuleLock.h"
#include "opc/group/AsyncTransaction.h"
#include "opc/group/GroupItem.h"
#include "opc/group/ItemTable.h"
#include "opc/group/UpdateService.h"
#include "opc/server/ConnectionPoint.h"
#include "opccomn.h"
#include "opcda.h"

namespace opc::server::da::com {

class Server;

class Group : public IOPCGroupStateMgt,
              public IConnectionPointContainer,
              public IOPCItemMgt,   // GroupItemMgt.cpp
              public IOPCSyncIO,    // GroupSyncIO.cpp
              public IOPCAsyncIO2,  // GroupAsyncIO.cpp
              public ::opc::com::ComObjectRoot {
public:
    using ItemMap = ItemTable;

    Group();
    ~Group() override;

    LX_COM_UNKNOWN

    // Sets the state, revises the update rate, makes the lifetime token and posts the
    // first tick. Throws std::bad_alloc.
    void Initialise(std::shared_ptr<UpdateService> service, Server* server, OPCHANDLE serverHandle,
                    OPCHANDLE clientHandle, std::wstring name, bool active, DWORD requestedRateMs,
                    const LONG* timeBias, LCID locale, FLOAT percentDeadband = 0.0f);

    // A percent deadband that AddGroup and SetState accept: none given, or 0..100 (not NaN).
    // It is kept and reported; no item has an analog engineering-unit range, so it never
    // holds back a change.
    static bool AcceptsPercentDeadband(const FLOAT* percentDeadband) noexcept {
        return !percentDeadband || (*percentDeadband >= 0.0f && *percentDeadband <= 100.0f);
    }

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                          OPCHANDLE* phServerGroup) override;
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                          OPCHANDLE* phClientGroup) override;
    STDMETHODIMP SetName(LPCWSTR szName) override;
    STDMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCItemMgt (GroupItemMgt.cpp)
    STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                          HRESULT** ppErrors) override;
    STDMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                               OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override;
    STDMETHODIMP SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                  HRESULT** ppErrors) override;
    STDMETHODIMP SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                              HRESULT** ppErrors) override;
    STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCSyncIO (GroupSyncIO.cpp)
    STDMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override;

    // IOPCAsyncIO2 (GroupAsyncIO.cpp)
    STDMETHODIMP Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                       DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override;
    STDMETHODIMP Cancel2(DWORD dwCancelID) override;
    STDMETHODIMP SetEnable(BOOL bEnable) override;
    STDMETHODIMP GetEnable(BOOL* pbEnable) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // ---- for the server object (name only under the server's lock)
    const std::wstring& NameUnderServerLock() const noexcept { return name_; }
    void SetNameUnderServerLock(std::wstring name) { name_ = std::move(name); }
    OPCHANDLE ServerHandle() const noexcept { return serverHandle_; }
    OPCHANDLE ClientHandle() const;
    std::int64_t UpdateRateMicroseconds() const;
    LONG TimeBias() const;
    LCID Locale() const;
    FLOAT PercentDeadband() const;
    // Gives this group a copy of every item record of source (same handles, flags and
    // types, linked to the same cached values).
    void CopyItemsFrom(Group& source);
    bool IsRemoved() const noexcept { return removed_.load(); }
    // True when someone besides the caller (who holds `own` references) and the jobs running
    // for the group holds a reference: a client still uses the group.
    bool HeldBeyond(LONG own) noexcept;
    void MarkRemoved() noexcept { removed_ = true; }
    // Removed for good: waits for calls and jobs in progress and for the callbacks they
    // queued, drops the lifetime token
    // (queued ticks and jobs then do nothing) and cuts the group off from its clients.
    void ForcedTeardown() noexcept;
    IUnknown* Identity() noexcept { return static_cast<IOPCGroupStateMgt*>(this); }

    // ---- for items and I/O
    ::opc::com::ObjectCore& Core() noexcept { return core_; }
    // The frame of every group method: flag, busy, lock, removed.
    ::opc::com::MethodFrame Frame() noexcept { return ::opc::com::MethodFrame(core_).RefuseWhen(removed_); }
    ItemMap& Items() noexcept { return items_; } // under the group lock
    void InsertItem(GroupItem item); // takes the group lock
    const std::shared_ptr<UpdateService>& Service() const noexcept { return service_; }
    // Builds OnDataChange for transaction `transaction` (0: items changed since the
    // previous callback; otherwise every active item) under the group lock and queues
    // it for every sink (see Deliver). Nothing is built while no sink is advised.
    // Throws on allocation failure (nothing queued).
    void SendDataChange(DWORD transaction) { QueueDataChange(transaction, false); }
    // Queues a callback built under the group lock: on the client's delivery queue,
    // after the callbacks queued before it, `call` is made on every sink in list order,
    // each taken under the group lock and called outside it; a sink whose client is
    // gone is dropped. The group stays alive until then, and a forced teardown waits
    // for it. Throws std::bad_alloc (nothing queued).
    void Deliver(std::function<HRESULT(IOPCDataCallback*)> call) { Deliver(std::move(call), false); }
    // Callbacks queued and not yet delivered (tests).
    std::size_t PendingDeliveries() const noexcept { return deliveries_.load(); }
    bool CallbacksEnabled() const;
    void SetCallbacksEnabled(bool on);
    ConnectionPoint<IOPCDataCallback>& DataCallbackPoint() noexcept { return dataPoint_; }
    // Weak handle that jobs posted for this group hold.
    std::weak_ptr<::opc::com::LifetimeToken<Group>> LifetimeHandle() const;
    UtcTime LastCallbackTime() const;

    void* FindInterface(REFIID riid) noexcept;

protected:
    HRESULT QueryInterfaceCheck() noexcept override;
    void EnterCall() noexcept override { ++core_.busy; }
    void LeaveCall() noexcept override { --core_.busy; }

private:
    using Token = ::opc::com::LifetimeToken<Group>;
    static void TickJob(const std::weak_ptr<Token>& token) noexcept;
    void Tick() noexcept;
    void ArmTick() noexcept;
    std::int64_t ReviseRate(DWORD requestedMs) const noexcept;

    // ---- items and I/O (GroupItemMgt.cpp, GroupSyncIO.cpp, GroupAsyncIO.cpp)
    using Transaction = ::opc::AsyncTransaction;
    // Appends a transaction, counts its job as busy and posts the job; on failure
    // nothing stays queued. Under the group lock. Throws std::bad_alloc.
    void QueueTransaction(std::shared_ptr<Transaction> transaction);
    static void AsyncJob(const std::weak_ptr<Token>& token) noexcept;
    void RunAsyncJob() noexcept;
    void CompleteRead(const Transaction& transaction);
    void CompleteWrite(const Transaction& transaction);

    // ---- delivery (Group.cpp)
    // `tick`: a tick's callback, counted in tickDeliveries_ until delivered.
    bool QueueDataChange(DWORD transaction, bool tick);
    void Deliver(std::function<HRESULT(IOPCDataCallback*)> call, bool tick);
    void RunDelivery(const std::function<HRESULT(IOPCDataCallback*)>& call) noexcept;

    ::opc::com::ModuleLock moduleLock_;
    ::opc::com::ObjectCore core_;
    std::atomic<bool> removed_{false};
    std::wstring name_;
    OPCHANDLE serverHandle_ = 0;
    OPCHANDLE clientHandle_ = 0;
    bool active_ = false;
    bool callbacksEnabled_ = true;
    std::int64_t updateRate_ = 0; // microseconds
    LONG timeBias_ = 0;
    FLOAT percentDeadband_ = 0.0f;
    LCID locale_;
    UtcTime lastCallbackTime_;
    UtcTime tickDue_{}; // the point of the tick grid that the current or last tick ran for
    std::uint64_t lastCallbackSequence_ = 0; // scan sequence that the last callback covered
    std::shared_ptr<UpdateService> service_;
    std::shared_ptr<UpdateService::Timer> timer_;
    Server* server_ = nullptr;
    ItemMap items_;
    std::list<std::shared_ptr<Transaction>> transactions_; // FIFO; Cancel2 moves one to the front
    ConnectionPoint<IOPCDataCallback> dataPoint_;
    std::shared_ptr<::opc::DeliveryQueue> delivery_; // the client's (shared by its groups)
    std::atomic<std::size_t> deliveries_{0};      // queued, not yet delivered
    std::atomic<std::size_t> tickDeliveries_{0};  // of which tick callbacks
    std::shared_ptr<Token> token_;
};

} // namespace opc::server::da::com
