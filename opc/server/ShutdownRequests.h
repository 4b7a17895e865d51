// IOPCShutdown::ShutdownRequest sent without waiting for the client: every call runs on a thread of its own.
// A client whose ShutdownRequest does not return then holds only that thread: neither the thread that raised
// the notice (the window thread, whose Exit must go on to its waits and its forced teardown) nor the notices of
// the other clients. A request still under way when the process ends is abandoned with it.
#pragma once

#include <windows.h>

#include <functional>

#include "opc/com/ComObject.h"
#include "opccomn.h"

namespace opc::server {

// Calls sink->ShutdownRequest with an empty reason on a new thread (in the multithreaded apartment) and returns
// at once; `answered(sink, result)` runs on that thread after the call. If no thread can be started, the call
// is made on the caller's thread.
void SendShutdownRequestAsync(com::ComPtr<IOPCShutdown> sink,
                              std::function<void(IOPCShutdown* sink, HRESULT result)> answered);

// Waits until every request sent so far has been answered, at most `limitMs`; true if none is left.
bool WaitForShutdownRequests(DWORD limitMs);

} // namespace opc::server
