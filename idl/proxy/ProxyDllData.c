/* Class factory, GetProxyDllInfo and DllMain of the proxy/stub DLL, from widl's dlldata.c.
 * The NDR registration routines are renamed: DllRegisterServer and DllUnregisterServer are our own
 * (ProxyRegistration.cpp), so that registration never silently replaces another vendor's proxies. */
#define REGISTER_PROXY_DLL
/* A test build of another vendor's proxy DLL (same interfaces, another class) defines its own class first. */
#ifndef LX_PROXY_CLSID_IS
#define LX_PROXY_CLSID_IS { 0xF892DF06, 0x6364, 0x42EC, { 0x94, 0x50, 0x9C, 0xB6, 0x63, 0xF7, 0x12, 0x55 } }
#endif
#define PROXY_CLSID_IS LX_PROXY_CLSID_IS
#define DllRegisterServer LxNdrDllRegisterServer
#define DllUnregisterServer LxNdrDllUnregisterServer
#include "dlldata.c"

/* For the registration code (C++, which cannot include rpcproxy.h): interface `index` of the proxy file
 * list with its IID, name and method count (IUnknown's included); 0 past the end. */
int LxProxyInterface(unsigned index, const IID **iid, const char **name, unsigned long *methods)
{
    const ProxyFileInfo *const *file;
    for (file = aProxyFileList; *file; ++file)
    {
        if (index < (*file)->TableSize)
        {
            *iid = (*file)->pStubVtblList[index]->header.piid;
            *name = (*file)->pNamesArray[index];
            *methods = (*file)->pStubVtblList[index]->header.DispatchTableCount;
            return 1;
        }
        index -= (*file)->TableSize;
    }
    return 0;
}

const CLSID *LxProxyClsid(void) { return &CLSID_PSFactoryBuffer; }

HINSTANCE LxProxyModule(void) { return hProxyDll; }
