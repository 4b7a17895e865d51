// Identities and registry script ids of the server executable (the string ids, their
// fallbacks and the per-user configuration key are in context/ResourceIds.h).
#pragma once

#include <windows.h>

#include "context/ResourceIds.h"

namespace lx {

// Registry script resource ids (type "REGISTRY").
enum ScriptId : int {
    SCRIPT_APPID = 101,
    SCRIPT_SERVER_CLASS = 102,
    SCRIPT_NODE_PATH = 104,
    SCRIPT_EARLIER_VERSION = 105,
};

inline constexpr const wchar_t* kInstanceMutexName = L"VELMARA_6_OPC_SERVER";

// COM identity.
inline constexpr const wchar_t* kServerClsidText = L"{7A3E1C04-5B2D-4F60-9E11-2C8D0B6A4F01}";
inline constexpr const wchar_t* kAppIdText = L"{7A3E1C06-5B2D-4F60-9E11-2C8D0B6A4F01}";
inline constexpr const wchar_t* kLibIdText = L"{7A3E1C03-5B2D-4F60-9E11-2C8D0B6A4F01}";
inline constexpr const wchar_t* kProgId = L"Corvane.LX6.OPC.DA.Server.1";
inline constexpr const wchar_t* kVersionIndependentProgId = L"Corvane.LX6.OPC.DA.Server";

// {7A3E1C04-5B2D-4F60-9E11-2C8D0B6A4F01}
inline constexpr CLSID kServerClsid = {0x7a3e1c04, 0x5b2d, 0x4f60, {0x9e, 0x11, 0x2c, 0x8d, 0x0b, 0x6a, 0x4f, 0x01}};
// {7A3E1C03-5B2D-4F60-9E11-2C8D0B6A4F01}
inline constexpr GUID kLibId = {0x7a3e1c03, 0x5b2d, 0x4f60, {0x9e, 0x11, 0x2c, 0x8d, 0x0b, 0x6a, 0x4f, 0x01}};

} // namespace lx
