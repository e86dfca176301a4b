#include "common/ProductKeys.h"

const wchar_t* PluginListKeyName(DWORD type) noexcept
{
    switch (type & 0x00FF0000)
    {
    case 0x00010000:
        return L"Engine Plugins";
    case 0x00020000:
        return L"DB Notify Plugins";
    case 0x00040000:
        return L"Queue Plugins";
    case 0x00080000:
        return L"Timer Plugins";
    default:
        return nullptr;
    }
}
