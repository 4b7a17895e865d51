// Text of an error code for GetErrorString: the program's own message table first
// (English and Russian OPC texts), then the system's.
#pragma once

#include <windows.h>

namespace opc::server {

// On success *text is a task-memory copy (the caller frees it). On failure *text is
// NULL and the result is the last Win32 error as HRESULT (E_FAIL if there is none) or
// E_OUTOFMEMORY. `language` is passed to FormatMessageW as is.
HRESULT LookupErrorText(HRESULT code, DWORD language, LPWSTR* text) noexcept;

// The module whose message table is searched first (default: the executable).
void SetMessageModule(HMODULE module) noexcept;

} // namespace opc::server
