#include "host/PluginRegistration.h"

#include <objbase.h>
#include "common/HResult.h"
#include "common/RegKey.h"

namespace
{
constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;  // 0x2001F

HRESULT FromWin32(LONG result) noexcept
{
    return HResultFromWin32(static_cast<DWORD>(result));
}

// The key name of a class id: braced, upper-case, as StringFromGUID2 writes it.
bool ClassKeyName(REFCLSID classId, wchar_t (&name)[64]) noexcept
{
    return StringFromGUID2(classId, name, 64) > 0;
}
}  // namespace

HRESULT RegisterPlugin(const wchar_t* root, REFCLSID classId, DWORD type, const wchar_t* moduleId, DWORD order,
                       DWORD enable) noexcept
{
    CRegKey rootKey;
    LONG result = rootKey.Create(HKEY_LOCAL_MACHINE, root, kReadWrite);
    if (result != ERROR_SUCCESS)
        return FromWin32(result);
    const wchar_t* listName = PluginListKeyName(type);
    if (!listName)
        return E_INVALIDARG;
    wchar_t className[64] = {0};
    if (!ClassKeyName(classId, className))
        return E_INVALIDARG;

    CRegKey listKey;
    CRegKey classKey;
    result = listKey.Create(rootKey, listName, kReadWrite);
    if (result == ERROR_SUCCESS)
        result = classKey.Create(listKey, className, kReadWrite);
    if (result == ERROR_SUCCESS)
        result = classKey.SetStringValue(L"Module ID", moduleId ? moduleId : L"");
    if (result == ERROR_SUCCESS)
        result = classKey.SetDWORDValue(L"Enable", enable);
    if (result == ERROR_SUCCESS)
        result = classKey.SetDWORDValue(L"Order", order);
    if (result == ERROR_SUCCESS)
        result = classKey.SetDWORDValue(L"Type", type);
    return FromWin32(result);
}

HRESULT UnregisterPlugin(const wchar_t* root, REFCLSID classId, DWORD type) noexcept
{
    CRegKey rootKey;
    LONG result = rootKey.Open(HKEY_LOCAL_MACHINE, root, kReadWrite);
    if (result != ERROR_SUCCESS)
        return FromWin32(result);
    const wchar_t* listName = PluginListKeyName(type);
    if (!listName)
        return E_INVALIDARG;
    wchar_t className[64] = {0};
    if (!ClassKeyName(classId, className))
        return E_INVALIDARG;

    CRegKey listKey;
    result = listKey.Create(rootKey, listName, kReadWrite);
    if (result != ERROR_SUCCESS)
        return FromWin32(result);
    // Whether the entry existed or could be deleted is not reported; what is left decides.
    listKey.RecurseDeleteKey(className);

    DWORD subkeys = 0;
    DWORD values = 0;
    result = RegQueryInfoKeyW(listKey, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                              nullptr, nullptr, nullptr);
    if (result == ERROR_SUCCESS && subkeys == 0 && values == 0)
    {
        listKey.Close();
        RegDeleteKeyW(rootKey, listName);
    }
    return FromWin32(result);
}
