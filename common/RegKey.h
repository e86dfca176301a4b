#pragma once
#include <windows.h>
#include "common/String.h"

// The framework's registry key: an owned HKEY with the usual typed operations. Every operation
// returns a Win32 error code (ERROR_SUCCESS on success), as the registry functions do.
class CRegKey
{
public:
    CRegKey() noexcept = default;
    ~CRegKey() { Close(); }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    operator HKEY() const noexcept { return m_key; }
    HKEY Get() const noexcept { return m_key; }
    void Attach(HKEY key) noexcept;
    HKEY Detach() noexcept;
    LONG Close() noexcept;

    LONG Create(HKEY parent, const wchar_t* name, REGSAM access = KEY_READ | KEY_WRITE) noexcept;
    LONG Open(HKEY parent, const wchar_t* name, REGSAM access = KEY_READ | KEY_WRITE) noexcept;

    LONG SetStringValue(const wchar_t* name, const wchar_t* value, DWORD type = REG_SZ) noexcept;
    LONG SetDWORDValue(const wchar_t* name, DWORD value) noexcept;
    LONG QueryDWORDValue(const wchar_t* name, DWORD& value) const noexcept;
    // The value's first bytes read into a 4-byte buffer, whatever its registry type: a shorter value
    // fills the low bytes (the rest 0), a longer one fails with ERROR_MORE_DATA. For settings whose
    // readers never looked at the type.
    LONG QueryDWORDBytes(const wchar_t* name, DWORD& value) const noexcept;
    LONG DeleteValue(const wchar_t* name) noexcept;
    // Name of subkey `index`; ERROR_NO_MORE_ITEMS past the last.
    LONG EnumKey(DWORD index, CString& name) const;

private:
    HKEY m_key = nullptr;
};

// CRegKey with the operations the plug-in needs on top.
class CRegKeyEx : public CRegKey
{
public:
    // Creates or opens the subkey named by the braced text form of `id`.
    LONG CreateGuidKey(HKEY parent, REFGUID id, REGSAM access = KEY_READ | KEY_WRITE);
    // Subkey `index` as a GUID: ERROR_INVALID_DATA (13) when its name is not a GUID,
    // ERROR_NO_MORE_ITEMS past the last.
    LONG EnumGuidKey(DWORD index, GUID& id) const;
    // A REG_SZ or REG_EXPAND_SZ value as text (not expanded); another type gives ERROR_INVALID_DATA.
    LONG QueryStringValue(const wchar_t* name, CString& value) const;
};

// The braced, upper-case text form of a GUID, as StringFromGUID2 writes it.
CString GuidToString(REFGUID id);
// A GUID from its braced text form (either case). Anything else is refused, unlike
// CLSIDFromString alone, which also looks up program ids and takes "" as the null GUID.
bool GuidFromString(const wchar_t* text, GUID& id);
