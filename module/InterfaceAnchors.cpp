#include "module/InterfaceAnchors.h"

#include <ocidl.h>

#include "opccomn.h"
#include "opcda.h"

namespace lx {
namespace {

// The interfaces whose stubs clients reach: the server object's, the groups', the connection
// points' and the enumerators'.
const IID* const kInterfaces[] = {
    &IID_IUnknown,
    &IID_IOPCCommon,
    &IID_IOPCServer,
    &IID_IOPCBrowseServerAddressSpace,
    &IID_IOPCItemProperties,
    &IID_IConnectionPointContainer,
    &IID_IConnectionPoint,
    &IID_IEnumConnectionPoints,
    &IID_IEnumConnections,
    &IID_IOPCGroupStateMgt,
    &IID_IOPCItemMgt,
    &IID_IOPCSyncIO,
    &IID_IOPCAsyncIO2,
    &IID_IEnumString,
    &IID_IEnumUnknown,
    &IID_IEnumOPCItemAttributes,
};

// The object behind the anchored stubs. Its marshalled references stay in streams of this
// process and are never unmarshalled, so no call ever reaches it; it answers QueryInterface
// for the anchored interfaces (the stubs ask for them) and nothing else. Static: it outlives
// every stub.
class Anchor final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        for (const IID* iid : kInterfaces) {
            if (InlineIsEqualGUID(riid, *iid)) {
                *object = static_cast<IUnknown*>(this);
                return S_OK;
            }
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};

Anchor g_anchor;

} // namespace

void InterfaceAnchors::Hold() noexcept {
    if (!streams_.empty()) return;
    try {
        streams_.reserve(sizeof(kInterfaces) / sizeof(kInterfaces[0]));
    } catch (...) {
        return;
    }
    for (const IID* iid : kInterfaces) {
        IStream* stream = nullptr;
        if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) continue;
        if (FAILED(CoMarshalInterface(stream, *iid, &g_anchor, MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG))) {
            stream->Release();
            continue;
        }
        streams_.push_back(stream); // reserved above: does not throw
    }
}

void InterfaceAnchors::Release() noexcept {
    for (IStream* stream : streams_) {
        const LARGE_INTEGER start = {};
        if (SUCCEEDED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) CoReleaseMarshalData(stream);
        stream->Release();
    }
    streams_.clear();
}

} // namespace lx
