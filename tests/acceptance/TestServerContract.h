// What the acceptance tests and their tiny stand-in OPC server (acceptance_test_server.exe) agree on.
// The stand-in exists to prove the proxy/stub DLL across processes on its own: its answers are fixed and
// simple, so that any difference the client sees comes from marshalling.
#pragma once

#include <windows.h>

namespace acceptance {

// {C3991074-F101-44AA-9812-DF630E86922B}
inline constexpr CLSID kTestServerClsid = {0xC3991074, 0xF101, 0x44AA,
                                           {0x98, 0x12, 0xDF, 0x63, 0x0E, 0x86, 0x92, 0x2B}};
inline constexpr wchar_t kTestServerExe[] = L"acceptance_test_server.exe";

inline constexpr HRESULT kKnownError = static_cast<HRESULT>(0xC0040007);  // OPC_E_UNKNOWNITEMID
inline constexpr wchar_t kKnownErrorEnglish[] =
    L"The item ID is not defined in the server address space or no longer exists in the server address space.";
inline constexpr wchar_t kKnownErrorRussian[] =
    L"Идентификатор элемента не определён в адресном пространстве сервера или больше не существует в нём.";

inline constexpr wchar_t kVendorInfo[] = L"Стенд приёмочных испытаний / acceptance stand";
inline constexpr wchar_t kItemIdPrefix[] = L"Plant.";    // GetItemID: prefix + szItemDataID
inline constexpr DWORD kUnknownProperty = 9999;           // LookupItemIDs: NULL string and an error
inline constexpr LONG kNoTimeBias = 0x7FFFFFFF;           // GetState's time bias when AddGroup got none

// SetClientName commands: make the server call the advised IOPCShutdown sinks from its RPC thread.
inline constexpr wchar_t kCommandShutdown[] = L"test:shutdown";          // ShutdownRequest(kShutdownReason)
inline constexpr wchar_t kCommandShutdownNull[] = L"test:shutdown-null";  // ShutdownRequest(NULL); its result
inline constexpr wchar_t kShutdownReason[] = L"Сервер останавливается";

}  // namespace acceptance
