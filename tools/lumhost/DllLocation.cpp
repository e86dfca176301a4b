#include "tools/lumhost/DllLocation.h"
#include <windows.h>
#include "common/Path.h"

namespace
{
constexpr wchar_t kDllName[] = L"LumSiftDbNotifyWex.dll";
}

std::wstring DefaultPluginDllPath(const char* builtPath)
{
    std::wstring exe(MAX_PATH, L'\0');
    DWORD length;
    while ((length = GetModuleFileNameW(nullptr, &exe[0], static_cast<DWORD>(exe.size()))) >= exe.size())
        exe.resize(exe.size() * 2);
    exe.resize(length);
    std::wstring beside = exe.substr(0, exe.find_last_of(L'\\') + 1) + kDllName;
    if (FileExists(beside.c_str()) || !builtPath)
        return beside;
    std::wstring built;
    for (const char* p = builtPath; *p; ++p)
        built += static_cast<wchar_t>(*p == '/' ? '\\' : *p);
    return !built.empty() && built[0] == L'\\' ? L"Z:" + built : built;
}
