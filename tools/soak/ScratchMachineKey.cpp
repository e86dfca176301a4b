#include "tools/soak/ScratchMachineKey.h"

namespace
{
void ListKey(HKEY key, const std::wstring& path, std::vector<std::wstring>& lines)
{
    wchar_t name[256];
    for (DWORD i = 0;; ++i)
    {
        DWORD length = 256;
        if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        lines.push_back(path + L"\\" + (length ? name : L"(default)"));
    }
    for (DWORD i = 0;; ++i)
    {
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::wstring child = path.empty() ? std::wstring(name) : path + L"\\" + name;
        lines.push_back(child);
        HKEY sub = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS)
        {
            ListKey(sub, child, lines);
            RegCloseKey(sub);
        }
    }
}
}  // namespace

CScratchMachineKey::CScratchMachineKey(std::wstring scratchPath) : m_path(std::move(scratchPath))
{
}

CScratchMachineKey::~CScratchMachineKey()
{
    End();
}

HRESULT CScratchMachineKey::Redirect()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    LONG error = m_key.Create(HKEY_CURRENT_USER, m_path.c_str());
    if (error == ERROR_SUCCESS)
        error = RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key);
    m_redirected = error == ERROR_SUCCESS;
    return HRESULT_FROM_WIN32(error);
}

std::vector<std::wstring> CScratchMachineKey::Contents() const
{
    std::vector<std::wstring> lines;
    const HKEY key = m_key;
    if (key)
        ListKey(key, std::wstring(), lines);
    return lines;
}

bool CScratchMachineKey::End()
{
    if (!m_redirected)
        return true;
    m_redirected = false;
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    m_key.Close();
    const LONG error = RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
    HKEY probe = nullptr;
    const bool gone = RegOpenKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, KEY_READ, &probe) != ERROR_SUCCESS;
    if (probe)
        RegCloseKey(probe);
    return gone && (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND);
}
