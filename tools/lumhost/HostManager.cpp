#include "tools/lumhost/HostManager.h"
#include "interfaces/ManagerInterfaces.h"
#include "standins/ManagerQueueEntry.h"
#include "standins/ManagerSite.h"
#include "tools/lumhost/Timeline.h"

CHostManager::CHostManager(HandOffListener onHandOff, WithdrawalListener onWithdrawal)
    : m_onHandOff(std::move(onHandOff)), m_onWithdrawal(std::move(onWithdrawal))
{
}

CHostManager::~CHostManager()
{
    Detach();
}

HRESULT CHostManager::Create()
{
    const HRESULT hr = CManagerSite::Create(&m_site);
    if (FAILED(hr))
        return hr;

    // The observers hold no reference to the site: Detach clears them before it goes.
    CManagerSite* site = m_site.Get();
    site->SetQueueItemObserver([this, site](const QueueItemCall& call) {
        HandOff handOff{call.location, call.category, call.queueFlags, std::wstring(), call.answered, call.tick};
        if (SUCCEEDED(call.answered))
        {
            std::wstring id;
            {
                CLockGuard guard(m_lock);
                id = FormatText(L"Q%lu", static_cast<unsigned long>(m_nextEntry++));
            }
            CComPtr<CManagerQueueEntry> entry;
            if (SUCCEEDED(CManagerQueueEntry::Create(id.c_str(), call.location.c_str(),
                                                     QueueEntry::kStateWithdrawable, &entry)))
            {
                // Every later hand-off reads every entry: nothing here looks at those calls.
                entry->Calls().SetRecording(false);
                site->AddQueueEntry(entry);
                CLockGuard guard(m_lock);
                m_entryPaths[id] = call.location;
                handOff.entryId = id;
            }
        }
        // The records are only for tests; a long run must not grow them without end.
        site->QueueItemCalls().Clear();
        site->GetQueueEntriesCalls().Clear();
        if (m_onHandOff)
            m_onHandOff(handOff);
    });
    site->SetCancelQueueEntryObserver([this, site](const CancelQueueEntryCall& call) {
        Withdrawal withdrawal{call.entryId, std::wstring(), call.answered, call.tick};
        {
            CLockGuard guard(m_lock);
            const auto found = m_entryPaths.find(call.entryId);
            if (found != m_entryPaths.end())
            {
                withdrawal.path = found->second;
                if (call.answered == S_OK)
                    m_entryPaths.erase(found);
            }
        }
        site->CancelQueueEntryCalls().Clear();
        if (m_onWithdrawal)
            m_onWithdrawal(withdrawal);
    });
    return S_OK;
}

void CHostManager::Detach()
{
    if (m_site)
    {
        m_site->SetQueueItemObserver(nullptr);
        m_site->SetCancelQueueEntryObserver(nullptr);
    }
    m_site.Release();
}

ILumMgrPluginSite* CHostManager::Site() const noexcept
{
    return m_site.Get();
}

void CHostManager::Finished(const std::wstring& entryId)
{
    if (m_site)
        m_site->RemoveQueueEntry(entryId);
    CLockGuard guard(m_lock);
    m_entryPaths.erase(entryId);
}

size_t CHostManager::QueueLength() const
{
    return m_site ? m_site->QueueEntryCount() : 0;
}
