/* Declarations that MinGW-w64 provides only to C++ and that widl's C proxy files use. */
#ifndef LX_IDL_PROXY_DECLS_H
#define LX_IDL_PROXY_DECLS_H
#include <objbase.h>
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown *This, REFIID riid, void **ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown *This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown *This);
#endif
