#include "tools/fuzz/DbRowsTarget.h"

#include <cwchar>
#include "common/Path.h"
#include "common/ProductKeys.h"
#include "common/RegKey.h"
#include "contentdb/ContentConstants.h"
#include "contentdb/KdCdbMgr.h"
#include "search/CleanUpProgress.h"
#include "search/PluginDbSearchThread.h"
#include "search/SearchQuerySet.h"
#include "standins/FileExaminer.h"
#include "tools/fuzz/Confinement.h"
#include "tools/fuzz/FuzzInput.h"
#include "tools/soak/SoakRandom.h"

// The passes the clean-up is made of, called on the target's thread as the tests call them.
class CRowsWorker : public CPluginDbSearchThread
{
public:
    using CPluginDbSearchThread::RepairContainers;
    using CPluginDbSearchThread::RunRemovalSteps;
};

namespace
{
const wchar_t kScratchMachine[] = L"Software\\LumFuzz\\RowsMachine";
const wchar_t kClient[] = L"LumSiftDbNotifyWex";
constexpr DWORD kOpenWaitMs = 5000;
constexpr uint32_t kMaxItems = 12;
constexpr uint32_t kMaxProperties = 8;
constexpr size_t kHugeValue = 40000;

const LONG kClasses[] = {kItemClassVideo,       kItemClassImage,       kItemClassAudio,          kItemClassContainer,
                         kItemClassDerived610,  kItemClassDerived611,  kItemClassDerived612,     kItemClassContainer620,
                         kItemClassContainer630, kItemClassCollection650, kItemClassCollection700, 0, -1};
const LONG kProperties[] = {kPropPath,          kPropMimeType,        kPropSourceApplication, kPropBroadcastType,
                            kPropMarker,        kPropAnalysisState0,  kPropAnalysisState1,    kPropAnalysisState2,
                            kPropAnalysisState3, kPropItemState,      kPropDerivedFrom,       kPropDerivedLabel,
                            kPropContainerKey,  kPropMemberList,      kAssociatedFileProps[0], CContentDbItem::kPropClass};
const std::vector<std::wstring> kValues = {L"0",   L"4",   L"10",  L"0x7",  L"-1",  L"4294967295", L"2",  L"video/mpeg",
                                           L"image/", L"audio/mp3", L"x",   L"cm",  L"goods", L"r0",  L"r1;r2;",
                                           L";;",  L" ",   L"\xD800", L"Orvex_Studio_Video_Recorder:x", L"BSDigital"};
// What the shaper makes of an answer.
enum Shape : uint8_t
{
    kAsIs,
    kCountWithoutValue,  // count 1, value null
    kValueWithoutCount,  // count 0, the value still handed over
    kManyValues,         // count far beyond the one value
    kNegativeCount,
    kOtherText,          // a text with a NUL inside
    kShapeCount
};

struct Rule
{
    LONG propId;  // 0: every property
    Shape shape;
};

void ApplyRule(const Rule& rule, LONG propId, LONG& count, BSTR& value)
{
    if (rule.propId != 0 && rule.propId != propId)
        return;
    switch (rule.shape)
    {
    case kCountWithoutValue:
        SysFreeString(value);
        value = nullptr;
        count = 1;
        break;
    case kValueWithoutCount:
        count = 0;
        break;
    case kManyValues:
        count = 0x7FFFFFFF;
        break;
    case kNegativeCount:
        count = -1;
        break;
    case kOtherText:
        SysFreeString(value);
        value = SysAllocStringLen(L"4\0C:\\windows\\win.ini", 21);
        count = 1;
        break;
    default:
        break;
    }
}

bool IsNumber(const std::wstring& text)
{
    if (text.empty())
        return false;
    wchar_t* end = nullptr;
    std::wcstoll(text.c_str(), &end, 0);
    return end && *end == 0;
}
}  // namespace

CDbRowsTarget::CDbRowsTarget() : CFuzzTarget("dbrows", "database") {}
CDbRowsTarget::~CDbRowsTarget() = default;

std::string CDbRowsTarget::SetUp()
{
    m_scratch = std::make_unique<CScratchFolder>(L"lumfuzz-rows");
    m_machine = std::make_unique<CScratchMachineKey>(kScratchMachine);
    if (FAILED(m_machine->Redirect()))
        return "HKEY_LOCAL_MACHINE cannot be redirected";
    // The clean-up removes video items whose file is gone.
    CRegKey settings;
    if (settings.Create(HKEY_LOCAL_MACHINE, (std::wstring(kProductRootKey) + L"\\" + kPluginSettingsKey).c_str(),
                        KEY_ALL_ACCESS) != ERROR_SUCCESS ||
        settings.SetDWORDValue(L"CleanUpObjectClass", kItemClassVideo) != ERROR_SUCCESS)
        return "the clean-up class cannot be written";
    m_db = CContentDatabase::Create();
    if (FAILED(m_db->Register()) || FAILED(CManagerSite::Create(&m_site)) ||
        FAILED(m_examiner.Register<CFileExaminer>(CLSID_FileExaminer)))
        return "the stand-ins cannot be registered";
    m_db->Control().SetRecording(true);
    m_worker = std::make_unique<CRowsWorker>();
    m_worker->SetSite(m_site);
    // Relative names in the rows resolve inside the scratch folder.
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    m_previousDirectory = current;
    if (!SetCurrentDirectoryW(m_scratch->Folder().c_str()))
        return "the scratch folder cannot be made current";
    return {};
}

void CDbRowsTarget::TearDown()
{
    if (!m_previousDirectory.empty())
        SetCurrentDirectoryW(m_previousDirectory.c_str());
    m_worker.reset();
    m_examiner.Revoke();
    m_site.Release();
    if (m_db)
    {
        m_db->Control().SetValueShaper(nullptr);
        m_db->Control().Reset();
        m_db->Revoke();
        m_db->WaitNotificationsIdle(kOpenWaitMs);
        m_db.reset();
    }
    m_machine.reset();
    m_scratch.reset();
}

namespace
{
// An input of well-formed media items (a path in the scratch folder, a MIME type, a state word),
// in the order Run reads them, so that the passes go past their first checks.
FuzzBytes MediaItems(CSoakRandom& random, uint8_t shape)
{
    CFuzzInputWriter writer;
    writer.Byte(shape ? 1 : 0);  // rules
    if (shape)
    {
        writer.Byte(1);  // every property
        writer.Byte(shape);
    }
    const uint8_t items = static_cast<uint8_t>(1 + random.Below(kMaxItems));
    writer.Byte(items);
    for (uint8_t i = 0; i < items; ++i)
    {
        writer.Byte(1);                                            // id "r<i>"
        writer.Byte(1);                                            // a class of the table
        writer.Byte(static_cast<uint8_t>(random.Below(4) == 0 ? random.Below(13) : random.Below(3)));
        writer.Byte(3);                                            // properties
        writer.Byte(0);                                            // the path: a media file
        writer.Byte(0);
        writer.Byte(static_cast<uint8_t>(random.Below(6)));
        writer.Byte(static_cast<uint8_t>(random.Below(2)));
        writer.Byte(random.Percent(75) ? 1 : 0);                   // present
        writer.Byte(1);                                            // the MIME type
        writer.Byte(2);
        writer.Byte(static_cast<uint8_t>(7 + random.Below(3)));
        writer.Byte(5);                                            // the overall state word
        writer.Byte(2);
        writer.Byte(static_cast<uint8_t>(random.Below(3)));        // "0", "4" or "10"
        writer.Byte(1);                                            // no members
    }
    writer.Byte(0);                                                // every category
    writer.Byte(static_cast<uint8_t>(random.Below(4)));            // the query
    writer.Dword(0x80000000);
    writer.Byte(static_cast<uint8_t>(random.Below(31)));
    writer.Byte(0);
    writer.Byte(static_cast<uint8_t>(random.Below(16)));
    return writer.Bytes();
}
}  // namespace

std::vector<FuzzBytes> CDbRowsTarget::Seeds()
{
    std::vector<FuzzBytes> seeds;
    CSoakRandom random(0);
    for (uint8_t shape = 0; shape < kShapeCount; ++shape)
        seeds.push_back(MediaItems(random, shape));
    return seeds;
}

bool CDbRowsTarget::Generate(CSoakRandom& random, FuzzBytes& input)
{
    input = MediaItems(random, random.Percent(70) ? 0 : static_cast<uint8_t>(random.Below(kShapeCount)));
    return true;
}

void CDbRowsTarget::FillCatalogue(CFuzzInput& in)
{
    const std::wstring& folder = m_scratch->Folder();
    const uint32_t items = in.Below(kMaxItems + 1);
    for (uint32_t i = 0; i < items; ++i)
    {
        const std::wstring id = in.Below(8) == 0 ? ConfinedValue(folder, in.Text(64)) : L"r" + std::to_wstring(i);
        const LONG itemClass = in.Below(8) == 0 ? static_cast<LONG>(in.Dword()) : kClasses[in.Below(sizeof(kClasses) / sizeof(kClasses[0]))];
        CContentDbCatalogue::Properties properties;
        std::wstring classText;
        for (uint32_t p = in.Below(kMaxProperties + 1); p > 0; --p)
        {
            const LONG prop = kProperties[in.Below(sizeof(kProperties) / sizeof(kProperties[0]))];
            std::wstring value;
            switch (in.Below(6))
            {
            case 0:
            case 1:
            {
                // A media file of the scratch folder, present or not.
                const std::wstring name = L"f" + std::to_wstring(in.Below(6)) + (in.Flag() ? L".mpg" : L".jpg");
                value = folder + L"\\" + name;
                if (in.Flag())
                    m_scratch->Write(name, "data");
                else
                    DeleteFileW(value.c_str());
                break;
            }
            case 2:
                value = in.Pick(kValues);
                break;
            case 3:
                value = std::wstring(kHugeValue, static_cast<wchar_t>(L'0' + in.Below(10)));
                break;
            default:
                value = in.Text(kHugeValue);
                break;
            }
            value = ConfinedValue(folder, value);
            if (prop == CContentDbItem::kPropClass)
                classText = value;
            else if (!value.empty())
                properties.push_back({prop, value});
        }
        m_db->Catalogue().AddItem(id, itemClass, properties);
        if (!classText.empty())
            m_db->Catalogue().SetClassText(id, classText);
        if (in.Below(4) == 0)
            m_db->Catalogue().SetMembers(id, {L"r" + std::to_wstring(in.Below(kMaxItems)), L"r" + std::to_wstring(in.Below(kMaxItems))});
    }
}

std::string CDbRowsTarget::Run(const FuzzBytes& input)
{
    CFuzzInput in(input);
    std::vector<Rule> rules;
    for (uint32_t count = in.Below(4); count > 0; --count)
    {
        const LONG prop = in.Flag() ? 0 : kProperties[in.Below(sizeof(kProperties) / sizeof(kProperties[0]))];
        rules.push_back({prop, static_cast<Shape>(in.Below(kShapeCount))});
    }
    m_db->Catalogue().Clear();
    m_db->Control().ClearCalls();
    m_site->QueueItemCalls().Clear();
    FillCatalogue(in);
    m_db->Control().SetValueShaper(rules.empty() ? CContentDbControl::ValueShaper()
                                                 : [rules](LONG propId, LONG& count, BSTR& value) {
                                                       for (const Rule& rule : rules)
                                                           ApplyRule(rule, propId, count, value);
                                                   });

    CKdCdbMgr write;
    CKdCdbMgr search;
    if (FAILED(write.Open(false, kClient, kOpenWaitMs)) || FAILED(search.Open(false, kClient, kOpenWaitMs)))
        return "the stand-in database did not open";
    const ULONG mask = in.Flag() ? in.Dword() : 0xFFFF;
    const CString queries[] = {CString(LR"(( -2 = "300" or -2 = "200" or -2 = "100" ))"), QueryAllNew(), QueryAllInState(10),
                               BuildCategoryPrefix(mask) + QueryPending()};
    m_worker->SearchAndQueue(write, search, queries[in.Below(4)], in.Dword(), mask);
    std::string finding = CheckOutcome();

    if (finding.empty())
    {
        const std::vector<ULONG> engines = {2 + in.Below(31), in.Flag() ? in.Dword() : 3};
        m_worker->ResetEngineStates(write, BuildCategoryClause(mask), engines, in.Below(16), 10);
        finding = CheckOutcome();
    }
    if (finding.empty())
    {
        CCleanUpProgress progress([](ULONG) {});
        m_worker->RunRemovalSteps(write, progress);
        m_worker->RepairContainers(write, progress);
        finding = CheckOutcome();
    }
    write.Close();
    search.Close();
    m_db->Control().SetValueShaper(nullptr);
    return finding;
}

std::string CDbRowsTarget::CheckOutcome()
{
    for (const QueueItemCall& call : m_site->QueueItemCalls().Calls())
    {
        if (call.location.empty() || call.location.find(L'\0') != std::wstring::npos)
            return "an item was handed over without a path, or with a NUL in it";
        if (!FileExists(MakeLongPath(CString(call.location.c_str()), false, false)))
            return "an item was handed over whose file does not exist";
        ++m_handedOver;
    }
    for (const CdbCall& call : m_db->Control().TakeCalls())
    {
        m_itemDeletions += call.method == CdbMethod::DeleteItem ? 1 : 0;
        if (call.method != CdbMethod::SetValues)
            continue;
        ++m_stateWrites;
        for (size_t i = 0; i < call.numbers.size() && i < call.values.size(); ++i)
        {
            const LONG prop = call.numbers[i];
            if (prop >= kPropAnalysisState0 && prop <= kPropAnalysisState3 && !IsNumber(call.values[i]))
                return "a state word was written that is not a number";
        }
    }
    m_site->QueueItemCalls().Clear();
    return {};
}

std::string CDbRowsTarget::Reached() const
{
    return std::to_string(m_handedOver) + " items handed over, " + std::to_string(m_stateWrites) + " writes, " +
           std::to_string(m_itemDeletions) + " item deletions";
}
