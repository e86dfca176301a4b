#include "tools/fuzz/RegistryTarget.h"

#include <algorithm>
#include <cstring>
#include <set>
#include "common/ProductKeys.h"
#include "contentdb/ContentClassification.h"
#include "search/MetadataVersions.h"
#include "search/PluginConfiguration.h"
#include "search/PluginDbSearchThread.h"
#include "tools/fuzz/FuzzInput.h"
#include "tools/soak/SoakRandom.h"

namespace
{
const wchar_t kScratchMachine[] = L"Software\\LumFuzz\\Machine";
const wchar_t kScratchClasses[] = L"Software\\LumFuzz\\Classes";
const wchar_t kExtension[] = L".lumfuzz";
constexpr size_t kMaxValueBytes = size_t{96} * 1024;
constexpr ULONG kEngineCount = 2;

GUID EngineId(ULONG number)
{
    return GUID{0x5e1f7f00 + number, 0x3b2a, 0x4c11, {0x8d, 0x40, 0x22, 0x6b, 0x91, 0x0e, 0x7a, 0x16}};
}

// A value the plug-in reads: its key below the product root ("%E" stands for an engine's class id,
// a key of "" for the file type under HKEY_CLASSES_ROOT) and its name.
struct Slot
{
    const wchar_t* key;
    const wchar_t* name;
};
const Slot kSlots[] = {
    {L"Engine Plugins\\%E", L"Module ID"},       {L"Engine Plugins\\%E", L"Enable"},
    {L"Engine Plugins\\%E", L"Order"},           {L"Engine Plugins\\%E", L"Type"},
    {L"Engine Plugins\\%E", L"MetadataVersion"}, {L"Engine Plugins\\%E", L"Input1"},
    {L"Engine Plugins\\%E", L"Input2"},          {L"Engine Plugins\\%E", L"Output1"},
    {L"Engine Plugins\\%E", L"Output2"},         {L"Engine Plugins\\%E", L"Loading"},
    {L"Engine Plugins\\%E", L"ExcludedEngine"},  {L"DB Notify Plugins\\%E", L"Enable"},
    {L"Setting\\LumSiftMgr\\EngineFlag\\%E", L"Index"},
    {L"Setting\\LumSiftMgr\\EngineFlag\\%E", L"MetadataVersion"},
    {L"Setting\\LumSiftMgr\\EngineFlag\\%E", L"Module ID"},
    {L"Setting\\LumSiftDbNotifyWex", L"CleanUpObjectClass"},
    {L"Setting\\LumSiftDbNotifyWex\\MetadataVersion\\0x0008\\%E", L"MetadataVersion"},
    {L"Setting\\LumSiftDbNotifyWex\\MetadataVersion\\0x0008\\%E", L"Module ID"},
    {L"Setting\\LumSiftDbNotifyWex\\MetadataVersion\\0x0004\\%E", L"MetadataVersion"},
    {L"", L"Content Type"},                      {L"", L"PerceivedType"},
    {L"", nullptr},
};
constexpr size_t kSlotCount = sizeof(kSlots) / sizeof(kSlots[0]);
constexpr size_t kCleanUpSlot = 15;
constexpr size_t kContentTypeSlot = 19;

const DWORD kTypes[] = {REG_NONE,      REG_SZ,       REG_EXPAND_SZ,         REG_BINARY, REG_DWORD,
                        REG_DWORD_BIG_ENDIAN, REG_LINK, REG_MULTI_SZ, REG_RESOURCE_LIST, REG_QWORD, 0x12345678};
const std::vector<std::wstring> kTexts = {L"Engine", L"", L"{5E1F7F01-3B2A-4C11-8D40-226B910E7A16}",
                                          L"{5e1f7f02-3b2a-4c11-8d40-226b910e7a16};;x;{", L"video", L"image/jpeg",
                                          L"audio/", L"0x10000", L"\xD800"};

// Subkeys the lists may hold beside the engines: names that are no class id end an enumeration.
// The last two are classes listed as engines that are none: one answers no engine interface, one
// cannot be created. Both are registered in this process: under Wine every CoCreateInstance of a
// class nobody registered, with the class context the plug-in uses (0x17), leaves two handles
// open (its try of a local server), which would hide a leak of the plug-in's own.
const std::vector<std::wstring> kOddSubkeys = {L"{not a class id}", L"{5E1F7F01-3B2A-4C11-8D40-226B910E7A16", L"x",
                                               L"{5E1F7F02-3B2A-4C11-8D40-226B910E7A16}",
                                               L"{5E1F7F03-3B2A-4C11-8D40-226B910E7A16}"};

std::wstring KeyOf(const Slot& slot, ULONG engine)
{
    std::wstring key = slot.key;
    const size_t at = key.find(L"%E");
    if (at != std::wstring::npos)
        key.replace(at, 2, GuidToString(EngineId(engine)).GetString());
    return key.empty() ? key : std::wstring(kProductRootKey) + L"\\" + key;
}

// Writes the value and gives back the bytes stored, which the oracle goes by: for a string type
// whose last character is not NUL but followed by one, the registry stores that NUL as well.
LONG WriteValue(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type, FuzzBytes& data)
{
    CRegKey key;
    LONG result = key.Create(root, path.c_str(), KEY_ALL_ACCESS);
    if (result != ERROR_SUCCESS)
        return result;
    // Room behind the data, since a string's terminator is looked for there; not NUL, so that
    // nothing is added.
    FuzzBytes padded = data;
    padded.insert(padded.end(), {0xFF, 0xFF});
    result = RegSetValueExW(key, name, 0, type, data.empty() ? nullptr : padded.data(), static_cast<DWORD>(data.size()));
    if (result != ERROR_SUCCESS)
        return result;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS)
    {
        data.assign(size + 2, 0);
        RegQueryValueExW(key, name, nullptr, nullptr, data.data(), &size);
        data.resize(size);
    }
    return ERROR_SUCCESS;
}

FuzzBytes ReadData(CFuzzInput& in, DWORD type)
{
    FuzzBytes data;
    switch (in.Below(4))
    {
    case 0:
    {
        // A text, terminated or not.
        const std::wstring text = in.Flag() ? in.Pick(kTexts) : in.Text(kMaxValueBytes / 2);
        for (wchar_t ch : text)
        {
            data.push_back(static_cast<uint8_t>(ch));
            data.push_back(static_cast<uint8_t>(ch >> 8));
        }
        if (in.Flag())
            data.insert(data.end(), {0, 0});
        break;
    }
    case 1:
    {
        const uint32_t value = in.Dword();
        const size_t size = type == REG_QWORD ? 8 : in.Below(9);
        for (size_t i = 0; i < size; ++i)
            data.push_back(static_cast<uint8_t>(i < 4 ? value >> (8 * i) : 0));
        break;
    }
    case 2:
        data.resize(in.Flag() ? kMaxValueBytes : in.Below(1024), in.Byte());
        break;
    default:
        for (size_t size = in.Below(64); size > 0; --size)
            data.push_back(in.Byte());
        break;
    }
    return data;
}

// The clean-up class as the written bytes give it: up to four bytes, little-endian; more is no value.
LONG ExpectedNumber(const FuzzBytes* data)
{
    if (!data || data->size() > 4)
        return 0;
    DWORD value = 0;
    std::memcpy(&value, data->data(), data->size());
    return static_cast<LONG>(value);
}

// The text a string value gives: its UTF-16 units up to the first NUL or the data's end.
std::wstring ExpectedText(const FuzzBytes& data)
{
    std::wstring text;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
    {
        const wchar_t ch = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (ch == 0)
            break;
        text.push_back(ch);
    }
    return text;
}

bool HoldsNul(const CString& text)
{
    return static_cast<size_t>(text.GetLength()) != std::wcslen(text.GetString());
}

class CCleanUpClassReader : public CPluginDbSearchThread
{
public:
    using CPluginDbSearchThread::ReadCleanUpObjectClass;
};
}  // namespace

std::string CRegistryTarget::SetUp()
{
    m_machine = std::make_unique<CScratchMachineKey>(kScratchMachine);
    if (FAILED(m_machine->Redirect()))
        return "HKEY_LOCAL_MACHINE cannot be redirected";
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratchClasses);
    if (m_classes.Create(HKEY_CURRENT_USER, kScratchClasses, KEY_ALL_ACCESS) != ERROR_SUCCESS ||
        RegOverridePredefKey(HKEY_CLASSES_ROOT, m_classes) != ERROR_SUCCESS)
        return "HKEY_CLASSES_ROOT cannot be redirected";
    for (ULONG i = 0; i < kEngineCount; ++i)
    {
        m_engines.emplace_back();
        if (FAILED(m_engines.back().Register(EngineId(i), i == 0 ? 0x0C : 0x3F)))
            return "a stand-in engine cannot be registered";
    }
    m_engines.emplace_back();
    if (FAILED(m_engines.back().Register(EngineId(kEngineCount), 0x3F)))
        return "a stand-in engine cannot be registered";
    m_engines.back().State().answersEngineInterface = false;
    m_engines.emplace_back();
    if (FAILED(m_engines.back().Register(EngineId(kEngineCount + 1), 0x3F)))
        return "a stand-in engine cannot be registered";
    m_engines.back().State().create.FailWith(E_FAIL);
    return {};
}

void CRegistryTarget::TearDown()
{
    m_engines.clear();
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    m_classes.Close();
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratchClasses);
    m_machine.reset();
}

std::vector<FuzzBytes> CRegistryTarget::Seeds()
{
    std::vector<FuzzBytes> seeds;
    // One value of each slot, with each kind of data.
    for (uint8_t slot = 0; slot < kSlotCount; ++slot)
        seeds.push_back({1, 1, slot, 0, 1, static_cast<uint8_t>(slot % 4), 1, static_cast<uint8_t>(slot), 7, 0, 0, 0});
    return seeds;
}

std::string CRegistryTarget::Run(const FuzzBytes& input)
{
    CFuzzInput in(input);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductRootKey);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kExtension);

    // Mostly from a list that works, so that the readers go past the first checks.
    if (in.Flag())
    {
        for (ULONG engine = 0; engine < kEngineCount; ++engine)
        {
            CRegKey key;
            key.Create(HKEY_LOCAL_MACHINE, (std::wstring(kProductRootKey) + L"\\Engine Plugins\\" +
                                            GuidToString(EngineId(engine)).GetString()).c_str(), KEY_ALL_ACCESS);
            key.SetStringValue(L"Module ID", L"Engine");
            key.SetDWORDValue(L"Enable", 0xFFFFFFFF);
            key.SetDWORDValue(L"Order", 100 + engine);
            key.SetDWORDValue(L"MetadataVersion", 0x00020000);
        }
    }
    const FuzzBytes* cleanUpData = nullptr;
    DWORD cleanUpType = REG_NONE;
    const FuzzBytes* contentType = nullptr;
    DWORD contentTypeType = REG_NONE;
    std::vector<FuzzBytes> written;
    written.reserve(16);
    for (uint32_t writes = in.Below(16); writes > 0 && !in.AtEnd(); --writes)
    {
        const size_t slot = in.Below(kSlotCount);
        const ULONG engine = in.Below(kEngineCount);
        const DWORD type = in.Flag() ? in.Dword() : kTypes[in.Below(sizeof(kTypes) / sizeof(kTypes[0]))];
        written.push_back(ReadData(in, type));
        const std::wstring key = KeyOf(kSlots[slot], engine);
        const HKEY root = key.empty() ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE;
        if (WriteValue(root, key.empty() ? kExtension : key, kSlots[slot].name, type, written.back()) != ERROR_SUCCESS)
            continue;
        if (slot == kCleanUpSlot)
        {
            cleanUpData = &written.back();
            cleanUpType = type;
        }
        if (slot == kContentTypeSlot)
        {
            contentType = &written.back();
            contentTypeType = type;
        }
    }
    if (in.Flag())
    {
        CRegKey odd;
        odd.Create(HKEY_LOCAL_MACHINE, (std::wstring(kProductRootKey) + L"\\Engine Plugins\\" + in.Pick(kOddSubkeys)).c_str(),
                   KEY_ALL_ACCESS);
    }

    std::vector<PluginRecord> records;
    ReadPluginList(records, in.Flag() ? in.Dword() : 0x10000u << in.Below(4), kProductRootKey);
    for (const PluginRecord& record : records)
    {
        if (HoldsNul(record.moduleId) || record.classIdText != GuidToString(record.classId))
            return "a listed plug-in's module id or class id text is malformed";
    }
    ReadEnginePlugins(records, kProductRootKey);
    std::set<ULONG> indexes;
    for (size_t i = 0; i < records.size(); ++i)
    {
        if (records[i].engineIndex < 2 || !indexes.insert(records[i].engineIndex).second)
            return "engine index " + std::to_string(records[i].engineIndex) + " given out wrongly";
        if (i > 0 && records[i - 1].order > records[i].order)
            return "the engines are not in plug-in order";
    }

    m_withEngines += records.empty() ? 0 : 1;
    const ULONG mask = in.Dword();
    for (const EngineEntry& entry : GetEngineList(mask, kProductRootKey))
    {
        if ((entry.categoryMask & ~(mask & 0x3F)) != 0 || entry.engineIndex < 2)
            return "an engine of the list has categories beyond those asked for, or no index";
    }
    std::vector<EngineEntry> outdated;
    ULONG either = 0;
    const ULONG answer = GetOutdatedEngines(in.Flag(), outdated, mask, kProductRootKey);
    for (const EngineEntry& entry : outdated)
        either |= entry.categoryMask;
    if (answer != either || (answer & ~(mask & 0x3F)) != 0)
        return "GetOutdatedEngines answered categories its entries do not have";

    const LONG cleanUpClass = CCleanUpClassReader::ReadCleanUpObjectClass();
    if (cleanUpClass != ExpectedNumber(cleanUpData))
        return "the clean-up class is " + std::to_string(cleanUpClass) + ", the value's " +
               std::to_string(cleanUpData ? cleanUpData->size() : 0) + " bytes of type " +
               std::to_string(cleanUpType) + " say " + std::to_string(ExpectedNumber(cleanUpData));
    m_cleanUpClasses += cleanUpClass != 0 ? 1 : 0;

    const CString mime = GetMimeTypeFromPath(L"C:\\media\\file.lumfuzz");
    if (HoldsNul(mime))
        return "a MIME type holds a NUL";
    if (contentType && (contentTypeType == REG_SZ || contentTypeType == REG_EXPAND_SZ) &&
        std::wstring(mime.GetString()) != ExpectedText(*contentType))
        return "the MIME type is not the registered content type";
    m_registeredTypes += contentType && (contentTypeType == REG_SZ || contentTypeType == REG_EXPAND_SZ) ? 1 : 0;
    return {};
}

std::string CRegistryTarget::Reached() const
{
    return std::to_string(m_withEngines) + " engine lists read, " + std::to_string(m_cleanUpClasses) +
           " clean-up classes, " + std::to_string(m_registeredTypes) + " registered content types";
}
