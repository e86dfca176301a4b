#include "search/PluginConfiguration.h"

#include <objbase.h>
#include <algorithm>
#include <set>
#include "common/ComCall.h"
#include "common/ComPtr.h"
#include "common/EventLog.h"
#include "common/HResult.h"
#include "common/ProductKeys.h"
#include "common/RegKey.h"
#include "interfaces/PluginInterfaces.h"

namespace
{
constexpr ULONG kEngineListSelector = 0x00010000;
constexpr ULONG kFirstEngineIndex = 2;
constexpr DWORD kDefaultEnable = 1;
constexpr DWORD kDefaultOrder = 0x8000;
constexpr DWORD kNoneGiven = 0xFFFFFFFF;  // inputs, outputs and "Loading" when absent

struct IndexTableEntry
{
    GUID classId;
    ULONG index;
    DWORD metadataVersion;
};
using IndexTable = std::vector<IndexTableEntry>;

CString SubkeyPath(const wchar_t* root, const wchar_t* subkey)
{
    CString path(root);
    path += L"\\";
    path += subkey;
    return path;
}

// A number stored in four bytes, whatever its registry type; any other size, or no value, gives
// the default.
DWORD ReadNumber(HKEY key, const wchar_t* name, DWORD defaultValue)
{
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &bytes) != ERROR_SUCCESS ||
        bytes != sizeof(value))
        return defaultValue;
    return value;
}

CString ReadText(const CRegKeyEx& key, const wchar_t* name)
{
    CString text;
    if (key.QueryStringValue(name, text) != ERROR_SUCCESS)
        text.Empty();
    return text;
}

// The indexes of 2 and up that the index table holds, with their versions. Opened for reading and
// writing, as the table is shared with the manager and mirrored into afterwards.
IndexTable ReadIndexTable(const wchar_t* root)
{
    IndexTable table;
    CRegKeyEx tableKey;
    if (tableKey.Open(HKEY_LOCAL_MACHINE, SubkeyPath(root, kEngineIndexTableKey), KEY_READ | KEY_WRITE) !=
        ERROR_SUCCESS)
        return table;
    GUID classId;
    for (DWORD i = 0; tableKey.EnumGuidKey(i, classId) == ERROR_SUCCESS; ++i)
    {
        CRegKey entryKey;
        if (entryKey.Open(tableKey, GuidToString(classId), KEY_READ) != ERROR_SUCCESS)
            continue;
        const ULONG index = ReadNumber(entryKey, L"Index", 0);
        if (index >= kFirstEngineIndex)
            table.push_back({classId, index, ReadNumber(entryKey, L"MetadataVersion", 0)});
    }
    return table;
}

// Pieces separated by ";"; a piece that is not a class id is dropped.
std::vector<GUID> ParseExcludedEngines(const CString& text)
{
    std::vector<GUID> engines;
    int start = 0;
    while (start <= text.GetLength())
    {
        int end = text.Find(L';', start);
        if (end < 0)
            end = text.GetLength();
        GUID id;
        if (GuidFromString(CString(text.GetString() + start, end - start), id))
            engines.push_back(id);
        start = end + 1;
    }
    return engines;
}

void ReadRecord(const CRegKeyEx& key, REFGUID classId, const IndexTable& table, PluginRecord& record)
{
    record.classId = classId;
    record.classIdText = GuidToString(classId);
    record.moduleId = ReadText(key, L"Module ID");
    record.order = ReadNumber(key, L"Order", kDefaultOrder);
    record.type = ReadNumber(key, L"Type", 0);
    record.metadataVersion = ReadNumber(key, L"MetadataVersion", 0);
    record.input1 = static_cast<LONG>(ReadNumber(key, L"Input1", kNoneGiven));
    record.input2 = static_cast<LONG>(ReadNumber(key, L"Input2", kNoneGiven));
    record.output1 = static_cast<LONG>(ReadNumber(key, L"Output1", kNoneGiven));
    record.output2 = static_cast<LONG>(ReadNumber(key, L"Output2", kNoneGiven));

    // The one number whose type counts: a "Loading" of another type reads as absent.
    DWORD loadingType = 0;
    DWORD loading = 0;
    DWORD bytes = sizeof(loading);
    if (RegQueryValueExW(key, L"Loading", nullptr, &loadingType, reinterpret_cast<BYTE*>(&loading), &bytes) !=
            ERROR_SUCCESS ||
        loadingType != REG_DWORD || bytes != sizeof(loading))
        loading = kNoneGiven;
    record.loading = static_cast<LONG>(loading);

    for (const IndexTableEntry& entry : table)
    {
        if (IsEqualGUID(entry.classId, classId))
        {
            record.engineIndex = entry.index;
            record.indexTableVersion = entry.metadataVersion;
            break;
        }
    }
    record.excludedEngines = ParseExcludedEngines(ReadText(key, L"ExcludedEngine"));
}

HRESULT ReadList(std::vector<PluginRecord>& records, ULONG listSelector, const wchar_t* rootPath, IndexTable& table)
{
    const wchar_t* listName = PluginListKeyName(listSelector);
    if (!rootPath || !listName)
        return E_INVALIDARG;
    table = ReadIndexTable(rootPath);

    CRegKey rootKey;
    LONG result = rootKey.Open(HKEY_LOCAL_MACHINE, rootPath, KEY_READ);
    if (result != ERROR_SUCCESS)
        return HResultFromWin32(static_cast<DWORD>(result));
    CRegKeyEx listKey;
    result = listKey.Open(rootKey, listName, KEY_READ);
    if (result != ERROR_SUCCESS)
        return HResultFromWin32(static_cast<DWORD>(result));

    GUID classId;
    for (DWORD i = 0; listKey.EnumGuidKey(i, classId) == ERROR_SUCCESS; ++i)
    {
        CRegKeyEx pluginKey;
        if (pluginKey.Open(listKey, GuidToString(classId), KEY_READ) != ERROR_SUCCESS)
            continue;
        if (ReadNumber(pluginKey, L"Enable", kDefaultEnable) == 0)
            continue;
        // Only plug-ins that can be created and are engines are listed.
        if (!CreateEnginePlugin(classId))
            continue;
        PluginRecord record;
        ReadRecord(pluginKey, classId, table, record);
        records.push_back(std::move(record));
    }
    return S_OK;
}

// Gives every record without an index the lowest number of 2 or more that neither another record
// nor the index table holds. An index the table holds stays reserved for its engine even when that
// engine is no longer listed: its state fields in the database still belong to it.
void AssignEngineIndexes(std::vector<PluginRecord>& records, const IndexTable& table)
{
    std::set<ULONG> held;
    for (const IndexTableEntry& entry : table)
        held.insert(entry.index);
    for (const PluginRecord& record : records)
        if (record.engineIndex >= kFirstEngineIndex)
            held.insert(record.engineIndex);
    ULONG next = kFirstEngineIndex;
    for (PluginRecord& record : records)
    {
        if (record.engineIndex >= kFirstEngineIndex)
            continue;
        while (held.count(next) != 0)
            ++next;
        record.engineIndex = next;
        held.insert(next);
    }
}

// Writes each record's index where the table holds another. A record then carries the table's
// version as the next reader will find it, so two reads in a row agree.
void MirrorEngineIndexes(std::vector<PluginRecord>& records, const wchar_t* rootPath)
{
    CRegKey tableKey;
    if (tableKey.Create(HKEY_LOCAL_MACHINE, SubkeyPath(rootPath, kEngineIndexTableKey), KEY_READ | KEY_WRITE) !=
        ERROR_SUCCESS)
        return;
    for (PluginRecord& record : records)
    {
        CRegKey entryKey;
        DWORD stored = 0;
        if (entryKey.Open(tableKey, record.classIdText, KEY_READ | KEY_WRITE) == ERROR_SUCCESS)
            stored = ReadNumber(entryKey, L"Index", 0);
        else if (entryKey.Create(tableKey, record.classIdText, KEY_READ | KEY_WRITE) != ERROR_SUCCESS)
            continue;
        if (stored == record.engineIndex)
            continue;
        const bool indexWritten = entryKey.SetDWORDValue(L"Index", record.engineIndex) == ERROR_SUCCESS;
        if (record.metadataVersion != 0)
            entryKey.SetDWORDValue(L"MetadataVersion", record.metadataVersion);
        entryKey.SetStringValue(L"Module ID", record.moduleId);
        if (indexWritten)
            record.indexTableVersion = ReadNumber(entryKey, L"MetadataVersion", 0);
    }
}

}  // namespace

CComPtr<ILumMgrPluginEngine> CreateEnginePlugin(REFCLSID classId)
{
    CComPtr<ILumMgrPluginEngine> engine;
    const HRESULT hr =
        CoCreateInstance(classId, nullptr, kClassContextAll, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&engine));
    if (FAILED(hr))
    {
        engine.Release();
        ReportFailure(TraceSource::Search, kEventEnginePluginNotCreated, L"an analysis engine plug-in cannot be created",
                      hr, GuidToString(classId));
    }
    return engine;
}

HRESULT ReadPluginList(std::vector<PluginRecord>& records, ULONG listSelector, const wchar_t* rootPath)
{
    IndexTable table;
    return ReadList(records, listSelector, rootPath, table);
}

void ReadEnginePlugins(std::vector<PluginRecord>& records, const wchar_t* rootPath)
{
    records.clear();
    IndexTable table;
    if (FAILED(ReadList(records, kEngineListSelector, rootPath, table)))
        return;
    // Stable, so that engines of equal order keep their enumeration order and every reader, on
    // any thread, assigns the same indexes.
    std::stable_sort(records.begin(), records.end(),
                     [](const PluginRecord& a, const PluginRecord& b) { return a.order < b.order; });
    AssignEngineIndexes(records, table);
    MirrorEngineIndexes(records, rootPath);
}
