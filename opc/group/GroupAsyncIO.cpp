// IOPCAsyncIO2 of the group: requests queue transactions in the group's FIFO list and
// post one job each to the update service; the jobs complete them on its worker thread
// and hand the completions to the client's delivery queue, which calls the group's
// IOPCDataCallback sinks in the order the jobs ran.
#include <new>
#include <vector>

#include "context/ProcessContext.h"
#include "opc/common/OpcErrors.h"
#include "opc/group/Group.h"
#include "opc/group/ItemWrite.h"

namespace opc::server::da::com {

namespace lx = ::opc::com;

namespace {

NRK_Server* CurrentRuntime() noexcept {
    ::lx::ProcessContext* module = ::lx::ProcessContext::Current();
    return module ? module->Runtime() : nullptr;
}

} // namespace

// ---------------------------------------------------------------------------- requests

void Group::QueueTransaction(std::shared_ptr<Transaction> transaction) {
    transactions_.push_back(std::move(transaction));
    ++core_.busy; // the job counts as a call in progress until it has run
    try {
        std::weak_ptr<Token> weak = token_;
        service_->Post([weak] { AsyncJob(weak); });
    } catch (...) {
        --core_.busy;
        transactions_.pop_back();
        throw;
    }
}

STDMETHODIMP Group::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                         HRESULT** ppErrors) {
    if (pdwCancelID) *pdwCancelID = dwTransactionID;
    return Frame()
        .Clear(ppErrors)
        .Check(dwCount != 0 && phServer && pdwCancelID && ppErrors)
        .Run([&]() -> HRESULT {
            OpcArray<HRESULT> errors(dwCount);
            DWORD valid = 0;
            for (DWORD i = 0; i < dwCount; ++i) {
                if (items_.count(phServer[i]))
                    ++valid;
                else
                    errors.at(i) = OPC_E_INVALIDHANDLE;
            }
            if (valid == 0) {
                *ppErrors = errors.Detach(); // the errors go out with the failure
                return E_FAIL;
            }
            auto transaction = std::make_shared<Transaction>();
            transaction->kind = Transaction::Kind::Read;
            transaction->transactionId = dwTransactionID;
            transaction->handles = OpcArray<DWORD>(valid);
            for (DWORD i = 0, n = 0; i < dwCount; ++i)
                if (errors.at(i) == S_OK) transaction->handles.at(n++) = phServer[i];
            QueueTransaction(std::move(transaction));
            const HRESULT hr = valid == dwCount ? S_OK : S_FALSE;
            *ppErrors = errors.Detach();
            return hr;
        });
}

STDMETHODIMP Group::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                          DWORD* pdwCancelID, HRESULT** ppErrors) {
    if (pdwCancelID) *pdwCancelID = dwTransactionID;
    return Frame()
        .Clear(ppErrors)
        .Check(dwCount != 0 && phServer && pItemValues && pdwCancelID && ppErrors)
        .Run([&]() -> HRESULT {
            OpcArray<HRESULT> errors(dwCount);
            std::vector<DWORD> positions;
            for (DWORD i = 0; i < dwCount; ++i) {
                if (items_.count(phServer[i]))
                    positions.push_back(i);
                else
                    errors.at(i) = OPC_E_INVALIDHANDLE;
            }
            auto transaction = std::make_shared<Transaction>();
            transaction->kind = Transaction::Kind::Write;
            transaction->transactionId = dwTransactionID;
            transaction->handles = OpcArray<DWORD>(static_cast<std::uint32_t>(positions.size()));
            transaction->values = OpcArray<VARIANT>(static_cast<std::uint32_t>(positions.size()));
            DWORD n = 0;
            for (DWORD i : positions) {
                // A value that cannot be copied (a malformed VARIANT) fails that item
                // only; it is not queued.
                const HRESULT copied = VariantCopy(&transaction->values.at(n), &pItemValues[i]);
                if (copied == E_OUTOFMEMORY) throw std::bad_alloc();
                if (FAILED(copied)) {
                    VariantInit(&transaction->values.at(n));
                    errors.at(i) = copied;
                    continue;
                }
                transaction->handles.at(n++) = phServer[i];
            }
            if (n == 0) {
                *ppErrors = errors.Detach();
                return E_FAIL;
            }
            if (n != positions.size()) { // shrink to the values that were copied
                OpcArray<DWORD> handles(n);
                OpcArray<VARIANT> values(n);
                for (DWORD k = 0; k < n; ++k) {
                    handles.at(k) = transaction->handles.at(k);
                    values.at(k) = transaction->values.at(k);
                    VariantInit(&transaction->values.at(k));
                }
                transaction->handles = std::move(handles);
                transaction->values = std::move(values);
            }
            QueueTransaction(std::move(transaction));
            const HRESULT hr = n == dwCount ? S_OK : S_FALSE;
            *ppErrors = errors.Detach();
            return hr;
        });
}

STDMETHODIMP Group::Refresh2(OPCDATASOURCE /*dwSource*/, DWORD dwTransactionID, DWORD* pdwCancelID) {
    if (pdwCancelID) *pdwCancelID = dwTransactionID;
    return Frame().Run([&]() -> HRESULT {
        auto transaction = std::make_shared<Transaction>();
        transaction->kind = Transaction::Kind::Refresh;
        transaction->transactionId = dwTransactionID;
        QueueTransaction(std::move(transaction));
        return S_OK;
    });
}

STDMETHODIMP Group::Cancel2(DWORD dwCancelID) {
    return Frame().Run([&]() -> HRESULT {
        for (auto it = transactions_.begin(); it != transactions_.end(); ++it) {
            if ((*it)->transactionId != dwCancelID) continue;
            (*it)->cancelled = true;
            // The next job completes it, ahead of those queued before it.
            transactions_.splice(transactions_.begin(), transactions_, it);
            return S_OK;
        }
        return E_FAIL; // none queued (a job may have taken it already)
    });
}

STDMETHODIMP Group::SetEnable(BOOL bEnable) {
    return Frame().Run([&]() -> HRESULT {
        callbacksEnabled_ = bEnable != FALSE;
        return S_OK;
    });
}

STDMETHODIMP Group::GetEnable(BOOL* pbEnable) {
    return Frame().Check(pbEnable != nullptr).Run([&]() -> HRESULT {
        *pbEnable = callbacksEnabled_ ? TRUE : FALSE;
        return S_OK;
    });
}

// ---------------------------------------------------------------------------- jobs

void Group::AsyncJob(const std::weak_ptr<Token>& weak) noexcept {
    auto token = weak.lock();
    if (!token) return; // torn down: nothing to do
    Token::Pin group = token->PinOwner();
    if (group) group->RunAsyncJob();
}

void Group::RunAsyncJob() noexcept {
    {
        // The removed flag is not consulted: requests queued before a RemoveGroup complete.
        std::lock_guard<::opc::com::RecursiveLock> hold(core_.lock);
        try {
            if (!transactions_.empty()) {
                // The front transaction: not necessarily the one whose request posted this job.
                std::shared_ptr<Transaction> transaction = std::move(transactions_.front());
                transactions_.pop_front();
                const DWORD id = transaction->transactionId;
                const OPCHANDLE group = clientHandle_;
                if (transaction->cancelled) {
                    Deliver([id, group](IOPCDataCallback* sink) { return sink->OnCancelComplete(id, group); });
                } else {
                    switch (transaction->kind) {
                    case Transaction::Kind::Read:
                        CompleteRead(*transaction);
                        break;
                    case Transaction::Kind::Write:
                        CompleteWrite(*transaction);
                        break;
                    case Transaction::Kind::Refresh:
                        // Every active item (or, for id 0, those changed since the last
                        // callback), whatever the group's active and enabled states; the
                        // last-callback time stays.
                        SendDataChange(id);
                        break;
                    }
                }
            }
        } catch (...) {
            // The job ends without a callback; its transaction is lost.
        }
    }
    --core_.busy;
}

namespace {
// The arrays of one completion, kept until every sink has been called.
struct ReadCompletion {
    explicit ReadCompletion(DWORD count)
        : handles(count), values(count), qualities(count), times(count), errors(count) {}
    OpcArray<OPCHANDLE> handles;
    OpcArray<VARIANT> values;
    OpcArray<WORD> qualities;
    OpcArray<FILETIME> times;
    OpcArray<HRESULT> errors;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
};
struct WriteCompletion {
    explicit WriteCompletion(DWORD count) : handles(count), errors(count) {}
    OpcArray<OPCHANDLE> handles;
    OpcArray<HRESULT> errors;
    HRESULT masterError = S_OK;
};
} // namespace

void Group::CompleteRead(const Transaction& transaction) {
    if (!dataPoint_.HasSinks()) return; // nobody to tell
    const DWORD count = transaction.handles.size();
    auto done = std::make_shared<ReadCompletion>(count);
    NRK_Server* runtime = CurrentRuntime();
    for (DWORD i = 0; i < count; ++i) {
        const GroupItem* found = items_.Find(transaction.handles.at(i));
        if (!found) { // removed since the request
            done->errors.at(i) = OPC_E_INVALIDHANDLE;
            done->masterQuality = done->masterError = S_FALSE;
            continue;
        }
        const GroupItem& item = *found;
        DeliveredValue delivered = DeliverGroupItem(item, kSourceCache, runtime);
        done->handles.at(i) = item.clientHandle;
        delivered.value.Detach(&done->values.at(i));
        done->qualities.at(i) = delivered.quality;
        done->times.at(i) = delivered.timestamp;
        done->errors.at(i) = delivered.result;
        if (delivered.quality != kQualityGood) done->masterQuality = S_FALSE;
        if (delivered.result != S_OK) done->masterError = S_FALSE;
    }
    const DWORD id = transaction.transactionId;
    const OPCHANDLE group = clientHandle_;
    Deliver([done, id, group, count](IOPCDataCallback* sink) {
        ReadCompletion& d = *done;
        return sink->OnReadComplete(id, group, d.masterQuality, d.masterError, count, d.handles.data(),
                                    d.values.data(), d.qualities.data(), d.times.data(), d.errors.data());
    });
}

void Group::CompleteWrite(const Transaction& transaction) {
    const DWORD count = transaction.handles.size();
    auto done = std::make_shared<WriteCompletion>(count);
    NRK_Server* runtime = CurrentRuntime();
    for (DWORD i = 0; i < count; ++i) {
        const GroupItem* found = items_.Find(transaction.handles.at(i));
        HRESULT hr = OPC_E_INVALIDHANDLE;
        if (found) {
            const VARIANT& value = transaction.values.at(i);
            done->handles.at(i) = found->clientHandle;
            // Read-only attributes are refused here as in synchronous writes.
            hr = V_VT(&value) == VT_EMPTY ? E_FAIL : WriteGroupItem(*found, value, runtime);
        }
        done->errors.at(i) = hr;
        if (hr != S_OK) done->masterError = S_FALSE;
    }
    const DWORD id = transaction.transactionId;
    const OPCHANDLE group = clientHandle_;
    Deliver([done, id, group, count](IOPCDataCallback* sink) {
        return sink->OnWriteComplete(id, group, done->masterError, count, done->handles.data(),
                                     done->errors.data());
    });
}

} // namespace opc::server::da::com
