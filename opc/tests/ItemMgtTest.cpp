// IOPCItemMgt of the group: argument checks, per-item codes and their order, handle
// allocation, shared cached values, and the copies of a cloned group.
#include "opc/tests/GroupFixture.h"

namespace lx_group_tests {
namespace {

using ItemMgt = GroupTest;

TEST_F(ItemMgt, AddAndValidateRefuseMissingArgumentsAndClearOutputs) {
    OPCITEMDEF def = Def(L"Plant.Line.Temp.Value");
    struct Case {
        DWORD count;
        OPCITEMDEF* items;
        bool results;
        bool errors;
    } cases[] = {{0, &def, true, true}, {1, nullptr, true, true}, {1, &def, false, true}, {1, &def, true, false}};
    for (const Case& c : cases) {
        OPCITEMRESULT* results = reinterpret_cast<OPCITEMRESULT*>(1);
        HRESULT* errors = reinterpret_cast<HRESULT*>(1);
        EXPECT_EQ(group->AddItems(c.count, c.items, c.results ? &results : nullptr, c.errors ? &errors : nullptr),
                  E_INVALIDARG);
        if (c.results) {
            EXPECT_EQ(results, nullptr);
        }
        if (c.errors) {
            EXPECT_EQ(errors, nullptr);
        }
        results = reinterpret_cast<OPCITEMRESULT*>(1);
        errors = reinterpret_cast<HRESULT*>(1);
        EXPECT_EQ(group->ValidateItems(c.count, c.items, FALSE, c.results ? &results : nullptr,
                                       c.errors ? &errors : nullptr),
                  E_INVALIDARG);
        if (c.results) {
            EXPECT_EQ(results, nullptr);
        }
        if (c.errors) {
            EXPECT_EQ(errors, nullptr);
        }
    }
    EXPECT_TRUE(group->Items().empty());
}

struct ItemCase {
    const wchar_t* id;
    VARTYPE type;
    HRESULT expected;
};

// Identifier and requested-type checks shared by AddItems and ValidateItems.
const ItemCase kItemCases[] = {
    {nullptr, VT_EMPTY, OPC_E_INVALIDITEMID},
    {L"", VT_EMPTY, OPC_E_INVALIDITEMID},
    {L"Plant.Line", VT_EMPTY, OPC_E_UNKNOWNITEMID},           // a group
    {L"Plant.Line.Temp", VT_EMPTY, OPC_E_UNKNOWNITEMID},      // a channel
    {L"Plant.Line.Nope.Value", VT_EMPTY, OPC_E_UNKNOWNITEMID},
    {L"plant.line.temp.value", VT_EMPTY, OPC_E_UNKNOWNITEMID}, // identifiers are case-sensitive
    {L"Plant.Line.Nope.Value", VT_CY, OPC_E_UNKNOWNITEMID},   // resolution is checked before the type
    {L"Plant.Line.Temp.Value", VT_CY, OPC_E_BADTYPE},
    {L"Plant.Line.Temp.Value", VT_ERROR, OPC_E_BADTYPE},
    {L"Plant.Line.Temp.Value", VT_VARIANT, OPC_E_BADTYPE},
    {L"Plant.Line.Temp.Value", VT_DECIMAL, OPC_E_BADTYPE},
    {L"Plant.Line.Temp.Value", VT_NULL, OPC_E_BADTYPE},
    {L"Plant.Line.Temp.Value", VT_ARRAY | VT_I4, OPC_E_BADTYPE},
    {L"Plant.Line.Temp.Value", VT_BYREF | VT_I4, OPC_E_BADTYPE},
    {L"Plant.Line.Temp.Value", VT_EMPTY, S_OK},
    {L"Plant.Line.Temp.Value", VT_I2, S_OK},
    {L"Plant.Line.Temp.Value", VT_I4, S_OK},
    {L"Plant.Line.Temp.Value", VT_R4, S_OK},
    {L"Plant.Line.Temp.Value", VT_R8, S_OK},
    {L"Plant.Line.Temp.Value", VT_DATE, S_OK},
    {L"Plant.Line.Temp.Value", VT_BSTR, S_OK},
    {L"Plant.Line.Temp.Value", VT_BOOL, S_OK},
    {L"Plant.Line.Temp.Value", VT_I1, S_OK},
    {L"Plant.Line.Temp.Value", VT_UI1, S_OK},
    {L"Plant.Line.Temp.Value", VT_UI2, S_OK},
    {L"Plant.Line.Temp.Value", VT_UI4, S_OK},
    {L"Plant.Line.Temp.Value", VT_I8, S_OK},
    {L"Plant.Line.Temp.Value", VT_UI8, S_OK},
    {L"Plant.Line.Temp.Value", VT_INT, S_OK},
    {L"Plant.Line.Temp.Value", VT_UINT, S_OK},
    {L"Plant.Line.Temp.Value", VT_LPSTR, S_OK},
    {L"Plant.Line.Temp.Value", VT_LPWSTR, S_OK},
};

TEST_F(ItemMgt, AddItemsGivesEachEntryItsCodeAndAddsOnlyTheGoodOnes) {
    std::vector<OPCITEMDEF> defs;
    for (const ItemCase& c : kItemCases) defs.push_back(Def(c.id, 500 + static_cast<OPCHANDLE>(defs.size()), c.type));
    Out<OPCITEMRESULT> results;
    Out<HRESULT> errors;
    ASSERT_EQ(group->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors), S_FALSE);
    std::size_t added = 0;
    for (std::size_t i = 0; i < defs.size(); ++i) {
        SCOPED_TRACE(i);
        const ItemCase& c = kItemCases[i];
        EXPECT_EQ(errors[i], c.expected);
        const OPCITEMRESULT& r = results[i];
        if (FAILED(c.expected)) {
            EXPECT_EQ(r.hServer, 0u);
            EXPECT_EQ(r.vtCanonicalDataType, VT_EMPTY);
            EXPECT_EQ(r.dwAccessRights, 0u);
            continue;
        }
        ++added;
        EXPECT_EQ(r.hServer, added); // handles count up from 1 without gaps
        EXPECT_EQ(r.vtCanonicalDataType, VT_R4);
        EXPECT_EQ(r.dwAccessRights, static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE));
        EXPECT_EQ(r.dwBlobSize, 0u);
        EXPECT_EQ(r.pBlob, nullptr);
        const auto& item = group->Items().at(r.hServer);
        EXPECT_EQ(item.clientHandle, defs[i].hClient);
        EXPECT_EQ(item.requestedType, c.type == VT_EMPTY ? VARTYPE(VT_R4) : c.type);
        EXPECT_TRUE(item.active);
    }
    EXPECT_EQ(group->Items().size(), added);
}

TEST_F(ItemMgt, ValidateItemsChecksLikeAddItemsButAddsNothing) {
    const std::size_t cacheBefore = service->CacheSize();
    std::vector<OPCITEMDEF> defs;
    for (const ItemCase& c : kItemCases) defs.push_back(Def(c.id, 1, c.type));
    defs.push_back(Def(L"Plant.Line.Temp.A0")); // read-only
    defs.push_back(Def(L"Plant.Line.Pump.Value"));
    Out<OPCITEMRESULT> results;
    Out<HRESULT> errors;
    ASSERT_EQ(group->ValidateItems(static_cast<DWORD>(defs.size()), defs.data(), TRUE, &results, &errors), S_FALSE);
    for (std::size_t i = 0; i < std::size(kItemCases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(errors[i], kItemCases[i].expected);
        EXPECT_EQ(results[i].hServer, 0u);
        EXPECT_EQ(results[i].vtCanonicalDataType, SUCCEEDED(kItemCases[i].expected) ? VARTYPE(VT_R4) : VARTYPE(VT_EMPTY));
    }
    const std::size_t a0 = std::size(kItemCases);
    EXPECT_EQ(errors[a0], S_OK);
    EXPECT_EQ(results[a0].dwAccessRights, static_cast<DWORD>(OPC_READABLE));
    EXPECT_EQ(results[a0 + 1].vtCanonicalDataType, VT_I4);
    EXPECT_TRUE(group->Items().empty());
    EXPECT_EQ(service->CacheSize(), cacheBefore); // no cached value made
}

TEST_F(ItemMgt, AnAllGoodCallIsSOk) {
    EXPECT_EQ(Add({Def(L"Plant.Line.Temp.Value"), Def(L"Plant.Line.Pump.Value", 0, VT_R8)}),
              (std::vector<OPCHANDLE>{1, 2}));
}

TEST_F(ItemMgt, AnUnreadableChannelTypeFailsOnlyThatItem) {
    fake.Fail("GetChannelInt", 10, 48); // the type of "Broken"
    std::vector<OPCITEMDEF> defs = {Def(L"Plant.Line.Broken.Value"), Def(L"Plant.Line.Temp.Value")};
    Out<OPCITEMRESULT> results;
    Out<HRESULT> errors;
    ASSERT_EQ(group->AddItems(2, defs.data(), &results, &errors), S_FALSE);
    EXPECT_EQ(errors[0], E_FAIL);
    EXPECT_EQ(errors[1], S_OK);
    EXPECT_EQ(results[1].hServer, 1u);
    Out<OPCITEMRESULT> checked;
    Out<HRESULT> checkErrors;
    ASSERT_EQ(group->ValidateItems(2, defs.data(), FALSE, &checked, &checkErrors), S_FALSE);
    EXPECT_EQ(checkErrors[0], E_FAIL);
    EXPECT_EQ(checkErrors[1], S_OK);
}

TEST_F(ItemMgt, ServerHandlesOfRemovedItemsAreReused) {
    const wchar_t* id = L"Plant.Line.Temp.Value";
    EXPECT_EQ(Add({Def(id), Def(id), Def(id)}), (std::vector<OPCHANDLE>{1, 2, 3}));
    EXPECT_EQ(Remove({2}), (std::vector<HRESULT>{S_OK}));
    EXPECT_EQ(AddOne(id), 4u); // two items: 3 is taken, 4 is free
    EXPECT_EQ(Remove({1, 4}), (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(AddOne(id), 2u); // one item {3}: 2 is free
    EXPECT_EQ(Add({Def(id), Def(id), Def(id)}), (std::vector<OPCHANDLE>{4, 5, 6}));
}

TEST_F(ItemMgt, AFailedEntryDoesNotTakeAHandle) {
    const wchar_t* id = L"Plant.Line.Temp.Value";
    EXPECT_EQ(Add({Def(id), Def(id, 0, VT_CY), Def(L"Plant.Nope"), Def(id)}, S_FALSE),
              (std::vector<OPCHANDLE>{1, 0, 0, 2}));
    EXPECT_EQ(Remove({1}), (std::vector<HRESULT>{S_OK}));
    // One item {2}: 2 is taken, then 3; in one call the walk goes on from there.
    EXPECT_EQ(Add({Def(id), Def(id)}), (std::vector<OPCHANDLE>{3, 4}));
    EXPECT_EQ(group->Items().size(), 3u);
}

TEST_F(ItemMgt, ItemsOfTheSameAttributeShareOneCachedValueAcrossGroups) {
    const std::size_t before = service->CacheSize();
    const auto handles = Add({Def(L"Plant.Line.Temp.Value"), Def(L"Plant.Line.Temp.Value"), Def(L"Plant.Line.Pump.Value")});
    EXPECT_NE(handles[0], handles[1]);
    auto& items = group->Items();
    EXPECT_EQ(items.at(handles[0]).cache, items.at(handles[1]).cache);
    EXPECT_NE(items.at(handles[0]).cache, items.at(handles[2]).cache);
    EXPECT_EQ(service->CacheSize(), before + 2);

    ComPtr<Group> other = MakeGroup(2, 2000, true);
    const OPCHANDLE h = Add(*other.Get(), {Def(L"Plant.Line.Temp.Value")}).at(0);
    EXPECT_EQ(other->Items().at(h).cache, items.at(handles[0]).cache);
    EXPECT_EQ(service->CacheSize(), before + 2);
    // Read once when it was made, not once per item.
    EXPECT_EQ(fake.Calls("GetChannelFloat", 7, 2), 1);
}

TEST_F(ItemMgt, CachedValueOfTheLastRemovedItemGoesAtTheNextScan) {
    const std::size_t before = service->CacheSize();
    const OPCHANDLE h = AddOne(L"Plant.Line.Level.Value");
    EXPECT_EQ(service->CacheSize(), before + 1);
    Remove({h});
    Step();
    EXPECT_EQ(service->CacheSize(), before);
}

TEST_F(ItemMgt, PerHandleMethodsRefuseMissingArguments) {
    OPCHANDLE handle = AddOne(L"Plant.Line.Temp.Value");
    OPCHANDLE client = 9;
    VARTYPE type = VT_R8;
    for (DWORD count : {0u, 1u}) {
        for (bool handles : {false, true}) {
            for (bool errorsGiven : {false, true}) {
                if (count && handles && errorsGiven) continue;
                OPCHANDLE* h = handles ? &handle : nullptr;
                HRESULT* errors = reinterpret_cast<HRESULT*>(1);
                HRESULT** e = errorsGiven ? &errors : nullptr;
                EXPECT_EQ(group->RemoveItems(count, h, e), E_INVALIDARG);
                EXPECT_EQ(group->SetActiveState(count, h, FALSE, e), E_INVALIDARG);
                EXPECT_EQ(group->SetClientHandles(count, h, &client, e), E_INVALIDARG);
                EXPECT_EQ(group->SetDatatypes(count, h, &type, e), E_INVALIDARG);
                if (errorsGiven) {
                    EXPECT_EQ(errors, nullptr);
                }
            }
        }
    }
    Out<HRESULT> errors;
    EXPECT_EQ(group->SetClientHandles(1, &handle, nullptr, &errors), E_INVALIDARG);
    EXPECT_EQ(group->SetDatatypes(1, &handle, nullptr, &errors), E_INVALIDARG);
    EXPECT_EQ(group->Items().size(), 1u);
    EXPECT_TRUE(group->Items().at(handle).active);
}

TEST_F(ItemMgt, PerHandleMethodsChangeKnownItemsAndReportUnknownHandles) {
    const auto h = Add({Def(L"Plant.Line.Temp.Value", 11), Def(L"Plant.Line.Pump.Value", 12)});
    auto& items = group->Items();
    {
        OPCHANDLE handles[] = {h[1], 999};
        Out<HRESULT> errors;
        EXPECT_EQ(group->SetActiveState(2, handles, FALSE, &errors), S_FALSE);
        EXPECT_EQ(errors[0], S_OK);
        EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
        EXPECT_FALSE(items.at(h[1]).active);
        EXPECT_TRUE(items.at(h[0]).active);
    }
    {
        OPCHANDLE handles[] = {h[0], h[1]};
        OPCHANDLE clients[] = {21, 22};
        Out<HRESULT> errors;
        EXPECT_EQ(group->SetClientHandles(2, handles, clients, &errors), S_OK);
        EXPECT_EQ(items.at(h[0]).clientHandle, 21u);
        EXPECT_EQ(items.at(h[1]).clientHandle, 22u);
    }
    {
        OPCHANDLE handles[] = {h[0], h[1], 0, h[0]};
        VARTYPE types[] = {VT_BSTR, VT_EMPTY, VT_R8, VT_CY};
        Out<HRESULT> errors;
        EXPECT_EQ(group->SetDatatypes(4, handles, types, &errors), S_FALSE);
        EXPECT_EQ(errors[0], S_OK);
        EXPECT_EQ(errors[1], OPC_E_BADTYPE); // VT_EMPTY is no type here
        EXPECT_EQ(errors[2], OPC_E_INVALIDHANDLE);
        EXPECT_EQ(errors[3], OPC_E_BADTYPE);
        EXPECT_EQ(items.at(h[0]).requestedType, VT_BSTR); // the bad second change left it
        EXPECT_EQ(items.at(h[1]).requestedType, VT_I4);
    }
}

TEST_F(ItemMgt, RemoveItemsRemovesTheKnownAndReportsTheUnknown) {
    const auto h = Add({Def(L"Plant.Line.Temp.Value"), Def(L"Plant.Line.Pump.Value")});
    OPCHANDLE handles[] = {h[0], 77, h[0]};
    Out<HRESULT> errors;
    EXPECT_EQ(group->RemoveItems(3, handles, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    EXPECT_EQ(errors[2], OPC_E_INVALIDHANDLE); // already gone
    EXPECT_EQ(group->Items().size(), 1u);
    EXPECT_EQ(group->Items().count(h[1]), 1u);
}

TEST_F(ItemMgt, CreateEnumeratorIsNotProvided) {
    IUnknown* unknown = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, &unknown), E_INVALIDARG);
    EXPECT_EQ(unknown, reinterpret_cast<IUnknown*>(1));
}

TEST_F(ItemMgt, RemovedGroupAndShutdownRefuseEveryMethod) {
    OPCHANDLE handle = AddOne(L"Plant.Line.Temp.Value");
    OPCITEMDEF def = Def(L"Plant.Line.Temp.Value");
    auto refusedAll = [&] {
        Out<OPCITEMRESULT> results;
        Out<HRESULT> errors;
        EXPECT_EQ(group->AddItems(1, &def, &results, &errors), E_FAIL);
        EXPECT_FALSE(results);
        EXPECT_EQ(group->ValidateItems(1, &def, FALSE, &results, &errors), E_FAIL);
        EXPECT_EQ(group->RemoveItems(1, &handle, &errors), E_FAIL);
        EXPECT_EQ(group->SetActiveState(1, &handle, FALSE, &errors), E_FAIL);
        EXPECT_EQ(group->SetClientHandles(1, &handle, &handle, &errors), E_FAIL);
        VARTYPE type = VT_R8;
        EXPECT_EQ(group->SetDatatypes(1, &handle, &type, &errors), E_FAIL);
        EXPECT_FALSE(errors);
    };
    module.SetShuttingDown(true);
    refusedAll();
    module.SetShuttingDown(false);
    group->MarkRemoved();
    refusedAll();
    EXPECT_EQ(group->Items().size(), 1u);
}

TEST_F(ItemMgt, GroupOffersTheItemAndIoInterfaces) {
    for (const IID& iid : {IID_IUnknown, IID_IConnectionPointContainer, IID_IOPCItemMgt, IID_IOPCGroupStateMgt,
                           IID_IOPCSyncIO, IID_IOPCAsyncIO2}) {
        ComPtr<IUnknown> unknown;
        EXPECT_EQ(group->QueryInterface(iid, reinterpret_cast<void**>(unknown.GetAddressOf())), S_OK);
    }
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(group->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(unknown.GetAddressOf())),
              E_NOINTERFACE);
    // One identity whichever interface it was reached through.
    ComPtr<IOPCItemMgt> items;
    ComPtr<IUnknown> a, b;
    ASSERT_EQ(group->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(items.GetAddressOf())), S_OK);
    items->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(a.GetAddressOf()));
    group->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(b.GetAddressOf()));
    EXPECT_EQ(a.Get(), b.Get());
}

TEST_F(ItemMgt, AClonesItemsAreItsOwnCopiesOnTheSameCachedValues) {
    const auto h = Add({Def(L"Plant.Line.Temp.Value", 11), Def(L"Plant.Line.Pump.Value", 12, VT_R8)});
    OPCHANDLE inactive = h[1];
    Out<HRESULT> e0;
    group->SetActiveState(1, &inactive, FALSE, &e0);
    ComPtr<Group> clone = MakeGroup(2, 1000, false);
    clone->CopyItemsFrom(*group.Get());
    ASSERT_EQ(clone->Items().size(), 2u);
    for (OPCHANDLE handle : h) {
        const auto& mine = group->Items().at(handle);
        const auto& copy = clone->Items().at(handle);
        EXPECT_EQ(copy.clientHandle, mine.clientHandle);
        EXPECT_EQ(copy.active, mine.active);
        EXPECT_EQ(copy.requestedType, mine.requestedType);
        EXPECT_EQ(copy.cache, mine.cache);
    }
    OPCHANDLE handles[] = {h[0]};
    OPCHANDLE clients[] = {99};
    Out<HRESULT> errors;
    EXPECT_EQ(clone->SetClientHandles(1, handles, clients, &errors), S_OK);
    EXPECT_EQ(group->Items().at(h[0]).clientHandle, 11u);
    Out<HRESULT> removed;
    EXPECT_EQ(clone->RemoveItems(1, handles, &removed), S_OK);
    EXPECT_EQ(group->Items().size(), 2u);
}

} // namespace
} // namespace lx_group_tests
