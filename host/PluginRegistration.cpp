#include "host/PluginRegistration.h"

#include <objbase.h>
#include "common/RegKey.h"

namespace
{
constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;  // 0x2001F

// The list that holds a plug-in's entry, opened under the product's root key, and the name of the
// entry's own key in it: braced, upper-case, as StringFromGUID2 writes it.
struct CPluginList
{
    CRegKey root;
    CRegKey list;
    const wchar_t* listName = nullptr;
    wchar_t className[64] = {0};

    // The root key is created when `createRoot`, else it must exist; the list key is created as
    // needed. E_INVALIDARG for an unknown type, found once the root key is open.
    HRESULT Open(const wchar_t* rootName, REFCLSID classId, DWORD type, bool createRoot) noexcept
    {
        const HRESULT hr = HRESULT_FROM_WIN32(createRoot ? root.Create(HKEY_LOCAL_MACHINE, rootName, kReadWrite)
                                                         : root.Open(HKEY_LOCAL_MACHINE, rootName, kReadWrite));
        if (FAILED(hr))
            return hr;
        listName = PluginListKeyName(type);
        if (!listName || StringFromGUID2(classId, className, 64) <= 0)
            return E_INVALIDARG;
        return HRESULT_FROM_WIN32(list.Create(root, listName, kReadWrite));
    }
};
}  // namespace

HRESULT RegisterPlugin(const wchar_t* root, REFCLSID classId, DWORD type, const wchar_t* moduleId, DWORD order,
                       DWORD enable) noexcept
{
    CPluginList plugins;
    CRegKey classKey;
    HRESULT hr = plugins.Open(root, classId, type, true);
    if (SUCCEEDED(hr))
        hr = HRESULT_FROM_WIN32(classKey.Create(plugins.list, plugins.className, kReadWrite));
    if (SUCCEEDED(hr))
        hr = HRESULT_FROM_WIN32(classKey.SetStringValue(L"Module ID", moduleId ? moduleId : L""));
    if (SUCCEEDED(hr))
        hr = HRESULT_FROM_WIN32(classKey.SetDWORDValue(L"Enable", enable));
    if (SUCCEEDED(hr))
        hr = HRESULT_FROM_WIN32(classKey.SetDWORDValue(L"Order", order));
    if (SUCCEEDED(hr))
        hr = HRESULT_FROM_WIN32(classKey.SetDWORDValue(L"Type", type));
    return hr;
}

HRESULT UnregisterPlugin(const wchar_t* root, REFCLSID classId, DWORD type) noexcept
{
    CPluginList plugins;
    HRESULT hr = plugins.Open(root, classId, type, false);
    if (FAILED(hr))
        return hr;
    // Whether the entry existed or could be deleted is not reported; what is left decides.
    RegDeleteTreeW(plugins.list, plugins.className);

    DWORD subkeys = 0;
    DWORD values = 0;
    hr = HRESULT_FROM_WIN32(RegQueryInfoKeyW(plugins.list, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                             &values, nullptr, nullptr, nullptr, nullptr));
    if (SUCCEEDED(hr) && subkeys == 0 && values == 0)
    {
        plugins.list.Close();
        RegDeleteKeyW(plugins.root, plugins.listName);
    }
    return hr;
}
