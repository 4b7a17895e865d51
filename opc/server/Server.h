// The OPC server object of one client connection: IOPCCommon, IOPCServer and the
// IOPCShutdown connection point; owns the client's groups.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/signals2/connection.hpp>

#include "opc/com/CallFrame.h"
#include "opc/com/ComObject.h"
#include "opc/com/ModuleLock.h"
#include "opc/server/AddressSpaceBrowser.h"
#include "opc/server/ClientWatch.h"
#include "opc/server/ConnectionPoint.h"
#include "opccomn.h"
#include "opcda.h"

class AddressSpaceNode; // runtime/AddressSpace.h

namespace opc {
class UpdateService;
class DeliveryQueue;
}

namespace opc::server::da::com {

class Group;

class Server : public IOPCCommon,
               public IOPCServer,
               public IConnectionPointContainer,
               public IOPCBrowseServerAddressSpace,
               public IOPCItemProperties,
               public ::opc::com::ComObjectRoot {
public:
    Server();
    ~Server() override;

    LX_COM_UNKNOWN

    // Subscribes to the module's shutdown notices and acquires the update service;
    // E_FAIL when no update service can be had.
    HRESULT Initialise() noexcept;
    // The queue on which the callbacks of all of this client's groups go out (set by
    // Initialise, never changed).
    const std::shared_ptr<::opc::DeliveryQueue>& Delivery() const noexcept { return delivery_; }

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID dwLcid) override;
    STDMETHODIMP GetLocaleID(LCID* pdwLcid) override;
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    STDMETHODIMP SetClientName(LPCWSTR szName) override;

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                          DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    STDMETHODIMP GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // IOPCBrowseServerAddressSpace (ServerBrowse.cpp)
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                  VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                  LPENUMSTRING* ppIEnumString) override;
    STDMETHODIMP GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    STDMETHODIMP BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) override;

    // IOPCItemProperties (ServerBrowse.cpp)
    STDMETHODIMP QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                          LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override;
    STDMETHODIMP GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                   HRESULT** ppErrors) override;
    STDMETHODIMP LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                               LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;

    // Registry operations offered to groups (called with the group's lock held).
    HRESULT RenameGroup(OPCHANDLE serverHandle, LPCWSTR name) noexcept;
    HRESULT CloneGroup(OPCHANDLE sourceHandle, LPCWSTR name, REFIID riid, LPUNKNOWN* ppUnk) noexcept;

    // The module's notices: ShutdownRequest to every sink, each on a thread of its own (returns at once);
    // teardown of everything.
    void SendShutdownRequest() noexcept;
    void TearDown() noexcept;

    // Made by a call from another process (the class object): watches that process and, when it
    // ends, tears this object down as if its client had let go (ClientGone). An in-process object
    // (pid 0) is not watched. Throws std::bad_alloc.
    void WatchClient(DWORD pid);
    // The client process has ended: its sinks are dropped (shutdown and data callbacks), its
    // groups removed, and this object, its groups, their connection points and the client's
    // enumerators are cut off from COM, whose stubs then let go of them; they are destroyed when
    // the last reference held in this process goes. Once only (or the module's TearDown instead).
    void ClientGone() noexcept;

    std::size_t GroupCount();
    IUnknown* Identity() noexcept { return static_cast<IOPCCommon*>(this); }
    void* FindInterface(REFIID riid) noexcept;

protected:
    HRESULT QueryInterfaceCheck() noexcept override;
    void EnterCall() noexcept override { ++core_.busy; }
    void LeaveCall() noexcept override { --core_.busy; }

private:
    using Token = ::opc::com::LifetimeToken<Server>;
    using Registry = std::map<OPCHANDLE, ::opc::com::ComPtr<Group>>;

    bool NameTaken(const std::wstring& name, OPCHANDLE except = 0) const;
    OPCHANDLE FreeHandle() const;
    std::wstring GenerateName() const;
    void TearDownGroups(Registry groups) noexcept;
    // TearDown and ClientGone: the client's enumerators only (`client`), or every one (0).
    void TearDownFor(DWORD client) noexcept;
    // Notes a group made for the client (under the object lock).
    void NoteCreated(Group& group);
    FLOAT ScanRateMs() const noexcept;
    ::opc::com::MethodFrame Frame() noexcept { return ::opc::com::MethodFrame(core_); }

    ::opc::com::ModuleLock moduleLock_;
    ::opc::com::ObjectCore core_;
    ConnectionPoint<IOPCShutdown> shutdownPoint_;
    std::shared_ptr<UpdateService> service_;
    std::shared_ptr<::opc::DeliveryQueue> delivery_;
    LCID localeId_ = 0;
    AddressSpaceBrowser browser_{nullptr}; // the browse position, under the object lock
    Registry groups_;
    std::shared_ptr<Token> token_;
    boost::signals2::scoped_connection firstNotice_;
    boost::signals2::scoped_connection secondNotice_;
    std::atomic<bool> tornDown_{false};
    // Every group made for the client that may still live, removed ones included (a client may
    // remove a group that it still holds); under the object lock.
    std::vector<std::weak_ptr<::opc::com::LifetimeToken<Group>>> created_;
    std::atomic<DWORD> clientPid_{0};
    std::unique_ptr<ClientWatch> watch_;
};

} // namespace opc::server::da::com
