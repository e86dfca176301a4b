#include "notify/PluginDbNotifyThread.h"

CPluginDbNotifyThread::CProcessItem::~CProcessItem()
{
    if (siteStream)
    {
        CoReleaseMarshalData(siteStream);
        siteStream->Release();
        siteStream = nullptr;
    }
}

CPluginDbNotifyThread::CPluginDbNotifyThread()
    : m_countTimer(CreateWaitableTimerW(nullptr, FALSE, nullptr))
{
    m_delay = 10000;
}

CPluginDbNotifyThread::~CPluginDbNotifyThread()
{
    // The thread must be gone before this worker's members are: its items use them.
    if (m_stopEvent.GetHandle())
        m_stopEvent.Set();
    ClearOwner();
    RequestStop();
    StopThread(kStopTimeoutMs);
}

HRESULT CPluginDbNotifyThread::StartWorker(IPluginDbNotifyOwner* owner)
{
    HANDLE timer = m_countTimer.Get();
    SetWaitHandles(1, &timer, nullptr);
    if (StartThread(kStopTimeoutMs) && IsRunning())
    {
        CLockGuard guard(m_ownerLock);
        m_owner = owner;
    }
    return S_OK;
}

void CPluginDbNotifyThread::ClearOwner() noexcept
{
    CLockGuard guard(m_ownerLock);
    m_owner = nullptr;
}

IPluginDbNotifyOwner* CPluginDbNotifyThread::GetOwner() noexcept
{
    CLockGuard guard(m_ownerLock);
    return m_owner;
}

bool CPluginDbNotifyThread::ProcessItem(CBase::CProcessItem* baseItem)
{
    CProcessItem* item = dynamic_cast<CProcessItem*>(baseItem);
    if (!item)
        return false;
    switch (item->type)
    {
    case kItemThreadStarted:
        // Asking for the system-required state answers the state the thread had; put it back.
        m_savedExecutionState = SetThreadExecutionState(ES_SYSTEM_REQUIRED);
        SetThreadExecutionState(m_savedExecutionState);
        break;
    case kItemThreadEnding:
        SetThreadExecutionState(m_savedExecutionState);
        break;
    case kItemCountTimer:
        ReportPendingCount(true);
        break;
    default:
        return false;
    }
    delete item;
    return true;
}

void CPluginDbNotifyThread::ReportPendingCount(bool /*forced*/)
{
}

HRESULT CPluginDbNotifyThread::QueueConnect(ILumMgrPluginSite* /*site*/, bool /*connectSwitch*/)
{
    return E_NOTIMPL;
}

HRESULT CPluginDbNotifyThread::QueueDisconnect()
{
    return E_NOTIMPL;
}

HRESULT CPluginDbNotifyThread::GetPendingItems(ULONG /*skip*/, ULONG /*maxCount*/, VARIANT* items)
{
    if (!items)
        return E_POINTER;
    return E_NOTIMPL;
}

HRESULT CPluginDbNotifyThread::CancelPending(BSTR /*item*/)
{
    return E_NOTIMPL;
}

ULONG CPluginDbNotifyThread::GetLastReportedCount() const noexcept
{
    return 0;
}
