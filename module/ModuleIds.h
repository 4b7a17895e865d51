// Identities and resource ids of the server executable.
#pragma once

#include <windows.h>

namespace lx {

// String resources (English and Russian string tables).
enum StringId : UINT {
    IDS_PRODUCT = 200,            // window title and caption of every message box
    IDS_COLUMN_NAME = 1002,
    IDS_COLUMN_VALUE = 1003,
    IDS_CLIENTS_CONNECTED = 2000,
    IDS_NODE_NOT_DEFINED = 4096,
    IDS_NODE_NOT_FOUND = 4097,
    IDS_NODE_LOAD_FAILED = 4098,
    IDS_NODE_START_FAILED = 4099,
    IDS_NODE_STOP_FAILED = 4100,
    IDS_OUT_OF_MEMORY = 4101,
    IDS_INVALID_NODE_TYPE = 4103,
};

// Registry script resource ids (type "REGISTRY").
enum ScriptId : int {
    SCRIPT_APPID = 101,
    SCRIPT_SERVER_CLASS = 102,
    SCRIPT_NODE_PATH = 104,
    SCRIPT_EARLIER_VERSION = 105,
};

// Texts shown when a string resource cannot be loaded.
inline constexpr const wchar_t* kFallbackText = L"ERROR!!!";
inline constexpr const wchar_t* kFallbackCaption = L"Velmara 6 OPC Server";
// The control panel's window title; a second instance searches for the same text.
inline constexpr const wchar_t* kFallbackTitle = L"VELMARA 6 OPC Server";

inline constexpr const wchar_t* kInstanceMutexName = L"VELMARA_6_OPC_SERVER";

// The per-user configuration key and its values.
inline constexpr const wchar_t* kConfigKey = L"Software\\CorvanE\\VELMARA\\6\\OPC\\SERVER";
inline constexpr const wchar_t* kNodeFilePathValue = L"NodeFilePath";

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
