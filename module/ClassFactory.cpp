#include "module/ClassFactory.h"

#include "context/ProcessContext.h"
#include "opc/server/ClientWatch.h"
#include "opc/server/ServerFactory.h"

namespace lx {

HRESULT STDMETHODCALLTYPE ClassFactory::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ClassFactory::AddRef() { return ++references_; }

ULONG STDMETHODCALLTYPE ClassFactory::Release() { return --references_; }

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    // A client in another process is watched by its server object, which it then cannot outlive
    // (COM under Wine never tells when a client dies holding references).
    return opc::server::da::com::CreateServerObject(riid, object, opc::server::CallingProcessId());
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL lock) {
    if (lock)
        context_.Lock();
    else
        context_.Unlock();
    return S_OK;
}

} // namespace lx
