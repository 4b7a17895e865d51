#include "opc/server/ShutdownRequests.h"

#include <objbase.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace opc::server {

namespace {

// The requests under way. Never destroyed: a request may still be waiting for its client while the
// process runs its exit code.
struct Outstanding {
    std::mutex lock;
    std::condition_variable none;
    std::size_t count = 0;
};

Outstanding& Requests() {
    static Outstanding* requests = new Outstanding;
    return *requests;
}

class Request {
public:
    Request(com::ComPtr<IOPCShutdown> sink, std::function<void(IOPCShutdown*, HRESULT)> answered)
        : sink_(std::move(sink)), answered_(std::move(answered)) {
        std::lock_guard<std::mutex> hold(Requests().lock);
        ++Requests().count;
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    void Run() noexcept {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        // The reason is an empty text, never NULL: a NULL [string] cannot cross processes, and the client would
        // never hear of the shutdown.
        const HRESULT hr = sink_->ShutdownRequest(L"");
        try {
            if (answered_) answered_(sink_.Get(), hr);
        } catch (...) {
        }
        answered_ = nullptr;
        sink_.Reset();
        if (SUCCEEDED(init)) CoUninitialize();
        Outstanding& requests = Requests();
        std::lock_guard<std::mutex> hold(requests.lock);
        if (--requests.count == 0) requests.none.notify_all();
    }

private:
    com::ComPtr<IOPCShutdown> sink_;
    std::function<void(IOPCShutdown*, HRESULT)> answered_;
};

} // namespace

void SendShutdownRequestAsync(com::ComPtr<IOPCShutdown> sink,
                              std::function<void(IOPCShutdown* sink, HRESULT result)> answered) {
    if (!sink) return;
    auto request = std::make_shared<Request>(std::move(sink), std::move(answered));
    try {
        std::thread([request] { request->Run(); }).detach();
    } catch (const std::system_error&) {
        request->Run();
    }
}

bool WaitForShutdownRequests(DWORD limitMs) {
    Outstanding& requests = Requests();
    std::unique_lock<std::mutex> hold(requests.lock);
    return requests.none.wait_for(hold, std::chrono::milliseconds(limitMs), [&] { return requests.count == 0; });
}

} // namespace opc::server
