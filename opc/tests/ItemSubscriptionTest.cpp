// Subscriptions through items added with AddItems: when an item is first reported, what
// later ticks carry, and how item and group states change what is sent.
#include "opc/tests/GroupFixture.h"

namespace lx_group_tests {
namespace {

class ItemSubscription : public GroupTest {
protected:
    ItemSubscription() {
        sink = Advise();
        Step(2); // the group has ticked with no items
        sink->Clear();
    }
    std::vector<Callback> Changes() const { return sink->Calls(); }
    RecordingSink* sink = nullptr;
};

TEST_F(ItemSubscription, AnItemOfANewAttributeIsReportedAtTheNextTick) {
    Add({Def(L"Plant.Line.Temp.Value", 11), Def(L"Plant.Line.Pump.Value", 12, VT_R8)});
    EXPECT_EQ(sink->Count(), 0u); // adding sends nothing by itself
    Step();
    auto calls = Changes();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, Callback::DataChange);
    EXPECT_EQ(calls[0].transaction, 0u);
    EXPECT_EQ(calls[0].group, 1000u);
    EXPECT_EQ(calls[0].clients, (std::vector<OPCHANDLE>{11, 12}));
    EXPECT_EQ(calls[0].types, (std::vector<VARTYPE>{VT_R4, VT_R8})); // each in its requested type
    EXPECT_EQ(calls[0].values, (std::vector<double>{21.5, 5.0}));
    EXPECT_EQ(calls[0].masterQuality, S_OK);
    Step(3); // unchanged: nothing more
    EXPECT_EQ(sink->Count(), 1u);
    fake.Channel(8).Set(2, 6);
    Step();
    calls = Changes();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].clients, (std::vector<OPCHANDLE>{12}));
    EXPECT_EQ(calls[1].values, (std::vector<double>{6.0}));
}

TEST_F(ItemSubscription, AnItemOfAnAttributeInUseWaitsForItsNextChange) {
    ComPtr<Group> other = MakeGroup(2, 2000, true);
    Add(*other.Get(), {Def(L"Plant.Line.Level.Value")});
    Step(2);
    AddOne(L"Plant.Line.Level.Value", 21);
    Step(2);
    EXPECT_EQ(sink->Count(), 0u);
    fake.Channel(9).Set(2, 3.5);
    Step();
    const auto calls = Changes();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].clients, (std::vector<OPCHANDLE>{21}));
    EXPECT_EQ(calls[0].values, (std::vector<double>{3.5}));
}

TEST_F(ItemSubscription, ItemStatesDecideWhatIsSent) {
    const auto h = Add({Def(L"Plant.Line.Temp.Value", 11), Def(L"Plant.Line.Pump.Value", 12, VT_EMPTY, FALSE)});
    Step();
    ASSERT_EQ(sink->Count(), 1u);
    EXPECT_EQ(Changes()[0].clients, (std::vector<OPCHANDLE>{11})); // the inactive item is skipped
    OPCHANDLE pump = h[1];
    Out<HRESULT> errors;
    ASSERT_EQ(group->SetActiveState(1, &pump, TRUE, &errors), S_OK);
    Step(2);
    EXPECT_EQ(sink->Count(), 1u); // activated but unchanged: not reported
    OPCHANDLE temp = h[0];
    OPCHANDLE client = 99;
    Out<HRESULT> more;
    ASSERT_EQ(group->SetClientHandles(1, &temp, &client, &more), S_OK);
    fake.Channel(7).Set(2, 22.0f);
    fake.Channel(8).Set(2, 7);
    Step();
    ASSERT_EQ(sink->Count(), 2u);
    EXPECT_EQ(Changes()[1].clients, (std::vector<OPCHANDLE>{99, 12}));
    EXPECT_EQ(Remove({h[0]}), (std::vector<HRESULT>{S_OK}));
    fake.Channel(7).Set(2, 23.0f);
    Step();
    EXPECT_EQ(sink->Count(), 2u); // a removed item is not reported
}

TEST_F(ItemSubscription, ChangesWhileDisabledOrInactiveAreReportedAfterwards) {
    AddOne(L"Plant.Line.Temp.Value", 11);
    Step();
    ASSERT_EQ(sink->Count(), 1u);
    ASSERT_EQ(group->SetEnable(FALSE), S_OK);
    fake.Channel(7).Set(2, 30.0f);
    Step(2);
    EXPECT_EQ(sink->Count(), 1u);
    ASSERT_EQ(group->SetEnable(TRUE), S_OK);
    Step();
    ASSERT_EQ(sink->Count(), 2u);
    EXPECT_EQ(Changes()[1].values, (std::vector<double>{30.0}));

    BOOL active = FALSE;
    DWORD revised = 0;
    ASSERT_EQ(group->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr), S_OK);
    fake.Channel(7).Set(2, 31.0f);
    Step(2);
    EXPECT_EQ(sink->Count(), 2u);
    active = TRUE;
    ASSERT_EQ(group->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr), S_OK);
    Step();
    ASSERT_EQ(sink->Count(), 3u);
    EXPECT_EQ(Changes()[2].values, (std::vector<double>{31.0}));
}

TEST_F(ItemSubscription, RefreshWithTransactionZeroSendsOnlyChangesAndKeepsTheLastCallback) {
    AddOne(L"Plant.Line.Temp.Value", 11);
    AddOne(L"Plant.Line.Pump.Value", 12);
    Step();
    ASSERT_EQ(sink->Count(), 1u);
    ASSERT_EQ(group->SetEnable(FALSE), S_OK);
    fake.Channel(8).Set(2, 9);
    Step();
    DWORD cancel = 0;
    ASSERT_EQ(group->Refresh2(OPC_DS_CACHE, 0, &cancel), S_OK);
    Idle();
    ASSERT_EQ(sink->Count(), 2u);
    EXPECT_EQ(Changes()[1].transaction, 0u);
    EXPECT_EQ(Changes()[1].clients, (std::vector<OPCHANDLE>{12}));
    ASSERT_EQ(group->SetEnable(TRUE), S_OK);
    Step();
    ASSERT_EQ(sink->Count(), 3u); // the refresh did not count as the group's callback
    EXPECT_EQ(Changes()[2].clients, (std::vector<OPCHANDLE>{12}));
}

TEST_F(ItemSubscription, StoppedNodeReportsOutOfServiceQuality) {
    AddOne(L"Plant.Line.Temp.Value", 11);
    Step();
    fake.SetRunning(false);
    Step();
    const auto calls = Changes();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].qualities, (std::vector<WORD>{opc::kQualityOutOfService}));
    EXPECT_EQ(calls[1].masterQuality, S_FALSE);
}

} // namespace
} // namespace lx_group_tests
