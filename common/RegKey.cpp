#include "common/RegKey.h"

#include <objbase.h>
#include <vector>

void CRegKey::Attach(HKEY key) noexcept
{
    Close();
    m_key = key;
}

HKEY CRegKey::Detach() noexcept
{
    HKEY key = m_key;
    m_key = nullptr;
    return key;
}

LONG CRegKey::Close() noexcept
{
    LONG result = ERROR_SUCCESS;
    if (m_key)
        result = RegCloseKey(m_key);
    m_key = nullptr;
    return result;
}

LONG CRegKey::Create(HKEY parent, const wchar_t* name, REGSAM access) noexcept
{
    HKEY key = nullptr;
    const LONG result = RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS)
        Attach(key);
    return result;
}

LONG CRegKey::Open(HKEY parent, const wchar_t* name, REGSAM access) noexcept
{
    HKEY key = nullptr;
    const LONG result = RegOpenKeyExW(parent, name, 0, access, &key);
    if (result == ERROR_SUCCESS)
        Attach(key);
    return result;
}

LONG CRegKey::SetStringValue(const wchar_t* name, const wchar_t* value, DWORD type) noexcept
{
    if (!value)
        value = L"";
    const DWORD bytes = static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t));
    return RegSetValueExW(m_key, name, 0, type, reinterpret_cast<const BYTE*>(value), bytes);
}

LONG CRegKey::SetDWORDValue(const wchar_t* name, DWORD value) noexcept
{
    return RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

LONG CRegKey::QueryDWORDValue(const wchar_t* name, DWORD& value) const noexcept
{
    DWORD type = 0;
    DWORD data = 0;
    DWORD bytes = sizeof(data);
    const LONG result = RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_DWORD || bytes != sizeof(data))
        return ERROR_INVALID_DATA;
    value = data;
    return ERROR_SUCCESS;
}

LONG CRegKey::QueryDWORDBytes(const wchar_t* name, DWORD& value) const noexcept
{
    DWORD data = 0;
    DWORD bytes = sizeof(data);
    const LONG result = RegQueryValueExW(m_key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &bytes);
    if (result == ERROR_SUCCESS)
        value = data;
    return result;
}

LONG CRegKey::DeleteValue(const wchar_t* name) noexcept
{
    return RegDeleteValueW(m_key, name);
}

LONG CRegKey::EnumKey(DWORD index, CString& name) const
{
    wchar_t buffer[256];
    DWORD length = 256;
    const LONG result = RegEnumKeyExW(m_key, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_SUCCESS)
        name = CString(buffer, static_cast<int>(length));
    return result;
}

LONG CRegKeyEx::CreateGuidKey(HKEY parent, REFGUID id, REGSAM access)
{
    return Create(parent, GuidToString(id), access);
}

LONG CRegKeyEx::EnumGuidKey(DWORD index, GUID& id) const
{
    CString name;
    const LONG result = EnumKey(index, name);
    if (result != ERROR_SUCCESS)
        return result;
    return GuidFromString(name, id) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKeyEx::QueryStringValue(const wchar_t* name, CString& value) const
{
    // Most values fit the first buffer and are read with one call; a longer one is read again at
    // its size, and again while it keeps growing between the calls.
    wchar_t firstBuffer[128];
    std::vector<BYTE> largerBuffer;
    BYTE* buffer = reinterpret_cast<BYTE*>(firstBuffer);
    DWORD capacity = sizeof(firstBuffer);
    for (int attempt = 0; attempt < 5; ++attempt)
    {
        DWORD type = 0;
        DWORD got = capacity;
        const LONG result = RegQueryValueExW(Get(), name, nullptr, &type, buffer, &got);
        if (result == ERROR_MORE_DATA)
        {
            largerBuffer.resize(got);
            buffer = largerBuffer.data();
            capacity = got;
            continue;
        }
        if (result != ERROR_SUCCESS)
            return result;
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            return ERROR_INVALID_DATA;
        // Stored strings need not be terminated; stop at the first NUL or at the data's end.
        const wchar_t* text = reinterpret_cast<const wchar_t*>(buffer);
        const size_t count = got / sizeof(wchar_t);
        size_t length = 0;
        while (length < count && text[length] != 0)
            ++length;
        value = CString(text, static_cast<int>(length));
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

CString GuidToString(REFGUID id)
{
    wchar_t text[64] = {0};
    const int length = StringFromGUID2(id, text, 64);
    return length > 1 ? CString(text, length - 1) : CString();
}

bool GuidFromString(const wchar_t* text, GUID& id)
{
    if (!text || wcslen(text) != 38 || text[0] != L'{')
        return false;
    GUID parsed;
    if (FAILED(CLSIDFromString(const_cast<wchar_t*>(text), &parsed)))
        return false;
    id = parsed;
    return true;
}
