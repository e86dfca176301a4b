#include "tools/lumhost/AnalysingManager.h"
#include <process.h>
#include "common/CallbackType.h"
#include "common/Path.h"
#include "contentdb/ContentConstants.h"
#include "search/AnalysisState.h"
#include "standins/ContentDbCatalogue.h"
#include "standins/ManagerStatus.h"
#include "tools/lumhost/Timeline.h"

namespace
{
constexpr DWORD kStopWaitMs = 10000;
constexpr LONG kStateProps[kStateWordCount] = {kPropAnalysisState0, kPropAnalysisState1, kPropAnalysisState2,
                                               kPropAnalysisState3};

void SetField(LONG (&words)[kStateWordCount], ULONG field, ULONG value)
{
    ULONG word = 0;
    ULONG shift = 0;
    if (!LocateStateField(field, &word, &shift))
        return;
    const ULONG bits = static_cast<ULONG>(words[word]);
    words[word] = static_cast<LONG>((bits & ~(kStateFieldMask << shift)) | ((value & kStateFieldMask) << shift));
}
}  // namespace

CAnalysingManager::CAnalysingManager(CContentDbCatalogue& database, FieldsOf fieldsOf, DWORD analyseMs,
                                     Listener onAnalysed)
    : m_database(database),
      m_fieldsOf(std::move(fieldsOf)),
      m_analyseMs(analyseMs),
      m_onAnalysed(std::move(onAnalysed)),
      m_wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

CAnalysingManager::~CAnalysingManager()
{
    Stop();
}

HRESULT CAnalysingManager::Start()
{
    if (!m_wake.IsValid() || !m_stop.IsValid())
        return E_OUTOFMEMORY;
    LUM_ASSERT_CALLBACK_TYPE(ThreadMain, _beginthreadex_proc_type);
    const uintptr_t thread = _beginthreadex(nullptr, 0, &ThreadMain, this, 0, nullptr);
    if (!thread)
        return E_FAIL;
    m_thread.Reset(reinterpret_cast<HANDLE>(thread));
    return S_OK;
}

void CAnalysingManager::Stop()
{
    if (m_thread.IsValid())
    {
        SetEvent(m_stop.Get());
        WaitForSingleObject(m_thread.Get(), kStopWaitMs);
        m_thread.Reset();
    }
    CLockGuard guard(m_lock);
    m_waiting.clear();
    m_analysing = false;
    PublishCounts();
}

void CAnalysingManager::Queue(const std::wstring& entryId, const std::wstring& path, const std::wstring& itemId,
                              ULONG category)
{
    CLockGuard guard(m_lock);
    m_waiting.push_back(Item{entryId, path, itemId, category});
    PublishCounts();
    SetEvent(m_wake.Get());
}

bool CAnalysingManager::Withdraw(const std::wstring& entryId)
{
    CLockGuard guard(m_lock);
    if (m_analysing && m_current == entryId)
    {
        m_currentWithdrawn = true;
        return true;
    }
    for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it)
    {
        if (it->entryId == entryId)
        {
            m_waiting.erase(it);
            PublishCounts();
            return true;
        }
    }
    return false;
}

size_t CAnalysingManager::Outstanding() const
{
    CLockGuard guard(m_lock);
    return m_waiting.size() + (m_analysing ? 1 : 0);
}

void CAnalysingManager::PublishCounts()
{
    CManagerStatus::SetQueueCounts(static_cast<ULONG>(m_waiting.size()), m_analysing ? 1 : 0);
}

unsigned __stdcall CAnalysingManager::ThreadMain(void* self)
{
    static_cast<CAnalysingManager*>(self)->Run();
    return 0;
}

void CAnalysingManager::Run()
{
    const HANDLE handles[] = {m_stop.Get(), m_wake.Get()};
    while (true)
    {
        Item item;
        bool taken = false;
        {
            CLockGuard guard(m_lock);
            if (!m_waiting.empty())
            {
                item = std::move(m_waiting.front());
                m_waiting.pop_front();
                m_analysing = true;
                m_current = item.entryId;
                m_currentWithdrawn = false;
                taken = true;
                PublishCounts();
            }
        }
        if (!taken)
        {
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
                return;
            continue;
        }
        if (WaitForSingleObject(m_stop.Get(), m_analyseMs) != WAIT_TIMEOUT)
            return;
        bool withdrawn;
        {
            CLockGuard guard(m_lock);
            withdrawn = m_currentWithdrawn;
        }
        if (!withdrawn)
        {
            const Analysed analysed = Analyse(item);
            if (m_onAnalysed)
                m_onAnalysed(analysed);
        }
        CLockGuard guard(m_lock);
        m_analysing = false;
        m_current.clear();
        PublishCounts();
    }
}

CAnalysingManager::Analysed CAnalysingManager::Analyse(const Item& item)
{
    Analysed analysed;
    analysed.entryId = item.entryId;
    analysed.path = item.path;
    analysed.itemId = item.itemId;
    analysed.category = item.category;
    const ContentDbItemPtr found = item.itemId.empty() ? nullptr : m_database.Find(item.itemId);
    if (!found)
        analysed.problem = L"not in the content database (any more)";
    else if (!FileExists(MakeLongPath(item.path.c_str(), false, false)))
        analysed.problem = L"its file is gone";
    if (!analysed.problem.empty())
    {
        analysed.tick = GetTickCount();
        return analysed;
    }

    for (ULONG i = 0; i < kStateWordCount; ++i)
    {
        const std::wstring* text = found->FindProperty(kStateProps[i]);
        analysed.words[i] = ReadStateWord(text ? text->c_str() : nullptr);
    }
    const LONG before[kStateWordCount] = {analysed.words[0], analysed.words[1], analysed.words[2], analysed.words[3]};
    SetField(analysed.words, 1, kStateAnalysed);
    analysed.fields = m_fieldsOf ? m_fieldsOf(item.category) : std::vector<ULONG>();
    for (ULONG field : analysed.fields)
        SetField(analysed.words, field, kStateAnalysed);

    CContentDbCatalogue::Properties writes;
    for (ULONG i = 0; i < kStateWordCount; ++i)
    {
        if (analysed.words[i] != before[i] || i == 0)
            writes.emplace_back(kStateProps[i], FormatText(L"%ld", static_cast<long>(analysed.words[i])));
    }
    analysed.written = m_database.SetPropertiesQuietly(item.itemId, writes);
    if (!analysed.written)
        analysed.problem = L"not in the content database (any more)";
    analysed.tick = GetTickCount();
    return analysed;
}
