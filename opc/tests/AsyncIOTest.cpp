// IOPCAsyncIO2 of the group: requests, transactions in the group's list, the jobs that
// complete them on the update service, cancellation and the callbacks.
#include "opc/tests/GroupFixture.h"

#include <future>

namespace lx_group_tests {
namespace {

// Holds the update service's worker in a job until released, so that requests stay
// queued meanwhile.
class WorkerBlock {
public:
    explicit WorkerBlock(opc::UpdateService& service) {
        auto started = std::make_shared<std::promise<void>>();
        auto entered = started->get_future();
        std::shared_future<void> gate = release_.get_future().share();
        service.Post([started, gate] {
            started->set_value();
            gate.wait();
        });
        entered.wait();
    }
    ~WorkerBlock() { Release(); }
    void Release() {
        if (!released_) release_.set_value();
        released_ = true;
    }

private:
    std::promise<void> release_;
    bool released_ = false;
};

class AsyncIO : public GroupTest {
protected:
    AsyncIO() {
        sink = Advise();
        temp = AddOne(L"Plant.Line.Temp.Value", 101);
        pump = AddOne(L"Plant.Line.Pump.Value", 102);
        a0 = AddOne(L"Plant.Line.Temp.A0", 103); // read-only
        Idle();
        sink->Clear();
    }

    HRESULT Read(std::vector<OPCHANDLE> handles, DWORD transaction, std::vector<HRESULT>* errorsOut = nullptr) {
        DWORD cancel = 0;
        Out<HRESULT> errors;
        const HRESULT hr = group->Read(static_cast<DWORD>(handles.size()), handles.data(), transaction, &cancel, &errors);
        EXPECT_EQ(cancel, transaction);
        if (errorsOut) {
            errorsOut->clear();
            for (std::size_t i = 0; errors && i < handles.size(); ++i) errorsOut->push_back(errors[i]);
        }
        return hr;
    }
    HRESULT Write(std::vector<OPCHANDLE> handles, std::vector<double> values, DWORD transaction,
                  std::vector<HRESULT>* errorsOut = nullptr) {
        std::vector<VARIANT> variants(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            VariantInit(&variants[i]);
            V_VT(&variants[i]) = VT_R8;
            V_R8(&variants[i]) = values[i];
        }
        DWORD cancel = 0;
        Out<HRESULT> errors;
        const HRESULT hr = group->Write(static_cast<DWORD>(handles.size()), handles.data(), variants.data(),
                                        transaction, &cancel, &errors);
        EXPECT_EQ(cancel, transaction);
        if (errorsOut) {
            errorsOut->clear();
            for (std::size_t i = 0; errors && i < handles.size(); ++i) errorsOut->push_back(errors[i]);
        }
        return hr;
    }
    // The callbacks of one kind, in order.
    std::vector<Callback> Of(Callback::Kind kind) const {
        std::vector<Callback> out;
        for (auto& c : sink->Calls())
            if (c.kind == kind) out.push_back(c);
        return out;
    }

    RecordingSink* sink = nullptr;
    OPCHANDLE temp = 0, pump = 0, a0 = 0;
};

TEST_F(AsyncIO, RequestsRefuseMissingArgumentsAfterSettingTheCancelId) {
    OPCHANDLE handle = temp;
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_I4;
    for (DWORD count : {0u, 1u}) {
        for (bool handles : {false, true}) {
            for (bool cancelGiven : {false, true}) {
                for (bool errorsGiven : {false, true}) {
                    for (bool values : {false, true}) {
                        if (count && handles && cancelGiven && errorsGiven && values) continue;
                        DWORD cancel = 0;
                        HRESULT* errors = reinterpret_cast<HRESULT*>(1);
                        OPCHANDLE* h = handles ? &handle : nullptr;
                        DWORD* c = cancelGiven ? &cancel : nullptr;
                        HRESULT** e = errorsGiven ? &errors : nullptr;
                        if (values) {
                            EXPECT_EQ(group->Read(count, h, 55, c, e), E_INVALIDARG);
                            if (cancelGiven) {
                                EXPECT_EQ(cancel, 55u);
                            }
                            if (errorsGiven) {
                                EXPECT_EQ(errors, nullptr);
                            }
                        }
                        cancel = 0;
                        errors = reinterpret_cast<HRESULT*>(1);
                        EXPECT_EQ(group->Write(count, h, values ? &value : nullptr, 56, c, e), E_INVALIDARG);
                        if (cancelGiven) {
                            EXPECT_EQ(cancel, 56u);
                        }
                        if (errorsGiven) {
                            EXPECT_EQ(errors, nullptr);
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(group->GetEnable(nullptr), E_INVALIDARG);
    Idle();
    EXPECT_EQ(sink->Count(), 0u);
}

TEST_F(AsyncIO, ReadOfAValidAndAnInvalidHandleCompletesWithTheValidOne) {
    std::vector<HRESULT> errors;
    ASSERT_EQ(Read({temp, 999}, 7, &errors), S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
    Idle();
    const auto reads = Of(Callback::ReadComplete);
    ASSERT_EQ(reads.size(), 1u);
    const Callback& c = reads[0];
    EXPECT_EQ(c.transaction, 7u);
    EXPECT_EQ(c.group, 1000u);
    EXPECT_EQ(c.clients, (std::vector<OPCHANDLE>{101}));
    EXPECT_EQ(c.values, (std::vector<double>{21.5}));
    EXPECT_EQ(c.types, (std::vector<VARTYPE>{VT_R4}));
    EXPECT_EQ(c.qualities, (std::vector<WORD>{opc::kQualityGood}));
    EXPECT_EQ(c.masterQuality, S_OK);
    EXPECT_EQ(c.masterError, S_OK);
}

TEST_F(AsyncIO, ReadOfOnlyInvalidHandlesFailsAtOnceWithTheErrors) {
    std::vector<HRESULT> errors;
    EXPECT_EQ(Read({999, 998}, 8, &errors), E_FAIL);
    EXPECT_EQ(errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(group->Cancel2(8), E_FAIL); // nothing was queued
    Idle();
    EXPECT_EQ(sink->Count(), 0u);
}

TEST_F(AsyncIO, WriteCompletesWithClientHandlesAndResultsInRequestOrder) {
    {
        // The jobs take the group's lock: holding it keeps them waiting while the requests are made.
        std::lock_guard<::opc::com::RecursiveLock> hold(group->Core().lock);
        ASSERT_EQ(Write({pump, temp}, {3.0, 33.0}, 9), S_OK);
        std::vector<HRESULT> errors;
        ASSERT_EQ(Write({temp, 999, pump}, {44.0, 1.0, 4.0}, 10, &errors), S_FALSE);
        EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
        EXPECT_EQ(fake.Calls("SetChannelDouble"), 0); // nothing is written before the job
    }
    Idle();
    const auto writes = Of(Callback::WriteComplete);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].transaction, 9u);
    EXPECT_EQ(writes[0].clients, (std::vector<OPCHANDLE>{102, 101}));
    EXPECT_EQ(writes[0].errors, (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(writes[0].masterError, S_OK);
    EXPECT_EQ(writes[1].transaction, 10u);
    EXPECT_EQ(writes[1].clients, (std::vector<OPCHANDLE>{101, 102})); // each valid handle with its own value
    EXPECT_EQ(std::get<double>(*fake.Get(7, 2)), 44.0);
    EXPECT_EQ(std::get<double>(*fake.Get(8, 2)), 4.0);
}

TEST_F(AsyncIO, WriteJobRefusesReadOnlyAttributesAndEmptyValues) {
    VARIANT values[2];
    VariantInit(&values[0]);
    V_VT(&values[0]) = VT_R8;
    V_R8(&values[0]) = 9.0;
    VariantInit(&values[1]); // VT_EMPTY
    OPCHANDLE handles[] = {a0, temp};
    DWORD cancel = 0;
    Out<HRESULT> errors;
    ASSERT_EQ(group->Write(2, handles, values, 11, &cancel, &errors), S_OK);
    Idle();
    const auto writes = Of(Callback::WriteComplete);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].errors, (std::vector<HRESULT>{OPC_E_BADRIGHTS, E_FAIL}));
    EXPECT_EQ(writes[0].masterError, S_FALSE);
    EXPECT_EQ(fake.Calls("SetChannelDouble"), 0);
    EXPECT_EQ(std::get<float>(*fake.Get(7, 0)), 1.0f);
}

TEST_F(AsyncIO, CompletionsComeInRequestOrderAndACancelledOneComesFirst) {
    {
        WorkerBlock block(*service);
        ASSERT_EQ(Read({temp}, 1), S_OK);
        ASSERT_EQ(Write({pump}, {6.0}, 2), S_OK);
        DWORD cancel = 0;
        ASSERT_EQ(group->Refresh2(OPC_DS_CACHE, 3, &cancel), S_OK);
        EXPECT_EQ(cancel, 3u);
        ASSERT_EQ(Read({pump}, 4), S_OK);
        EXPECT_EQ(group->Cancel2(4), S_OK);
        EXPECT_EQ(group->Cancel2(5), E_FAIL); // no such transaction
    }
    Idle();
    const auto calls = sink->Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].kind, Callback::CancelComplete);
    EXPECT_EQ(calls[0].transaction, 4u);
    EXPECT_EQ(calls[0].group, 1000u);
    EXPECT_EQ(calls[1].kind, Callback::ReadComplete);
    EXPECT_EQ(calls[1].transaction, 1u);
    EXPECT_EQ(calls[2].kind, Callback::WriteComplete);
    EXPECT_EQ(calls[2].transaction, 2u);
    EXPECT_EQ(calls[3].kind, Callback::DataChange);
    EXPECT_EQ(calls[3].transaction, 3u);
    EXPECT_EQ(group->Cancel2(1), E_FAIL); // completed: can no longer be cancelled
}

TEST_F(AsyncIO, TransactionIdsNeedNotBeUniqueAndCancelTakesTheFirst) {
    {
        WorkerBlock block(*service);
        ASSERT_EQ(Read({temp}, 5), S_OK);
        ASSERT_EQ(Read({pump}, 5), S_OK);
        EXPECT_EQ(group->Cancel2(5), S_OK);
    }
    Idle();
    const auto calls = sink->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, Callback::CancelComplete);
    EXPECT_EQ(calls[1].kind, Callback::ReadComplete);
    EXPECT_EQ(calls[1].clients, (std::vector<OPCHANDLE>{102})); // the second request was not cancelled
}

TEST_F(AsyncIO, ItemRemovedBeforeTheJobIsReportedInvalid) {
    {
        WorkerBlock block(*service);
        ASSERT_EQ(Read({temp, pump}, 12), S_OK);
        EXPECT_EQ(Remove({temp}), (std::vector<HRESULT>{S_OK}));
        ASSERT_EQ(Write({a0, temp}, {1.0, 2.0}, 13), S_FALSE); // temp is gone already at request time
        ASSERT_EQ(Write({a0}, {1.0}, 14), S_OK);
        EXPECT_EQ(Remove({a0}), (std::vector<HRESULT>{S_OK}));
    }
    Idle();
    const auto reads = Of(Callback::ReadComplete);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].clients, (std::vector<OPCHANDLE>{0, 102}));
    EXPECT_EQ(reads[0].errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_EQ(reads[0].types[0], VT_EMPTY);
    EXPECT_EQ(reads[0].qualities[0], 0);
    EXPECT_EQ(reads[0].masterError, S_FALSE);
    EXPECT_EQ(reads[0].masterQuality, S_FALSE);
    const auto writes = Of(Callback::WriteComplete);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(writes[1].errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(fake.Calls("SetChannelDouble"), 0);
}

TEST_F(AsyncIO, RefreshOfAnInactiveGroupSendsEveryActiveItem) {
    BOOL inactive = FALSE;
    DWORD revised = 0;
    ASSERT_EQ(group->SetState(nullptr, &revised, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);
    OPCHANDLE off = a0;
    Out<HRESULT> errors;
    ASSERT_EQ(group->SetActiveState(1, &off, FALSE, &errors), S_OK);
    ASSERT_EQ(group->SetEnable(FALSE), S_OK); // governs ticks only
    const UtcTime lastCallback = group->LastCallbackTime();
    ASSERT_EQ(group->Refresh2(OPC_DS_DEVICE, 21, nullptr), S_OK); // a NULL cancel id is accepted
    Idle();
    const auto changes = Of(Callback::DataChange);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].transaction, 21u);
    EXPECT_EQ(changes[0].group, 1000u);
    EXPECT_EQ(changes[0].clients, (std::vector<OPCHANDLE>{101, 102})); // ascending server handles, active only
    EXPECT_EQ(changes[0].values, (std::vector<double>{21.5, 5.0}));
    EXPECT_EQ(group->LastCallbackTime(), lastCallback);

    // No active item: accepted, nothing sent.
    OPCHANDLE all[] = {temp, pump};
    Out<HRESULT> more;
    ASSERT_EQ(group->SetActiveState(2, all, FALSE, &more), S_OK);
    sink->Clear();
    ASSERT_EQ(group->Refresh2(OPC_DS_CACHE, 22, nullptr), S_OK);
    Idle();
    EXPECT_EQ(sink->Count(), 0u);
}

TEST_F(AsyncIO, EnableFlagIsReportedAndChangedByTheGroup) {
    BOOL enabled = FALSE;
    EXPECT_EQ(group->GetEnable(&enabled), S_OK);
    EXPECT_EQ(enabled, TRUE);
    EXPECT_EQ(group->SetEnable(FALSE), S_OK);
    EXPECT_EQ(group->GetEnable(&enabled), S_OK);
    EXPECT_EQ(enabled, FALSE);
    EXPECT_EQ(group->SetEnable(5), S_OK);
    EXPECT_EQ(group->GetEnable(&enabled), S_OK);
    EXPECT_EQ(enabled, TRUE);
}

TEST_F(AsyncIO, RequestsQueuedBeforeRemovalStillCompleteButNewOnesAreRefused) {
    {
        WorkerBlock block(*service);
        ASSERT_EQ(Read({temp}, 31), S_OK);
        group->MarkRemoved();
        EXPECT_EQ(Read({temp}, 32), E_FAIL);
        EXPECT_EQ(group->Refresh2(OPC_DS_CACHE, 33, nullptr), E_FAIL);
        EXPECT_EQ(group->Cancel2(31), E_FAIL);
        EXPECT_EQ(group->SetEnable(FALSE), E_FAIL);
        BOOL enabled = FALSE;
        EXPECT_EQ(group->GetEnable(&enabled), E_FAIL);
    }
    Idle();
    const auto calls = sink->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].transaction, 31u);
}

TEST_F(AsyncIO, EverySinkReceivesTheCompletionAndADeadClientIsDropped) {
    RecordingSink* second = Advise();
    sink->Answer(RPC_E_DISCONNECTED);
    ASSERT_EQ(Read({temp}, 41), S_OK);
    Idle();
    ASSERT_EQ(Read({temp}, 42), S_OK);
    Idle();
    EXPECT_EQ(sink->Count(), 1u);   // gone after its failed call
    EXPECT_EQ(second->Count(), 2u); // called although the first sink failed
}

TEST_F(AsyncIO, AnUnadvisedSinkReceivesNoMoreCompletions) {
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(group->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK);
    EXPECT_EQ(point->Unadvise(1), S_OK);
    EXPECT_EQ(point->Unadvise(1), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(Read({temp}, 43), S_OK);
    Idle();
    EXPECT_EQ(sink->Count(), 0u);
}

TEST_F(AsyncIO, TeardownWithQueuedJobsLeavesNothingBehind) {
    ComPtr<Group> other = MakeGroup(2, 2000, true);
    RecordingSink* otherSink = Advise(*other.Get());
    const OPCHANDLE h = Add(*other.Get(), {Def(L"Plant.Line.Temp.Value", 5)}).at(0);
    std::thread teardown;
    {
        WorkerBlock block(*service);
        DWORD cancel = 0;
        Out<HRESULT> errors;
        OPCHANDLE handles[] = {h};
        ASSERT_EQ(other->Read(1, handles, 51, &cancel, &errors), S_OK);
        // The teardown waits for the queued job, which runs once the worker is free.
        teardown = std::thread([&] { other->ForcedTeardown(); });
        Sleep(20);
    }
    teardown.join();
    Idle();
    EXPECT_EQ(otherSink->Count(), 1u);
    DWORD cancel = 0;
    Out<HRESULT> errors;
    OPCHANDLE handles[] = {h};
    EXPECT_EQ(other->Read(1, handles, 52, &cancel, &errors), E_FAIL);
}

} // namespace
} // namespace lx_group_tests
