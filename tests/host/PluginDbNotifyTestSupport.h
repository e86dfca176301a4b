#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <condition_variable>
#include <mutex>
#include <vector>
#include "com/ModuleLock.h"
#include "common/ComPtr.h"
#include "host/PluginDbNotify.h"
#include "standins/ManagerSite.h"

// Reaches into the plug-in object for what a test must see or set up beside its COM interfaces.
class CPluginDbNotifyTestAccess
{
public:
    static CPluginDbSearchThread& Search(CPluginDbNotify& object) { return object.m_searchThread; }
    static CPluginDbNotifyThread& Notify(CPluginDbNotify& object) { return object.m_notifyThread; }
    // What Connect will keep.
    static void SetSite(CPluginDbNotify& object, ILumMgrPluginSite* site) { object.m_site = site; }
    static IPluginDbNotifyOwner* AsOwner(CPluginDbNotify& object) { return &object; }
};

// Records what the search worker's thread takes in, and can hold that thread inside an item.
class CRequestRecorder
{
public:
    struct CEntry
    {
        LONG type;
        ULONG value;
        ILumMgrPluginSite* site;  // only compared, never called
    };

    static void Observe(void* context, LONG type, ULONG value, ILumMgrPluginSite* site)
    {
        auto* self = static_cast<CRequestRecorder*>(context);
        std::unique_lock<std::mutex> lock(self->m_mutex);
        self->m_entries.push_back(CEntry{type, value, site});
        self->m_changed.notify_all();
        self->m_changed.wait(lock, [&] { return !self->m_holding; });
    }

    void Attach(CPluginDbSearchThread& worker) { worker.SetRequestObserver(&Observe, this); }

    bool WaitForCount(size_t count, DWORD timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_entries.size() >= count; });
    }
    bool WaitForValue(ULONG value, DWORD timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const CEntry& entry : m_entries)
            {
                if (entry.value == value)
                    return true;
            }
            return false;
        });
    }
    std::vector<CEntry> Entries()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }
    std::vector<LONG> Types()
    {
        std::vector<LONG> types;
        for (const CEntry& entry : Entries())
            types.push_back(entry.type);
        return types;
    }
    // While held, the worker thread stays inside the next item it reports.
    void Hold()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holding = true;
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holding = false;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<CEntry> m_entries;
    bool m_holding = false;
};

// One plug-in object per case, created as the class factory creates it, in the multi-threaded
// apartment; every case ends with the object, its module lock and every site released.
class PluginDbNotifyTest : public ::testing::Test
{
protected:
    // A request word no Start makes: marks the end of what a case queued.
    static constexpr ULONG kSentinel = 0x7F00BEEF;
    static constexpr DWORD kWaitMs = 10000;

    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_locks = ModuleLockCount();
        m_sites = CManagerSite::LiveCount();
        ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine,
                                                           reinterpret_cast<void**>(&engine)));
        EXPECT_EQ(m_locks + 1, ModuleLockCount());
        recorder.Attach(Search());
        VariantInit(&none);
    }

    void TearDown() override
    {
        recorder.Release();
        engine.Release();
        EXPECT_EQ(m_locks, ModuleLockCount());
        EXPECT_EQ(m_sites, CManagerSite::LiveCount());
        CoUninitialize();
    }

    CPluginDbNotify& Object() { return *static_cast<CPluginDbNotify*>(engine.Get()); }
    CPluginDbSearchThread& Search() { return CPluginDbNotifyTestAccess::Search(Object()); }
    CPluginDbNotifyThread& Notify() { return CPluginDbNotifyTestAccess::Notify(Object()); }

    // Queues a sentinel request behind whatever the case queued and waits until the worker took
    // it, so that everything before it has been taken in too. A thread that is stopping is waited
    // for and a new one started first.
    void Flush()
    {
        ASSERT_TRUE(Search().StartThread(kWaitMs));
        ASSERT_EQ(S_OK, Search().QueueSearch(CPluginDbSearchThread::kItemFullSearch, kSentinel));
        ASSERT_TRUE(recorder.WaitForValue(kSentinel, kWaitMs));
    }
    // What the worker took in before the sentinel.
    std::vector<CRequestRecorder::CEntry> TakenBeforeSentinel()
    {
        std::vector<CRequestRecorder::CEntry> taken;
        for (const CRequestRecorder::CEntry& entry : recorder.Entries())
        {
            if (entry.value == kSentinel)
                break;
            taken.push_back(entry);
        }
        return taken;
    }

    // Waits on the progress event until the progress word reads `value`.
    bool WaitForProgress(HANDLE progressEvent, ULONG value)
    {
        const DWORD start = GetTickCount();
        for (;;)
        {
            ULONG progress = 0;
            engine->GetProgress(&progress);
            if (progress == value)
                return true;
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= kWaitMs)
                return false;
            WaitForSingleObject(progressEvent, kWaitMs - elapsed);
        }
    }

    CComPtr<ILumMgrPluginEngine> engine;
    CRequestRecorder recorder;
    VARIANT none;

private:
    LONG m_locks = 0;
    LONG m_sites = 0;
};
