// The group object: state management, names, clones, interfaces and removal.
#include <limits>

#include "ServerTestSupport.h"
#include "opc/common/OpcErrors.h"

namespace opc::test {
namespace {

class GroupState : public ModuleFixture {
protected:
    struct State {
        DWORD rate = 0;
        BOOL active = FALSE;
        std::wstring name;
        LONG bias = 0;
        FLOAT deadband = -1;
        DWORD lcid = 0;
        OPCHANDLE client = 0;
        OPCHANDLE server = 0;
    };
    static State Get(IOPCGroupStateMgt* group) {
        State s;
        LPWSTR name = nullptr;
        EXPECT_EQ(group->GetState(&s.rate, &s.active, &name, &s.bias, &s.deadband, &s.lcid, &s.client, &s.server),
                  S_OK);
        s.name = name ? name : L"";
        CoTaskMemFree(name);
        return s;
    }
};

TEST_F(GroupState, GetStateReportsWhatAddGroupSet) {
    auto server = NewServer();
    LONG bias = -120;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IOPCGroupStateMgt> group;
    ASSERT_EQ(server->AddGroup(L"g", FALSE, 500, 31, &bias, nullptr, 0x419, &handle, &revised,
                               IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(group.GetAddressOf())),
              S_OK);
    const State s = Get(group.Get());
    EXPECT_EQ(s.rate, 500u);
    EXPECT_EQ(s.active, FALSE);
    EXPECT_EQ(s.name, L"g");
    EXPECT_EQ(s.bias, -120);
    EXPECT_EQ(s.deadband, 0.0f);
    EXPECT_EQ(s.lcid, 0x419u);
    EXPECT_EQ(s.client, 31u);
    EXPECT_EQ(s.server, handle);

    // Any of the eight outputs missing.
    DWORD rate;
    BOOL active;
    LPWSTR name = reinterpret_cast<LPWSTR>(1);
    LONG tb;
    FLOAT db;
    DWORD lcid;
    OPCHANDLE hc, hs;
    EXPECT_EQ(group->GetState(nullptr, &active, &name, &tb, &db, &lcid, &hc, &hs), E_INVALIDARG);
    EXPECT_EQ(group->GetState(&rate, &active, nullptr, &tb, &db, &lcid, &hc, &hs), E_INVALIDARG);
    EXPECT_EQ(group->GetState(&rate, &active, &name, &tb, &db, &lcid, &hc, nullptr), E_INVALIDARG);
}

TEST_F(GroupState, SetStateAppliesWhatIsGivenAndAlwaysSucceeds) {
    fake.SetParameter(NRK_PARAM_SCAN_PERIOD, 200);
    auto server = NewServer();
    auto group = AddGroup(server.Get(), L"g", 1000, TRUE, 5);
    DWORD revised = 0;
    // Nothing given: nothing changes, the current rate comes back.
    ASSERT_EQ(group->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 1000u);
    const State before = Get(group.Get());

    DWORD slow = 50;
    BOOL inactive = FALSE;
    LONG bias = 60;
    FLOAT zero = 0.0f;
    DWORD lcid = 0x409;
    OPCHANDLE client = 9;
    ASSERT_EQ(group->SetState(&slow, &revised, &inactive, &bias, &zero, &lcid, &client), S_OK)
        << "never OPC_S_UNSUPPORTEDRATE";
    EXPECT_EQ(revised, 200u) << "below the scan period: the scan period";
    State after = Get(group.Get());
    EXPECT_EQ(after.rate, 200u);
    EXPECT_EQ(after.active, FALSE);
    EXPECT_EQ(after.bias, 60);
    EXPECT_EQ(after.lcid, 0x409u);
    EXPECT_EQ(after.client, 9u);
    EXPECT_EQ(after.name, before.name);
    BOOL yes = 7;
    ASSERT_EQ(group->SetState(nullptr, &revised, &yes, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Get(group.Get()).active, TRUE) << "any non-zero value is true";

    // A percent deadband of 0..100 is kept and reported; anything else is refused and changes nothing.
    struct Deadband {
        FLOAT value;
        HRESULT expected;
        FLOAT reported;
    };
    const Deadband deadbands[] = {
        {1.0f, S_OK, 1.0f},
        {0.5f, S_OK, 0.5f},
        {100.0f, S_OK, 100.0f},
        {std::numeric_limits<float>::quiet_NaN(), E_INVALIDARG, 100.0f},
        {-0.5f, E_INVALIDARG, 100.0f},
        {100.01f, E_INVALIDARG, 100.0f},
        {std::numeric_limits<float>::infinity(), E_INVALIDARG, 100.0f},
        {0.0f, S_OK, 0.0f},
    };
    for (const Deadband& d : deadbands) {
        FLOAT value = d.value;
        DWORD fast = 3000;
        revised = 1;
        EXPECT_EQ(group->SetState(&fast, &revised, nullptr, nullptr, &value, nullptr, nullptr), d.expected)
            << d.value;
        const State now = Get(group.Get());
        EXPECT_EQ(now.deadband, d.reported) << d.value;
        EXPECT_EQ(now.rate, SUCCEEDED(d.expected) ? 3000u : 200u) << d.value;
        ASSERT_EQ(group->SetState(&slow, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    }
    EXPECT_EQ(group->SetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
}

TEST_F(GroupState, SetNameChecksNamesThroughTheServer) {
    auto server = NewServer();
    auto a = AddGroup(server.Get(), L"a");
    auto b = AddGroup(server.Get(), L"b");
    EXPECT_EQ(a->SetName(L"b"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(a->SetName(L"a"), S_OK) << "its own name";
    EXPECT_EQ(a->SetName(L""), E_INVALIDARG);
    EXPECT_EQ(a->SetName(nullptr), E_INVALIDARG);
    EXPECT_EQ(a->SetName(L"B"), S_OK);
    EXPECT_EQ(Get(a.Get()).name, L"B");
    IUnknown* found = nullptr;
    EXPECT_EQ(server->GetGroupByName(L"a", IID_IUnknown, &found), OPC_E_NOTFOUND);
    ASSERT_EQ(server->GetGroupByName(L"B", IID_IUnknown, &found), S_OK);
    found->Release();
}

TEST_F(GroupState, CloneGroupCopiesStateAndItemsButNotActivity) {
    auto server = NewServer();
    LONG bias = 30;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IOPCGroupStateMgt> source;
    FLOAT deadband = 2.5f;
    ASSERT_EQ(server->AddGroup(L"src", TRUE, 700, 12, &bias, &deadband, 0x419, &handle, &revised,
                               IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(source.GetAddressOf())),
              S_OK);
    auto service = Service();
    auto shared = service->GetCachedValue(7, 2, VT_R4);
    GroupItem item;
    item.serverHandle = 1;
    item.clientHandle = 100;
    item.cache = shared;
    AsGroup(source.Get()).InsertItem(std::move(item));

    IUnknown* unk = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(source->CloneGroup(L"", IID_IUnknown, &unk), E_INVALIDARG);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(source->CloneGroup(nullptr, IID_IUnknown, &unk), E_INVALIDARG);
    EXPECT_EQ(source->CloneGroup(L"x", IID_IUnknown, nullptr), E_INVALIDARG);
    EXPECT_EQ(source->CloneGroup(L"src", IID_IUnknown, &unk), OPC_E_DUPLICATENAME);
    EXPECT_EQ(source->CloneGroup(L"x", IID_IOPCServer, &unk), E_NOINTERFACE);
    EXPECT_EQ(server->GetGroupByName(L"x", IID_IUnknown, &unk), OPC_E_NOTFOUND) << "a failed clone leaves nothing";

    ComPtr<IOPCGroupStateMgt> clone;
    ASSERT_EQ(source->CloneGroup(L"copy", IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(clone.GetAddressOf())),
              S_OK);
    const State s = Get(clone.Get());
    EXPECT_EQ(s.name, L"copy");
    EXPECT_EQ(s.active, FALSE);
    EXPECT_EQ(s.rate, 700u);
    EXPECT_EQ(s.bias, 30);
    EXPECT_EQ(s.lcid, 0x419u);
    EXPECT_EQ(s.deadband, 2.5f);
    EXPECT_EQ(s.client, 12u);
    EXPECT_EQ(s.server, 2u);

    Group& copy = AsGroup(clone.Get());
    ASSERT_EQ(copy.Items().size(), 1u);
    auto& copied = copy.Items().at(1);
    EXPECT_EQ(copied.clientHandle, 100u);
    EXPECT_EQ(copied.cache, shared) << "linked to the same cached value";
    copied.clientHandle = 555;
    EXPECT_EQ(AsGroup(source.Get()).Items().at(1).clientHandle, 100u) << "the source's item is its own";
}

TEST_F(GroupState, InterfacesAndConnectionPoint) {
    auto server = NewServer();
    auto group = AddGroup(server.Get(), L"g");
    struct Case {
        const IID* iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {&IID_IUnknown, S_OK},
        {&IID_IOPCGroupStateMgt, S_OK},
        {&IID_IConnectionPointContainer, S_OK},
        {&IID_IOPCPublicGroupStateMgt, E_NOINTERFACE},
        {&IID_IOPCAsyncIO, E_NOINTERFACE},
        {&IID_IDataObject, E_NOINTERFACE},
        {&IID_IOPCServer, E_NOINTERFACE},
    };
    for (const Case& c : cases) {
        ComPtr<IUnknown> unk;
        EXPECT_EQ(group->QueryInterface(*c.iid, reinterpret_cast<void**>(unk.GetAddressOf())), c.expected);
    }
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(group.As(&container), S_OK);
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.GetAddressOf()), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.GetAddressOf()), S_OK);
    auto sink = MakeSink();
    auto plain = ::opc::com::MakeComObject<PlainObject>();
    DWORD c1 = 0, c2 = 0;
    EXPECT_EQ(point->Advise(static_cast<IUnknown*>(plain.Get()), &c1), CONNECT_E_CANNOTCONNECT);
    ASSERT_EQ(point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &c1), S_OK);
    ASSERT_EQ(point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &c2), S_OK);
    EXPECT_EQ(c2, 2u);
    EXPECT_EQ(point->Unadvise(3), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(c1), S_OK);
}

TEST_F(GroupState, RemovedGroupRefusesEverything) {
    auto server = NewServer();
    OPCHANDLE handle = 0;
    auto group = AddGroup(server.Get(), L"g", 1000, TRUE, 1, &handle);
    ASSERT_EQ(server->RemoveGroup(handle, FALSE), OPC_S_INUSE);
    DWORD rate;
    BOOL active;
    LPWSTR name = nullptr;
    LONG tb;
    FLOAT db;
    DWORD lcid;
    OPCHANDLE hc, hs;
    EXPECT_EQ(group->GetState(&rate, &active, &name, &tb, &db, &lcid, &hc, &hs), E_FAIL);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(group->SetName(L"n"), E_FAIL);
    IUnknown* unk = nullptr;
    EXPECT_EQ(group->CloneGroup(L"n", IID_IUnknown, &unk), E_FAIL);
    // The name is free again for a new group.
    EXPECT_TRUE(AddGroup(server.Get(), L"g"));
}

} // namespace
} // namespace opc::test
