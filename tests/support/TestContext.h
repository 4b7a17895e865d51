// A process context for in-process tests of the OPC objects and the panel: it is the
// current context while it lives, and the thread is in COM's multithreaded apartment
// for as long (as the server's main thread is).
#pragma once

#include <windows.h>
#include <objbase.h>

#include "context/ProcessContext.h"

namespace lx::test {

class MultithreadedApartment {
public:
    MultithreadedApartment() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~MultithreadedApartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    MultithreadedApartment(const MultithreadedApartment&) = delete;
    MultithreadedApartment& operator=(const MultithreadedApartment&) = delete;

private:
    HRESULT result_;
};

class TestContext : private MultithreadedApartment, public ProcessContext {};

} // namespace lx::test
