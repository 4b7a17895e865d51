// The entry points of dllNRK32.dll: one runtime per process.
#include <nrk/NRK_Server.h>

#include "../Runtime.h"

#include <new>

namespace {

// The runtime lives as long as the process: it is never destroyed, because a
// destructor run while the library unloads would join the simulation thread
// under the loader lock. The server stops and unloads the node itself.
nrk::Runtime& runtime() {
    alignas(nrk::Runtime) static unsigned char storage[sizeof(nrk::Runtime)];
    static nrk::Runtime* instance = ::new (storage) nrk::Runtime();
    return *instance;
}

} // namespace

extern "C" NRK_API bool NRK_GET_INTERFACE(int version, NRK_Server** server) {
    if (!server) return false;
    *server = nullptr;
    if (version != 0) return false;
    try {
        *server = &runtime();
        return true;
    } catch (...) {
        return false;
    }
}

extern "C" NRK_API bool NRK_GetLastError(char* text, int size) {
    try {
        return runtime().CopyLastError(text, size);
    } catch (...) {
        return false;
    }
}
