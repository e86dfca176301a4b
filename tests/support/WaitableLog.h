#pragma once
// A list that callbacks on other threads append to, and that a test waits on (bounded).
#include <windows.h>
#include <vector>
#include "common/Scoped.h"
#include "tests/support/TestSync.h"

template <typename Item>
class CWaitableLog
{
public:
    void Add(const Item& item)
    {
        {
            CLockGuard guard(m_lock);
            m_items.push_back(item);
        }
        m_changed.Set();
    }
    std::vector<Item> Items() const
    {
        CLockGuard guard(m_lock);
        return m_items;
    }
    // Waits until `done(items)` holds; false when it still does not after `timeoutMs`.
    template <typename Done>
    bool WaitUntil(Done done, DWORD timeoutMs = kTestWaitMs) const
    {
        const DWORD start = GetTickCount();
        for (;;)
        {
            {
                CLockGuard guard(m_lock);
                if (done(m_items))
                    return true;
                m_changed.Reset();
            }
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs || !m_changed.Wait(timeoutMs - elapsed))
                return false;
        }
    }
    bool WaitForCount(size_t count, DWORD timeoutMs = kTestWaitMs) const
    {
        return WaitUntil([count](const std::vector<Item>& items) { return items.size() >= count; }, timeoutMs);
    }

private:
    mutable CCriticalSection m_lock{LockRank::Outside};
    mutable CTestEvent m_changed;
    std::vector<Item> m_items;
};
