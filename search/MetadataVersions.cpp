#include "search/MetadataVersions.h"

#include <cwchar>
#include "common/RegKey.h"
#include "search/PluginConfiguration.h"

namespace
{
// The six content categories; GetCategoryMask answers beyond them are not categories.
constexpr ULONG kCategoryBits = 0x3F;

WORD Major(DWORD version)
{
    return HIWORD(version);
}

WORD Minor(DWORD version)
{
    return LOWORD(version);
}

// <root>\Setting\LumSiftDbNotifyWex\MetadataVersion\0x0008\{class id}
CString VersionKeyPath(const wchar_t* rootPath, ULONG category, const CString& classIdText)
{
    CString path;
    path.Format(L"%s\\%s\\MetadataVersion\\0x%04x\\%s", rootPath, kPluginSettingsKey, category,
                classIdText.GetString());
    return path;
}

DWORD ReadRecordedVersion(const wchar_t* rootPath, ULONG category, const EngineEntry& entry)
{
    CRegKey key;
    DWORD version = 0;
    if (key.Open(HKEY_LOCAL_MACHINE, VersionKeyPath(rootPath, category, entry.classIdText), KEY_READ) !=
            ERROR_SUCCESS ||
        key.QueryDWORDValue(L"MetadataVersion", version) != ERROR_SUCCESS)
        version = 0;
    if (version == 0)
        version = entry.indexTableVersion;
    if (version == 0)
        version = kDefaultMetadataVersion;
    return version;
}

bool IsNewer(DWORD current, DWORD recorded, bool majorOnly)
{
    if (Major(current) != Major(recorded))
        return Major(current) > Major(recorded);
    return !majorOnly && Minor(current) > Minor(recorded);
}

}  // namespace

std::vector<EngineEntry> GetEngineList(ULONG categoryMask, const wchar_t* rootPath)
{
    std::vector<EngineEntry> entries;
    std::vector<PluginRecord> records;
    ReadEnginePlugins(records, rootPath);
    for (const PluginRecord& record : records)
    {
        CComPtr<ILumMgrPluginEngine> engine = CreateEnginePlugin(record.classId);
        if (!engine)
            continue;
        // A failing call is not looked at: the mask it leaves decides.
        ULONG engineMask = 0;
        engine->GetCategoryMask(&engineMask);
        const ULONG mask = engineMask & categoryMask & kCategoryBits;
        if (mask == 0)
            continue;
        EngineEntry entry;
        entry.classId = record.classId;
        entry.classIdText = record.classIdText;
        entry.moduleId = record.moduleId;
        entry.engineIndex = record.engineIndex;
        entry.currentVersion = record.metadataVersion;
        entry.indexTableVersion = record.indexTableVersion;
        entry.categoryMask = mask;
        entries.push_back(std::move(entry));
    }
    return entries;
}

ULONG GetOutdatedEngines(bool majorOnly, std::vector<EngineEntry>& entries, ULONG categoryMask,
                         const wchar_t* rootPath)
{
    std::vector<EngineEntry> engines = GetEngineList(categoryMask, rootPath);
    entries.clear();
    ULONG outdated = 0;
    for (EngineEntry& engine : engines)
    {
        ULONG changed = 0;
        for (ULONG bit = 1; bit <= engine.categoryMask; bit <<= 1)
        {
            if ((engine.categoryMask & bit) != 0 &&
                IsNewer(engine.currentVersion, ReadRecordedVersion(rootPath, bit, engine), majorOnly))
                changed |= bit;
        }
        if (changed == 0)
            continue;
        engine.categoryMask = changed;
        outdated |= changed;
        entries.push_back(std::move(engine));
    }
    return outdated;
}

HRESULT StoreMetadataVersions(const std::vector<EngineEntry>& entries, ULONG category, const wchar_t* rootPath)
{
    HRESULT result = S_FALSE;
    for (const EngineEntry& entry : entries)
    {
        const ULONG mask = entry.categoryMask & category & kCategoryBits;
        for (ULONG bit = 1; bit <= mask; bit <<= 1)
        {
            if ((mask & bit) == 0)
                continue;
            CRegKey key;
            if (key.Create(HKEY_LOCAL_MACHINE, VersionKeyPath(rootPath, bit, entry.classIdText), KEY_WRITE) !=
                ERROR_SUCCESS)
                continue;
            key.SetStringValue(L"Module ID", entry.moduleId);
            key.SetDWORDValue(L"MetadataVersion", entry.currentVersion);
            result = S_OK;
        }
    }
    return result;
}
