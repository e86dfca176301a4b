// Times GetProperty(0x11001) on the plug-in object with 32 stand-in engines listed over the six
// categories, against a floor measured in the same run: the same registry opens, enumerations and
// reads and the same CoCreateInstance + GetCategoryMask calls, written inline with fixed buffers.
// HKEY_LOCAL_MACHINE is redirected to a scratch key of the current user for the run. Each figure
// is the best of several rounds of many calls. Goal: ratio at most 1.3.
#include <windows.h>
#include <objbase.h>
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <list>
#include "bench/BenchClock.h"
#include "common/ComPtr.h"
#include "common/ProductKeys.h"
#include "common/RegKey.h"
#include "common/Scoped.h"
#include "host/PluginDbNotify.h"
#include "standins/AnalysisEngine.h"

namespace
{
constexpr ULONG kEngines = 32;
constexpr int kRounds = 10;
constexpr int kCallsPerRound = 20;
const wchar_t kScratch[] = L"Software\\LumBench\\OutdatedCategories";

GUID EngineId(ULONG number)
{
    return GUID{0x6b2e1000 + number, 0x51c4, 0x4e0a, {0x9b, 0x17, 0x3d, 0x62, 0xa8, 0x40, 0x0c, 0x5e}};
}

// Two categories per engine; every other engine has a version recorded for its first category.
ULONG EngineMask(ULONG number)
{
    return (1u << (number % 6)) | (1u << ((number + 1) % 6));
}

void SetDword(HKEY parent, const wchar_t* path, const wchar_t* name, DWORD value)
{
    CRegKey key;
    key.Create(parent, path);
    key.SetDWORDValue(name, value);
}

void WriteEngineKeys(ULONG number)
{
    const CString id = GuidToString(EngineId(number));
    CString list;
    list.Format(L"%s\\Engine Plugins\\%s", kProductRootKey, id.GetString());
    SetDword(HKEY_LOCAL_MACHINE, list, L"Order", number);
    SetDword(HKEY_LOCAL_MACHINE, list, L"MetadataVersion", 0x00020000 + number % 3);
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, list);
    key.SetStringValue(L"Module ID", L"BenchEngine");
    CString table;
    table.Format(L"%s\\%s\\%s", kProductRootKey, kEngineIndexTableKey, id.GetString());
    SetDword(HKEY_LOCAL_MACHINE, table, L"Index", number + 2);
    if (number % 2 == 0)
    {
        CString recorded;
        recorded.Format(L"%s\\%s\\MetadataVersion\\0x%04x\\%s", kProductRootKey, kPluginSettingsKey,
                        EngineMask(number) & (0u - EngineMask(number)), id.GetString());
        SetDword(HKEY_LOCAL_MACHINE, recorded, L"MetadataVersion", 0x00020001);
    }
}

DWORD QueryNumber(HKEY key, const wchar_t* name, DWORD missing)
{
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &bytes) == ERROR_SUCCESS &&
                   bytes == sizeof(value)
               ? value
               : missing;
}

struct FloorEngine
{
    GUID id;
    wchar_t name[64];
    DWORD order;
    DWORD version;
    DWORD index;
    DWORD tableVersion;
};

// The calls GetProperty(0x11001) makes, in its order, with nothing around them.
ULONG FloorOutdated()
{
    static const wchar_t* const kNumbers[] = {L"Order", L"Type", L"MetadataVersion", L"Input1",
                                              L"Input2", L"Output1", L"Output2", L"Loading"};
    wchar_t path[512];
    FloorEngine table[kEngines];
    ULONG tableCount = 0;
    HKEY key = nullptr;
    swprintf(path, 512, L"%ls\\%ls", kProductRootKey, kEngineIndexTableKey);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WRITE, &key) == ERROR_SUCCESS)
    {
        for (DWORD i = 0; tableCount < kEngines; ++i)
        {
            FloorEngine& entry = table[tableCount];
            DWORD length = 64;
            if (RegEnumKeyExW(key, i, entry.name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
                FAILED(CLSIDFromString(entry.name, &entry.id)))
                break;
            HKEY sub = nullptr;
            if (RegOpenKeyExW(key, entry.name, 0, KEY_READ, &sub) != ERROR_SUCCESS)
                continue;
            entry.index = QueryNumber(sub, L"Index", 0);
            entry.tableVersion = QueryNumber(sub, L"MetadataVersion", 0);
            RegCloseKey(sub);
            ++tableCount;
        }
        RegCloseKey(key);
    }

    FloorEngine engines[kEngines];
    ULONG count = 0;
    HKEY root = nullptr;
    HKEY list = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductRootKey, 0, KEY_READ, &root);
    RegOpenKeyExW(root, L"Engine Plugins", 0, KEY_READ, &list);
    for (DWORD i = 0; count < kEngines; ++i)
    {
        FloorEngine& engine = engines[count];
        DWORD length = 64;
        if (RegEnumKeyExW(list, i, engine.name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            FAILED(CLSIDFromString(engine.name, &engine.id)))
            break;
        HKEY sub = nullptr;
        if (RegOpenKeyExW(list, engine.name, 0, KEY_READ, &sub) != ERROR_SUCCESS)
            continue;
        wchar_t text[256];
        DWORD bytes = sizeof(text);
        RegQueryValueExW(sub, L"Module ID", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes);
        QueryNumber(sub, L"Enable", 1);
        DWORD numbers[8];
        for (int n = 0; n < 8; ++n)
            numbers[n] = QueryNumber(sub, kNumbers[n], 0);
        bytes = sizeof(text);
        RegQueryValueExW(sub, L"ExcludedEngine", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes);
        RegCloseKey(sub);
        ILumMgrPluginEngine* object = nullptr;
        if (FAILED(CoCreateInstance(engine.id, nullptr, 0x17, IID_ILumMgrPluginEngine,
                                    reinterpret_cast<void**>(&object))))
            continue;
        object->Release();
        engine.order = numbers[0];
        engine.version = numbers[2];
        engine.index = 0;
        engine.tableVersion = 0;
        for (ULONG t = 0; t < tableCount; ++t)
            if (IsEqualGUID(table[t].id, engine.id))
            {
                engine.index = table[t].index;
                engine.tableVersion = table[t].tableVersion;
            }
        ++count;
    }
    RegCloseKey(list);
    RegCloseKey(root);

    swprintf(path, 512, L"%ls\\%ls", kProductRootKey, kEngineIndexTableKey);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr) ==
        ERROR_SUCCESS)
    {
        for (ULONG e = 0; e < count; ++e)
        {
            HKEY sub = nullptr;
            if (RegOpenKeyExW(key, engines[e].name, 0, KEY_READ | KEY_WRITE, &sub) == ERROR_SUCCESS)
            {
                QueryNumber(sub, L"Index", 0);
                RegCloseKey(sub);
            }
        }
        RegCloseKey(key);
    }

    ULONG outdated = 0;
    for (ULONG e = 0; e < count; ++e)
    {
        ILumMgrPluginEngine* object = nullptr;
        if (FAILED(CoCreateInstance(engines[e].id, nullptr, 0x17, IID_ILumMgrPluginEngine,
                                    reinterpret_cast<void**>(&object))))
            continue;
        ULONG mask = 0;
        object->GetCategoryMask(&mask);
        object->Release();
        for (ULONG bit = 1; bit <= 0x20; bit <<= 1)
        {
            if (!(mask & bit))
                continue;
            swprintf(path, 512, L"%ls\\%ls\\MetadataVersion\\0x%04lx\\%ls", kProductRootKey, kPluginSettingsKey, bit,
                     engines[e].name);
            DWORD recorded = 0;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS)
            {
                recorded = QueryNumber(key, L"MetadataVersion", 0);
                RegCloseKey(key);
            }
            if (recorded == 0)
                recorded = engines[e].tableVersion ? engines[e].tableVersion : 0x00010000;
            if (HIWORD(engines[e].version) > HIWORD(recorded) ||
                (HIWORD(engines[e].version) == HIWORD(recorded) && LOWORD(engines[e].version) > LOWORD(recorded)))
                outdated |= bit;
        }
    }
    return outdated;
}

ULONG PluginOutdated(ILumMgrPluginEngine* plugin)
{
    CScopedVariant value;
    if (plugin->GetProperty(0x11001, value.Get()) != S_OK || V_VT(value.Get()) != VT_UI4)
        return 0xDEAD;
    return V_UI4(value.Get());
}

template <typename Call>
double RoundMs(Call call)
{
    const double start = NowMs();
    for (int i = 0; i < kCallsPerRound; ++i)
        call();
    return (NowMs() - start) / kCallsPerRound;
}

}  // namespace

int main()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    CRegKey user;
    user.Open(HKEY_CURRENT_USER, L"Software");
    RegDeleteTreeW(user, L"LumBench\\OutdatedCategories");
    CRegKey machine;
    if (machine.Create(HKEY_CURRENT_USER, kScratch, KEY_ALL_ACCESS) != ERROR_SUCCESS ||
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine) != ERROR_SUCCESS)
    {
        std::printf("cannot redirect HKEY_LOCAL_MACHINE\n");
        return 1;
    }

    int status = 0;
    {
        std::list<CAnalysisEngineRegistration> registrations;
        for (ULONG number = 0; number < kEngines; ++number)
        {
            registrations.emplace_back();
            registrations.back().Register(EngineId(number), EngineMask(number));
            WriteEngineKeys(number);
        }
        CComPtr<ILumMgrPluginEngine> plugin;
        if (FAILED(CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine,
                                                      reinterpret_cast<void**>(&plugin))))
        {
            std::printf("cannot create the plug-in object\n");
            status = 1;
        }
        else
        {
            const ULONG expected = FloorOutdated();
            const ULONG answered = PluginOutdated(plugin);
            if (answered != expected)
            {
                std::printf("answers differ: plug-in 0x%lx, floor 0x%lx\n", answered, expected);
                status = 1;
            }
            // Rounds alternate, so that both see the same state of a shared machine; the best
            // round of each counts.
            double floorMs = 1e300;
            double pluginMs = 1e300;
            for (int round = 0; round < kRounds; ++round)
            {
                floorMs = std::min(floorMs, RoundMs([] { FloorOutdated(); }));
                pluginMs = std::min(pluginMs, RoundMs([&] { PluginOutdated(plugin); }));
            }
            std::printf("GetProperty(0x11001), %lu engines, mask 0x%02lx: %.3f ms per call; floor %.3f ms; "
                        "ratio %.2f (goal <= 1.3)\n",
                        kEngines, answered, pluginMs, floorMs, pluginMs / floorMs);
        }
    }

    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    machine.Close();
    RegDeleteTreeW(user, L"LumBench\\OutdatedCategories");
    CoUninitialize();
    return status;
}
