#pragma once
#include <windows.h>
#include "common/ProductKeys.h"

// The manager finds its plug-ins in lists under the product's root key (a subkey of
// HKEY_LOCAL_MACHINE): HKLM\<root>\<list>\{class id} with the values "Module ID", "Enable",
// "Order" and "Type". The list follows from type & 0x00FF0000: 0x01 "Engine Plugins",
// 0x02 "DB Notify Plugins", 0x04 "Queue Plugins", 0x08 "Timer Plugins" (bits 16 to 23).

// This module's entry.
constexpr DWORD kPluginTypeDbNotify = 0x00020001;
constexpr DWORD kPluginOrder = 0x00008000;
constexpr DWORD kPluginEnable = 0xFFFFFFFF;

// Writes the entry, creating the keys as needed. E_INVALIDARG for an unknown type (nothing is
// written); a registry error as HRESULT (writing stops at the first failing value).
HRESULT RegisterPlugin(const wchar_t* root, REFCLSID classId, DWORD type, const wchar_t* moduleId, DWORD order,
                       DWORD enable) noexcept;

// Deletes the entry with everything below it, then the list key when nothing is left in it; the
// root key stays. A missing root key is returned as its error; otherwise the result of looking at
// what the list key still holds.
HRESULT UnregisterPlugin(const wchar_t* root, REFCLSID classId, DWORD type) noexcept;
