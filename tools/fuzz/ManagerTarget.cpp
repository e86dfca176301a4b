#include "tools/fuzz/ManagerTarget.h"

#include <ocidl.h>
#include "contentdb/ContentConstants.h"
#include "host/PluginDbNotify.h"
#include "notify/DelayQueueFile.h"
#include "standins/FileExaminer.h"
#include "standins/QueueEventsSink.h"
#include "tools/fuzz/FuzzInput.h"
#include "tools/fuzz/FuzzVariants.h"
#include "tools/soak/SoakRandom.h"

namespace
{
const wchar_t kScratchMachine[] = L"Software\\LumFuzz\\ManagerMachine";
constexpr uint32_t kMethodCount = 27;
constexpr uint8_t kPendingItemsMethod = 25;
constexpr uint32_t kMaxCalls = 24;
constexpr uint32_t kMaxItems = 6;
constexpr DWORD kSettleMs = 2000;

const ULONG kPropertyIds[] = {0x11000, 0x11001, static_cast<ULONG>(kPropertyThreadsEndedByForce), 0, 0xFFFFFFFF, 0x7FFFFFFF};
// The start modes of bits 16 to 23, and words no manager sends.
const ULONG kStartFlags[] = {0x00010000, 0x00020000, 0x00030000, 0x00040000, 0x00050000, 0x00060000,
                             0x00FF0000, 0xFFFFFFFF, 0, 0x0006003F};
const ULONG kCounts[] = {0, 1, 2, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000};

std::wstring ClipName(uint32_t i)
{
    return L"clip" + std::to_wstring(i) + L".mpg";
}

ULONG Number(CFuzzInput& in, const ULONG* table, size_t count)
{
    return in.Flag() ? in.Dword() : table[in.Below(static_cast<uint32_t>(count))];
}

void Clear(VARIANT& value)
{
    VariantClear(&value);
}

// GetPendingItems' answer: S_OK with 1 to maxCount paths, or S_FALSE with nothing.
std::string CheckPage(HRESULT hr, const VARIANT& items, ULONG maxCount)
{
    if (hr == S_FALSE)
        return items.vt == VT_EMPTY ? std::string() : "GetPendingItems answered S_FALSE with a value";
    if (hr != S_OK)
        return {};
    if (items.vt != (VT_ARRAY | VT_BSTR) || !items.parray)
        return "GetPendingItems answered S_OK without an array of BSTRs";
    LONG low = 0;
    LONG high = -1;
    SafeArrayGetLBound(items.parray, 1, &low);
    SafeArrayGetUBound(items.parray, 1, &high);
    const ULONG count = static_cast<ULONG>(high - low + 1);
    if (count == 0 || count > maxCount)
        return "GetPendingItems handed back " + std::to_string(count) + " paths when asked for " + std::to_string(maxCount);
    return {};
}

// One call of the method numbered `method`, its arguments from the input.
std::string Call(uint32_t method, CFuzzInput& in, ILumMgrPluginEngine* engine, ILumMgrPluginDatabaseNotify2* notify,
                 CFuzzVariants& variants, IUnknown* site, IUnknown* other, uint64_t& pages)
{
    VARIANT out;
    VariantInit(&out);
    VARIANT* outOrNull = in.Below(8) == 0 ? nullptr : &out;
    ULONG number = 0;
    ULONG* numberOrNull = in.Below(8) == 0 ? nullptr : &number;
    VARIANT_BOOL flag = 0;
    VARIANT_BOOL* flagOrNull = in.Below(8) == 0 ? nullptr : &flag;
    BSTR text = nullptr;
    BSTR* textOrNull = in.Below(8) == 0 ? nullptr : &text;
    std::string finding;
    switch (method)
    {
    case 0:
        engine->GetProperty(static_cast<LONG>(Number(in, kPropertyIds, 6)), outOrNull);
        break;
    case 1:
        engine->SetProperty(static_cast<LONG>(Number(in, kPropertyIds, 6)), variants.Make(in, site));
        break;
    case 2:
        engine->GetPropertyInfo(static_cast<LONG>(in.Dword()), outOrNull);
        break;
    case 3:
    {
        const ULONG flags = Number(in, kStartFlags, sizeof(kStartFlags) / sizeof(kStartFlags[0]));
        BSTR context = variants.MakeBstr(in);
        engine->Start(flags, context, variants.Make(in, site));
        break;
    }
    case 4:
        engine->Stop(variants.Make(in, site));
        break;
    case 5:
        engine->Pause(variants.Make(in, site));
        break;
    case 6:
        engine->Resume(variants.Make(in, site));
        break;
    case 7:
        engine->SetOption(in.Dword());
        break;
    case 8:
        engine->GetOptionFlag(flagOrNull);
        break;
    case 9:
        engine->Abort(variants.Make(in, site));
        break;
    case 10:
        engine->GetState(numberOrNull);
        break;
    case 11:
        engine->GetProgress(numberOrNull);
        break;
    case 12:
        engine->GetProgressEventName(textOrNull);
        break;
    case 13:
        engine->GetModuleId(textOrNull);
        break;
    case 14:
        engine->GetCategoryMask(numberOrNull);
        break;
    case 15:
        engine->GetClassId(outOrNull);
        break;
    case 16:
        engine->GetOptionFlag2(flagOrNull);
        break;
    case 17:
        engine->GetProcessId(numberOrNull, outOrNull);
        break;
    case 18:
        engine->TakeStartContext(textOrNull);
        break;
    case 19:
    {
        IUnknown* const sites[] = {site, nullptr, other};
        notify->Connect(sites[in.Below(3)], variants.Make(in, site));
        break;
    }
    case 20:
        notify->Disconnect(variants.Make(in, site));
        break;
    case 21:
        notify->GetNotifyFlag(flagOrNull);
        break;
    case 22:
        notify->GetInterval(numberOrNull);
        break;
    case 23:
        notify->SetInterval(in.Dword());
        break;
    case 24:
        notify->GetPendingCount(numberOrNull);
        break;
    case kPendingItemsMethod:
    {
        const ULONG skip = Number(in, kCounts, sizeof(kCounts) / sizeof(kCounts[0]));
        const ULONG maxCount = Number(in, kCounts, sizeof(kCounts) / sizeof(kCounts[0]));
        const HRESULT hr = notify->GetPendingItems(skip, maxCount, outOrNull);
        if (outOrNull)
            finding = CheckPage(hr, out, maxCount);
        pages += hr == S_OK ? 1 : 0;
        break;
    }
    default:
        notify->CancelPending(variants.MakeBstr(in));
        break;
    }
    Clear(out);
    SysFreeString(text);
    return finding;
}
}  // namespace

std::string CManagerTarget::SetUp()
{
    m_machine = std::make_unique<CScratchMachineKey>(kScratchMachine);
    if (FAILED(m_machine->Redirect()))
        return "HKEY_LOCAL_MACHINE cannot be redirected";
    m_db = CContentDatabase::Create();
    // Every class the plug-in creates is registered here: under Wine a class nobody registered
    // leaves two handles open per creation, which would hide a leak of the plug-in's own.
    if (FAILED(m_db->Register()) || FAILED(m_services.Register()) || FAILED(CManagerSite::Create(&m_site)) ||
        FAILED(m_examiner.Register<CFileExaminer>(CLSID_FileExaminer)))
        return "the stand-ins cannot be registered";
    m_scratch = std::make_unique<CScratchFolder>(L"lumfuzz-manager");
    for (uint32_t i = 0; i < kMaxItems; ++i)
    {
        if (m_scratch->Write(ClipName(i), "data").empty())
            return "a media file cannot be written";
    }
    // The queue file of an earlier run would make requests pending that no input asked for.
    BackUpDelayQueueFile();
    return {};
}

void CManagerTarget::TearDown()
{
    BackUpDelayQueueFile();
    m_scratch.reset();
    m_site.Release();
    m_services.Revoke();
    m_examiner.Revoke();
    if (m_db)
    {
        m_db->Control().Reset();
        m_db->Revoke();
        m_db->WaitNotificationsIdle(kSettleMs);
        m_db.reset();
    }
    m_machine.reset();
}

std::vector<FuzzBytes> CManagerTarget::Seeds()
{
    std::vector<FuzzBytes> seeds;
    // Connected with four requests pending, then each method once: out pointers given, a skip of
    // 1 and a page of 2 where counts are asked for.
    for (uint8_t method = 0; method < kMethodCount; ++method)
        seeds.push_back({0x0F, 3, 1, method, 1, 1, 1, 1, 0, 1, 0, 2, 0, 0, 0, 0});
    return seeds;
}

bool CManagerTarget::Generate(CSoakRandom& random, FuzzBytes& input)
{
    // Mostly pages of the pending requests, between calls of every other method.
    CFuzzInputWriter writer;
    writer.Byte(static_cast<uint8_t>(random.Percent(60) ? 0x05 | (random.Below(16) & 0x0A) : random.Below(16)));
    writer.Byte(static_cast<uint8_t>(random.Below(kMaxItems)));
    const uint32_t calls = 1 + random.Below(kMaxCalls);
    writer.Byte(static_cast<uint8_t>(calls));
    for (uint32_t i = 0; i < calls; ++i)
    {
        const bool page = random.Percent(40);
        writer.Byte(static_cast<uint8_t>(page ? kPendingItemsMethod : random.Below(kMethodCount)));
        for (int pointer = 0; pointer < 4; ++pointer)
            writer.Byte(static_cast<uint8_t>(random.Percent(90) ? 1 : 0));
        if (page)
        {
            for (int count = 0; count < 2; ++count)
            {
                const bool any = random.Percent(20);
                writer.Byte(any ? 1 : 0);
                if (any)
                    writer.Dword(random.Percent(50) ? random.Below(8) : random.Next());
                else
                    writer.Byte(static_cast<uint8_t>(random.Below(sizeof(kCounts) / sizeof(kCounts[0]))));
            }
        }
        else
        {
            for (uint32_t extra = random.Below(12); extra > 0; --extra)
                writer.Byte(static_cast<uint8_t>(random.Next()));
        }
    }
    input = writer.Bytes();
    return true;
}

std::string CManagerTarget::Run(const FuzzBytes& input)
{
    CFuzzInput in(input);
    const uint8_t setup = in.Byte();
    CComPtr<ILumMgrPluginEngine> engine;
    if (FAILED(CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&engine))))
        return "the plug-in object cannot be created";
    CComPtr<ILumMgrPluginDatabaseNotify2> notify;
    if (FAILED(engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&notify))))
        return "the plug-in object has no database-notify interface";

    CComPtr<CQueueEventsSink> sink;
    DWORD cookie = 0;
    CComPtr<IConnectionPoint> point;
    if (setup & 2)
    {
        CComPtr<IConnectionPointContainer> container;
        if (CQueueEventsSink::Create(&sink) == S_OK &&
            engine->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)) == S_OK &&
            container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &point) == S_OK)
            point->Advise(static_cast<ILumMgrPluginQueueEvents*>(sink.Get()), &cookie);
    }
    VARIANT none;
    VariantInit(&none);
    const bool pending = (setup & 5) == 5;
    if (pending)
    {
        // Requests a connect takes up again from the delay-queue file.
        std::vector<CDelayQueueRecord> records;
        for (uint32_t i = 1 + in.Below(kMaxItems); i > 0; --i)
            records.push_back({CString(m_scratch->PathOf(ClipName(i - 1)).c_str()), CString(L"fz") + ClipName(i - 1).c_str(), kItemClassVideo});
        SaveDelayQueueFile(records);
    }
    if (setup & 1)
        notify->Connect(m_site, none);
    if (pending)
    {
        // Connect only queues: wait until the worker has loaded them.
        const DWORD start = GetTickCount();
        ULONG count = 0;
        while ((notify->GetPendingCount(&count) != S_OK || count == 0) && GetTickCount() - start < kSettleMs)
            Sleep(5);
    }

    std::string finding;
    {
        CFuzzVariants variants;
        const uint32_t calls = in.Below(kMaxCalls + 1);
        for (uint32_t i = 0; i < calls && finding.empty(); ++i, ++m_calls)
            finding = Call(in.Below(kMethodCount), in, engine, notify, variants, m_site.Get(),
                           static_cast<IUnknown*>(static_cast<ILumMgrPluginQueueEvents*>(sink ? sink.Get() : nullptr)), m_pages);
    }
    if (setup & 8)
        notify->Disconnect(none);
    if (point && cookie)
        point->Unadvise(cookie);
    point.Release();
    notify.Release();
    engine.Release();

    m_db->WaitNotificationsIdle(kSettleMs);
    m_db->Catalogue().Clear();
    m_site->QueueItemCalls().Clear();
    BackUpDelayQueueFile();
    return finding;
}

std::string CManagerTarget::Reached() const
{
    return std::to_string(m_calls) + " calls, " + std::to_string(m_pages) + " pages of pending paths handed back";
}
