#pragma once
#include <windows.h>

// Where the product keeps its settings: keys below HKEY_LOCAL_MACHINE shared by the manager and
// its plug-ins.

// The product's root key.
constexpr wchar_t kProductRootKey[] = L"Software\\Tessaly Corporation\\LUM Siftwell";

// The product's folder below the all-users application-data folder: the delay-queue file, and the
// trace in its Logs subfolder.
constexpr wchar_t kProductDataFolder[] = L"Tessaly Corporation\\LUM Siftwell\\";

// The plug-in's name: its module id, event source, trace file name and the client name its
// database connections give.
constexpr wchar_t kPluginName[] = L"LumSiftDbNotifyWex";

// Below the root: the manager's engine index table (one subkey per engine class id) and this
// plug-in's own settings.
constexpr wchar_t kEngineIndexTableKey[] = L"Setting\\LumSiftMgr\\EngineFlag";
constexpr wchar_t kPluginSettingsKey[] = L"Setting\\LumSiftDbNotifyWex";

// The plug-in list a type or list selector names by its bits 16 to 23: 0x01 "Engine Plugins",
// 0x02 "DB Notify Plugins", 0x04 "Queue Plugins", 0x08 "Timer Plugins"; null for any other value.
const wchar_t* PluginListKeyName(DWORD type) noexcept;
