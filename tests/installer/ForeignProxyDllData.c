/* Another vendor's OPC proxy/stub DLL, as the installer test finds one already registered for IOPCServer: the
 * same NDR proxies as ours under another class, registered by the test itself (it exports no registration). */
#define LX_PROXY_CLSID_IS { 0x5B0E7C21, 0x8F3A, 0x4D6E, { 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18 } }
#include "ProxyDllData.c"
