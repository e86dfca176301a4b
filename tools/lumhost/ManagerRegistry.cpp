#include "tools/lumhost/ManagerRegistry.h"
#include <algorithm>
#include "common/RegKey.h"
#include "search/PluginConfiguration.h"
#include "standins/AnalysisEngine.h"
#include "tools/lumhost/Timeline.h"

namespace
{
constexpr wchar_t kEngineList[] = L"Engine Plugins";
constexpr wchar_t kVersionsKey[] = L"Setting\\LumSiftDbNotifyWex\\MetadataVersion";
constexpr ULONG kCategoryBits[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20};
// More positions than anyone lists: the keys of a larger run killed earlier are removed too.
constexpr size_t kRemovedPositions = 32;
constexpr DWORD kOrderStep = 10;
}  // namespace

void DeleteRegistryKeyIfEmpty(HKEY parent, const wchar_t* path)
{
    DWORD subkeys = 0;
    DWORD values = 0;
    {
        CRegKey key;
        if (key.Open(parent, path, KEY_READ) != ERROR_SUCCESS)
            return;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr) != ERROR_SUCCESS)
            return;
    }
    if (subkeys == 0 && values == 0)
        RegDeleteKeyW(parent, path);
}

CManagerRegistry::CManagerRegistry(const wchar_t* rootPath) : m_root(rootPath) {}

CManagerRegistry::~CManagerRegistry()
{
    Remove();
}

GUID CManagerRegistry::EngineClassId(size_t position)
{
    return GUID{0x3f1c55a0, 0x7b2e, 0x4d6a, {0x9c, 0x1e, 0x5a, 0x4b, 0x3c, 0x2d, 0x1e, static_cast<BYTE>(position + 1)}};
}

std::wstring CManagerRegistry::ListKey(const GUID& classId) const
{
    return m_root + L"\\" + kEngineList + L"\\" + GuidToString(classId).GetString();
}

HRESULT CManagerRegistry::Install(const std::vector<CEngineOption>& engines)
{
    if (engines.size() > kRemovedPositions)
        return E_INVALIDARG;
    RemoveKeysOf(kRemovedPositions);
    m_installed = true;
    std::vector<Engine> installed;
    for (size_t i = 0; i < engines.size(); ++i)
    {
        Engine engine{engines[i], EngineClassId(i), 0};
        CRegKey key;
        LONG error = key.Create(HKEY_LOCAL_MACHINE, ListKey(engine.classId).c_str());
        if (error == ERROR_SUCCESS)
            error = key.SetStringValue(L"Module ID", engine.option.moduleId.c_str());
        if (error == ERROR_SUCCESS)
            error = key.SetDWORDValue(L"Enable", 1);
        if (error == ERROR_SUCCESS)
            error = key.SetDWORDValue(L"Order", static_cast<DWORD>(i + 1) * kOrderStep);
        if (error == ERROR_SUCCESS && engine.option.version != 0)
            error = key.SetDWORDValue(L"MetadataVersion", engine.option.version);
        if (error != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(error);
        if (engine.option.creatable)
        {
            m_registrations.emplace_back();
            const HRESULT hr = m_registrations.back().Register(engine.classId, engine.option.categoryMask);
            if (FAILED(hr))
                return hr;
        }
        installed.push_back(engine);
    }

    // The manager's own reading of its list gives each engine its index.
    std::vector<PluginRecord> records;
    try
    {
        ReadEnginePlugins(records, m_root.c_str());
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
    for (const PluginRecord& record : records)
    {
        for (Engine& engine : installed)
        {
            if (IsEqualGUID(record.classId, engine.classId))
                engine.index = record.engineIndex;
        }
    }
    CLockGuard guard(m_lock);
    m_engines = std::move(installed);
    return S_OK;
}

HRESULT CManagerRegistry::SetPluginSetting(const wchar_t* name, DWORD value)
{
    const std::wstring path = m_root + L"\\" + kPluginSettingsKey;
    CRegKey key;
    LONG error = key.Create(HKEY_LOCAL_MACHINE, path.c_str());
    if (error != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(error);
    const bool known = std::any_of(m_settingsBefore.begin(), m_settingsBefore.end(),
                                   [name](const SettingBefore& before) { return before.name == name; });
    if (!known)
    {
        SettingBefore before;
        before.name = name;
        before.existed = key.QueryDWORDValue(name, before.value) == ERROR_SUCCESS;
        m_settingsBefore.push_back(before);
    }
    error = key.SetDWORDValue(name, value);
    return HRESULT_FROM_WIN32(error);
}

bool CManagerRegistry::SetVersion(const std::wstring& moduleId, DWORD version, std::wstring& error)
{
    CLockGuard guard(m_lock);
    for (Engine& engine : m_engines)
    {
        if (_wcsicmp(engine.option.moduleId.c_str(), moduleId.c_str()) != 0)
            continue;
        CRegKey key;
        LONG result = key.Open(HKEY_LOCAL_MACHINE, ListKey(engine.classId).c_str());
        if (result == ERROR_SUCCESS)
            result = key.SetDWORDValue(L"MetadataVersion", version);
        if (result != ERROR_SUCCESS)
        {
            error = FormatText(L"cannot write the version of %s (error %ld)", engine.option.moduleId.c_str(),
                               static_cast<long>(result));
            return false;
        }
        engine.option.version = version;
        return true;
    }
    error = L"no engine \"" + moduleId + L"\" is listed";
    return false;
}

std::vector<CManagerRegistry::Engine> CManagerRegistry::Engines() const
{
    CLockGuard guard(m_lock);
    return m_engines;
}

std::vector<ULONG> CManagerRegistry::IndexesFor(ULONG category) const
{
    std::vector<ULONG> indexes;
    CLockGuard guard(m_lock);
    for (const Engine& engine : m_engines)
    {
        if (engine.index != 0 && (engine.option.categoryMask & category) != 0)
            indexes.push_back(engine.index);
    }
    return indexes;
}

std::wstring CManagerRegistry::NameOfIndex(ULONG index) const
{
    CLockGuard guard(m_lock);
    for (const Engine& engine : m_engines)
    {
        if (engine.index == index && index != 0)
            return engine.option.moduleId;
    }
    return std::wstring();
}

std::vector<CAnalysisEngineClassState*> CManagerRegistry::EngineClassStates()
{
    std::vector<CAnalysisEngineClassState*> states;
    for (CAnalysisEngineRegistration& registration : m_registrations)
        states.push_back(&registration.State());
    return states;
}

void CManagerRegistry::Remove()
{
    m_registrations.clear();
    if (m_installed)
    {
        RemoveKeysOf(kRemovedPositions);
        m_installed = false;
    }
    {
        CLockGuard guard(m_lock);
        m_engines.clear();
    }
    const std::wstring settings = m_root + L"\\" + kPluginSettingsKey;
    if (!m_settingsBefore.empty())
    {
        CRegKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, settings.c_str()) == ERROR_SUCCESS)
        {
            for (const SettingBefore& before : m_settingsBefore)
            {
                if (before.existed)
                    key.SetDWORDValue(before.name.c_str(), before.value);
                else
                    key.DeleteValue(before.name.c_str());
            }
        }
        m_settingsBefore.clear();
    }
    // Parents go only when nothing of anyone else is left in them.
    const std::wstring versions = m_root + L"\\" + kVersionsKey;
    for (ULONG bit : kCategoryBits)
        DeleteRegistryKeyIfEmpty(HKEY_LOCAL_MACHINE, (versions + FormatText(L"\\0x%04lx", bit)).c_str());
    for (const wchar_t* key : {kVersionsKey, kPluginSettingsKey, kEngineIndexTableKey, L"Setting\\LumSiftMgr",
                               L"Setting", kEngineList})
        DeleteRegistryKeyIfEmpty(HKEY_LOCAL_MACHINE, (m_root + L"\\" + key).c_str());
}

void CManagerRegistry::RemoveKeysOf(size_t engineCount)
{
    CRegKey root;
    if (root.Open(HKEY_LOCAL_MACHINE, m_root.c_str(), KEY_READ | KEY_WRITE) != ERROR_SUCCESS)
        return;
    for (size_t i = 0; i < engineCount; ++i)
    {
        const std::wstring id = GuidToString(EngineClassId(i)).GetString();
        RegDeleteTreeW(root, (std::wstring(kEngineList) + L"\\" + id).c_str());
        RegDeleteTreeW(root, (std::wstring(kEngineIndexTableKey) + L"\\" + id).c_str());
        for (ULONG bit : kCategoryBits)
            RegDeleteTreeW(root, (std::wstring(kVersionsKey) + FormatText(L"\\0x%04lx\\", bit) + id).c_str());
    }
}
