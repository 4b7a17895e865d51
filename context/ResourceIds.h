// Ids of the string resources, the texts shown when one cannot be loaded, and the
// per-user configuration key: shared by the module, the runtime binding and the panel.
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

// Texts shown when a string resource cannot be loaded.
inline constexpr const wchar_t* kFallbackText = L"ERROR!!!";
inline constexpr const wchar_t* kFallbackCaption = L"Velmara 6 OPC Server";
// The control panel's window title; a second instance searches for the same text.
inline constexpr const wchar_t* kFallbackTitle = L"VELMARA 6 OPC Server";

// The per-user configuration key and its values.
inline constexpr const wchar_t* kConfigKey = L"Software\\CorvanE\\VELMARA\\6\\OPC\\SERVER";
inline constexpr const wchar_t* kNodeFilePathValue = L"NodeFilePath";
// Its subkey with the panel's layout (values "Frame" and "View").
inline constexpr const wchar_t* kUiKey = L"Software\\CorvanE\\VELMARA\\6\\OPC\\SERVER\\UI";

} // namespace lx
