// OPC Data Access result codes and quality words used by the server.
// An IDL-generated header may define the same names as macros; each constant
// here is then left to that header (the values are the same).
#pragma once

#include <windows.h>

#ifndef OPC_S_UNSUPPORTEDRATE
#define OPC_S_UNSUPPORTEDRATE ((HRESULT)0x0004000DL)
#endif
#ifndef OPC_S_CLAMP
#define OPC_S_CLAMP ((HRESULT)0x0004000EL)
#endif
#ifndef OPC_S_INUSE
#define OPC_S_INUSE ((HRESULT)0x0004000FL)
#endif
#ifndef OPC_E_INVALIDHANDLE
#define OPC_E_INVALIDHANDLE ((HRESULT)0xC0040001L)
#endif
#ifndef OPC_E_BADTYPE
#define OPC_E_BADTYPE ((HRESULT)0xC0040004L)
#endif
#ifndef OPC_E_PUBLIC
#define OPC_E_PUBLIC ((HRESULT)0xC0040005L)
#endif
#ifndef OPC_E_BADRIGHTS
#define OPC_E_BADRIGHTS ((HRESULT)0xC0040006L)
#endif
#ifndef OPC_E_UNKNOWNITEMID
#define OPC_E_UNKNOWNITEMID ((HRESULT)0xC0040007L)
#endif
#ifndef OPC_E_INVALIDITEMID
#define OPC_E_INVALIDITEMID ((HRESULT)0xC0040008L)
#endif
#ifndef OPC_E_INVALIDFILTER
#define OPC_E_INVALIDFILTER ((HRESULT)0xC0040009L)
#endif
#ifndef OPC_E_UNKNOWNPATH
#define OPC_E_UNKNOWNPATH ((HRESULT)0xC004000AL)
#endif
#ifndef OPC_E_RANGE
#define OPC_E_RANGE ((HRESULT)0xC004000BL)
#endif
#ifndef OPC_E_DUPLICATENAME
#define OPC_E_DUPLICATENAME ((HRESULT)0xC004000CL)
#endif
#ifndef OPC_E_INVALIDCONFIGFILE
#define OPC_E_INVALIDCONFIGFILE ((HRESULT)0xC0040010L)
#endif
#ifndef OPC_E_NOTFOUND
#define OPC_E_NOTFOUND ((HRESULT)0xC0040011L)
#endif
#ifndef OPC_E_INVALID_PID
#define OPC_E_INVALID_PID ((HRESULT)0xC0040203L)
#endif

// Access rights of an item (OPCITEMATTRIBUTES::dwAccessRights).
#ifndef OPC_READABLE
#define OPC_READABLE 0x1
#endif
#ifndef OPC_WRITEABLE
#define OPC_WRITEABLE 0x2
#endif

namespace opc {

// Quality words the server produces.
constexpr WORD kQualityGood = 0xC0;          // OPC_QUALITY_GOOD
constexpr WORD kQualityOutOfService = 0x1C;  // OPC_QUALITY_BAD | OPC_QUALITY_OUT_OF_SERVICE: node not running
constexpr WORD kQualityBad = 0x00;           // OPC_QUALITY_BAD: a read raised an error
constexpr WORD kQualityNeverRead = 0xFFFF;   // a cached value that has never been read

// OPCDATASOURCE: OPC_DS_CACHE is 1; every other value reads the device.
constexpr DWORD kSourceCache = 1;
constexpr DWORD kSourceDevice = 2;

} // namespace opc
