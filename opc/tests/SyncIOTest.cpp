// IOPCSyncIO of the group: reads from the cache and the device, writes with the
// access-rights check, argument checks and per-item codes.
#include "opc/tests/GroupFixture.h"

#include "opc/group/ItemStateArray.h"

namespace lx_group_tests {
namespace {

using SyncIO = GroupTest;

// Item states of one Read, freed with their values.
struct States {
    OPCITEMSTATE* p = nullptr;
    DWORD n = 0;
    ~States() {
        if (p) opc::OpcArray<OPCITEMSTATE>::Adopt(p, n); // frees the values and the block
    }
    const OPCITEMSTATE& operator[](std::size_t i) const { return p[i]; }
};

double AsDouble(const VARIANT& v) {
    VARIANT d;
    VariantInit(&d);
    EXPECT_EQ(VariantChangeType(&d, const_cast<VARIANT*>(&v), 0, VT_R8), S_OK);
    return V_R8(&d);
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

VARIANT R8(double value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    V_R8(&v) = value;
    return v;
}

TEST_F(SyncIO, ReadAndWriteRefuseMissingArgumentsAndClearOutputs) {
    OPCHANDLE handle = AddOne(L"Plant.Line.Temp.Value");
    VARIANT value = R8(1.0);
    for (DWORD count : {0u, 1u}) {
        for (bool handles : {false, true}) {
            for (bool values : {false, true}) {
                for (bool errorsGiven : {false, true}) {
                    if (count && handles && values && errorsGiven) continue;
                    OPCHANDLE* h = handles ? &handle : nullptr;
                    OPCITEMSTATE* states = reinterpret_cast<OPCITEMSTATE*>(1);
                    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
                    HRESULT** e = errorsGiven ? &errors : nullptr;
                    EXPECT_EQ(group->Read(OPC_DS_CACHE, count, h, values ? &states : nullptr, e), E_INVALIDARG);
                    if (values) {
                        EXPECT_EQ(states, nullptr);
                    }
                    if (errorsGiven) {
                        EXPECT_EQ(errors, nullptr);
                    }
                    errors = reinterpret_cast<HRESULT*>(1);
                    EXPECT_EQ(group->Write(count, h, values ? &value : nullptr, e), E_INVALIDARG);
                    if (errorsGiven) {
                        EXPECT_EQ(errors, nullptr);
                    }
                }
            }
        }
    }
    EXPECT_EQ(fake.Calls("SetChannelDouble"), 0);
}

TEST_F(SyncIO, CacheReadOfAValidAndAnUnknownHandle) {
    OPCHANDLE handles[] = {AddOne(L"Plant.Line.Temp.Value", 31), 999};
    const int readsBefore = fake.Calls("GetChannelFloat");
    States states;
    states.n = 2;
    Out<HRESULT> errors;
    ASSERT_EQ(group->Read(OPC_DS_CACHE, 2, handles, &states.p, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    EXPECT_EQ(states[0].hClient, 31u);
    EXPECT_EQ(V_VT(&states[0].vDataValue), VT_R4);
    EXPECT_EQ(V_R4(&states[0].vDataValue), 21.5f);
    EXPECT_EQ(states[0].wQuality, opc::kQualityGood);
    EXPECT_TRUE(SameTime(states[0].ftTimeStamp, opc::ToFileTime(opc::ServiceClock::now())));
    const OPCITEMSTATE& unknown = states[1];
    EXPECT_EQ(unknown.hClient, 0u);
    EXPECT_EQ(V_VT(&unknown.vDataValue), VT_EMPTY);
    EXPECT_EQ(unknown.wQuality, 0);
    EXPECT_EQ(unknown.ftTimeStamp.dwLowDateTime | unknown.ftTimeStamp.dwHighDateTime, 0u);
    EXPECT_EQ(fake.Calls("GetChannelFloat"), readsBefore); // no runtime call for a cache read
}

TEST_F(SyncIO, EverySourceButTheCacheReadsTheDevice) {
    OPCHANDLE handle = AddOne(L"Plant.Line.Temp.Value");
    fake.Channel(7).Set(2, 40.0f); // not scanned yet: the cache still has 21.5
    for (DWORD source : {DWORD(OPC_DS_DEVICE), DWORD(7), DWORD(0)}) {
        SCOPED_TRACE(source);
        const int reads = fake.Calls("GetChannelFloat", 7, 2);
        const int running = fake.Calls("IsNodeRunning");
        States states;
        states.n = 1;
        Out<HRESULT> errors;
        ASSERT_EQ(group->Read(static_cast<OPCDATASOURCE>(source), 1, &handle, &states.p, &errors), S_OK);
        EXPECT_EQ(AsDouble(states[0].vDataValue), 40.0);
        EXPECT_EQ(states[0].wQuality, opc::kQualityGood);
        EXPECT_FALSE(SameTime(states[0].ftTimeStamp, opc::ToFileTime(opc::ServiceClock::now()))); // now, not the scan
        EXPECT_EQ(fake.Calls("GetChannelFloat", 7, 2), reads + 1);
        EXPECT_EQ(fake.Calls("IsNodeRunning"), running + 1);
    }
    States cached;
    cached.n = 1;
    Out<HRESULT> errors;
    ASSERT_EQ(group->Read(OPC_DS_CACHE, 1, &handle, &cached.p, &errors), S_OK);
    EXPECT_EQ(AsDouble(cached[0].vDataValue), 21.5);
    fake.SetRunning(false);
    States device;
    device.n = 1;
    Out<HRESULT> deviceErrors;
    ASSERT_EQ(group->Read(OPC_DS_DEVICE, 1, &handle, &device.p, &deviceErrors), S_OK);
    EXPECT_EQ(device[0].wQuality, opc::kQualityOutOfService);
}

TEST_F(SyncIO, ReadsDeliverTheRequestedTypeAndIgnoreActiveStates) {
    const auto h = Add({Def(L"Plant.Line.Temp.Value", 1, VT_R8), Def(L"Plant.Line.Pump.Value", 2, VT_LPWSTR),
                        Def(L"Plant.Line.Pump.Value", 3, VT_BSTR, FALSE)});
    BOOL inactive = FALSE;
    DWORD revised = 0;
    ASSERT_EQ(group->SetState(nullptr, &revised, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);
    OPCHANDLE handles[] = {h[0], h[1], h[2]};
    States states;
    states.n = 3;
    Out<HRESULT> errors;
    ASSERT_EQ(group->Read(OPC_DS_CACHE, 3, handles, &states.p, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(V_VT(&states[0].vDataValue), VT_R8);
    EXPECT_EQ(V_R8(&states[0].vDataValue), 21.5);
    EXPECT_EQ(states[0].wQuality, opc::kQualityGood); // inactive item, inactive group: still the cached quality
    EXPECT_TRUE(FAILED(errors[1]));                    // no value is delivered as VT_LPWSTR
    EXPECT_EQ(states[1].hClient, 2u);
    EXPECT_EQ(errors[2], S_OK); // VT_BSTR of an integer attribute comes from the device
    ASSERT_EQ(V_VT(&states[2].vDataValue), VT_BSTR);
    EXPECT_EQ(std::wstring(V_BSTR(&states[2].vDataValue)), L"5");
}

TEST_F(SyncIO, WriteChecksHandlesAndRightsBeforeCallingTheRuntime) {
    const auto h = Add({Def(L"Plant.Line.Temp.Value", 1), Def(L"Plant.Line.Temp.A0", 2)});
    OPCHANDLE handles[] = {h[0], h[1], 999};
    VARIANT values[] = {R8(30.0), R8(7.0), R8(8.0)};
    Out<HRESULT> errors;
    ASSERT_EQ(group->Write(3, handles, values, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_BADRIGHTS);
    EXPECT_EQ(errors[2], OPC_E_INVALIDHANDLE);
    EXPECT_EQ(fake.Calls("SetChannelDouble"), 1); // the read-only attribute was not written
    EXPECT_EQ(fake.Calls("SetChannelDouble", 7, 0), 0);
    ASSERT_TRUE(fake.Get(7, 2).has_value());
    EXPECT_EQ(std::get<double>(*fake.Get(7, 2)), 30.0);
    EXPECT_EQ(std::get<float>(*fake.Get(7, 0)), 1.0f);

    // The cache shows the written value after the next scan.
    OPCHANDLE first = h[0];
    {
        States states;
        states.n = 1;
        Out<HRESULT> readErrors;
        ASSERT_EQ(group->Read(OPC_DS_CACHE, 1, &first, &states.p, &readErrors), S_OK);
        EXPECT_EQ(AsDouble(states[0].vDataValue), 21.5);
    }
    Step();
    States states;
    states.n = 1;
    Out<HRESULT> readErrors;
    ASSERT_EQ(group->Read(OPC_DS_CACHE, 1, &first, &states.p, &readErrors), S_OK);
    EXPECT_EQ(AsDouble(states[0].vDataValue), 30.0);
}

TEST_F(SyncIO, WritePerItemResultsOfTheConversion) {
    const auto h = Add({Def(L"Plant.Line.Pump.Value"), Def(L"Plant.Line.Broken.Value"), Def(L"Plant.Line.Temp.Value")});
    fake.Fail("GetChannelInt", 10, 48); // the rights of "Broken" cannot be read
    VARIANT empty;
    VariantInit(&empty);
    OPCHANDLE handles[] = {h[0], h[1], h[2]};
    VARIANT values[] = {R8(3.0), R8(4.0), empty};
    Out<HRESULT> errors;
    ASSERT_EQ(group->Write(3, handles, values, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], E_FAIL);
    EXPECT_EQ(errors[2], OPC_E_BADTYPE);
    EXPECT_EQ(fake.Calls("SetChannelDouble", 10, 2), 0);
}

TEST_F(SyncIO, RemovedGroupAndShutdownRefuseReadAndWrite) {
    OPCHANDLE handle = AddOne(L"Plant.Line.Temp.Value");
    VARIANT value = R8(1.0);
    for (int round = 0; round < 2; ++round) {
        if (round == 0) module.SetShuttingDown(true);
        if (round == 1) {
            module.SetShuttingDown(false);
            group->MarkRemoved();
        }
        OPCITEMSTATE* states = nullptr;
        Out<HRESULT> errors;
        EXPECT_EQ(group->Read(OPC_DS_CACHE, 1, &handle, &states, &errors), E_FAIL);
        EXPECT_EQ(states, nullptr);
        EXPECT_EQ(group->Write(1, &handle, &value, &errors), E_FAIL);
        EXPECT_FALSE(errors);
    }
    EXPECT_EQ(fake.Calls("SetChannelDouble"), 0);
}

} // namespace
} // namespace lx_group_tests
