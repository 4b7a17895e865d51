// One queued asynchronous request of a group (IOPCAsyncIO2): a read, a write or a
// refresh under the client's transaction id, waiting in the group's FIFO list until a
// job of the update service takes it off the front and completes it.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "opc/server/OpcArray.h"

namespace opc {

struct AsyncTransaction {
    enum class Kind : int { Read = 0, Write = 1, Refresh = 2 };

    Kind kind = Kind::Read;
    DWORD transactionId = 0;     // the client's id; also the cancel id
    bool cancelled = false;      // set by Cancel2
    OpcArray<DWORD> handles;     // read and write: the valid server handles, in request order
    OpcArray<VARIANT> values;    // write: the value for each handle, at the same position
};

} // namespace opc
