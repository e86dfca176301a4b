#pragma once
#include <windows.h>
#include <deque>
#include <string>
#include <utility>
#include <vector>
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "interfaces/ContentDbInterfaces.h"

// Delivers the stand-in database's change notifications from a thread of its own (in the
// multi-threaded apartment), a few changes per IKdCdbNotification::OnNotify call, to every sink
// registered when the call is made. A change made while no sink is registered is not kept.
// Sinks are called with no lock of the stand-in held, so a sink may call back into the database.
class CContentDbNotifier
{
public:
    CContentDbNotifier();
    ~CContentDbNotifier();
    CContentDbNotifier(const CContentDbNotifier&) = delete;
    CContentDbNotifier& operator=(const CContentDbNotifier&) = delete;

    // One sink per key (a connection); registering again replaces it.
    void Register(const void* key, IKdCdbNotification* sink);
    bool Unregister(const void* key);
    size_t SinkCount();

    void Enqueue(const std::wstring& id, LONG itemClass, LONG kind);
    // Changes per OnNotify call (at least 1).
    void SetBatchSize(ULONG size);
    // True once nothing is queued and no call is in progress; false when timeoutMs passes first.
    bool WaitIdle(DWORD timeoutMs);
    // OnNotify calls made so far (each sink called counts once).
    LONG DeliveredCalls() const noexcept { return InterlockedCompareExchange(&m_deliveredCalls, 0, 0); }

private:
    struct Change
    {
        std::wstring id;
        LONG itemClass;
        LONG kind;
    };

    static unsigned __stdcall ThreadMain(void* self);
    void Run();
    void DeliverQueued();

    CCriticalSection m_lock{LockRank::Outside};
    std::deque<Change> m_queue;
    std::vector<std::pair<const void*, IKdCdbNotification*>> m_sinks;  // counted references
    ULONG m_batchSize = 3;
    bool m_delivering = false;
    LONG_PTR m_nextContext = 1;
    mutable volatile LONG m_deliveredCalls = 0;
    CScopedHandle m_wake;  // auto-reset: something was queued
    CScopedHandle m_idle;  // manual-reset: nothing queued, nothing being delivered
    CScopedHandle m_stop;  // manual-reset
    CScopedHandle m_thread;
    DWORD m_threadId = 0;
};
