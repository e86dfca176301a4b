#pragma once
#include <gtest/gtest.h>
#include <ocidl.h>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>
#include "com/ModuleLock.h"
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "host/PluginDbNotify.h"
#include "standins/ManagerSite.h"
#include "standins/QueueEventsSink.h"
#include "tests/support/TestSync.h"

using Search = CPluginDbSearchThread;

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

    // Starts afresh on `worker`.
    void Attach(CPluginDbSearchThread& worker)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_entries.clear();
        }
        worker.SetRequestObserver(&Observe, this);
    }

    bool WaitForCount(size_t count) { return WaitFor([&] { return m_entries.size() >= count; }); }
    bool WaitForValue(ULONG value)
    {
        return WaitFor([&] {
            return std::any_of(m_entries.begin(), m_entries.end(), [&](const CEntry& entry) { return entry.value == value; });
        });
    }
    std::vector<CEntry> Entries()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }
    // While held, the worker thread stays inside the next item it reports.
    void Hold(bool holding = true)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holding = holding;
        m_changed.notify_all();
    }
    void Release() { Hold(false); }

private:
    template <typename Condition>
    bool WaitFor(Condition condition)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kTestWaitMs), condition);
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<CEntry> m_entries;
    bool m_holding = false;
};

// One plug-in object per case, created as the class factory creates it, in the multi-threaded
// apartment; every case ends with the object, its module lock and every site and sink released.
class PluginDbNotifyTest : public ::testing::Test
{
protected:
    // A request word no Start makes: marks the end of what a case queued.
    static constexpr ULONG kSentinel = 0x7F00BEEF;

    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_locks = ModuleLockCount();
        m_sites = CManagerSite::LiveCount();
        m_sinks = CQueueEventsSink::LiveCount();
        Recreate();
        EXPECT_EQ(m_locks + 1, ModuleLockCount());
        VariantInit(&none);
    }

    void TearDown() override
    {
        recorder.Release();
        engine.Release();
        EXPECT_EQ(m_locks, ModuleLockCount());
        EXPECT_EQ(m_sites, CManagerSite::LiveCount());
        EXPECT_EQ(m_sinks, CQueueEventsSink::LiveCount());
        CoUninitialize();
    }

    // A new plug-in object in place of the case's, the recorder attached to it afresh.
    virtual void Recreate()
    {
        engine.Release();
        ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine,
                                                           reinterpret_cast<void**>(&engine)));
        recorder.Attach(Search());
    }

    CPluginDbNotify& Object() { return *static_cast<CPluginDbNotify*>(engine.Get()); }
    CPluginDbSearchThread& Search() { return CPluginDbNotifyTestAccess::Search(Object()); }
    CPluginDbNotifyThread& Notify() { return CPluginDbNotifyTestAccess::Notify(Object()); }

    // What the search worker took in: a sentinel request is queued behind whatever the case
    // queued (a thread that is stopping is waited for and a new one started first), and the
    // entries before it are answered.
    std::vector<CRequestRecorder::CEntry> Taken()
    {
        std::vector<CRequestRecorder::CEntry> taken;
        if (!Search().StartThread(kTestWaitMs) || Search().QueueSearch(Search::kItemFullSearch, kSentinel) != S_OK ||
            !recorder.WaitForValue(kSentinel))
        {
            ADD_FAILURE() << "the worker did not take the sentinel";
            return taken;
        }
        for (const CRequestRecorder::CEntry& entry : recorder.Entries())
        {
            if (entry.value == kSentinel)
                break;
            taken.push_back(entry);
        }
        return taken;
    }

    // A new sink subscribed to the object's queue-event point.
    CComPtr<CQueueEventsSink> Subscribe(DWORD* cookie = nullptr)
    {
        CComPtr<CQueueEventsSink> sink;
        CComPtr<IConnectionPointContainer> container;
        CComPtr<IConnectionPoint> point;
        DWORD unused = 0;
        if (CQueueEventsSink::Create(&sink) != S_OK ||
            engine->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)) != S_OK ||
            container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &point) != S_OK ||
            point->Advise(static_cast<ILumMgrPluginQueueEvents*>(sink.Get()), cookie ? cookie : &unused) != S_OK)
            ADD_FAILURE() << "cannot subscribe a sink";
        return sink;
    }

    ULONG State()
    {
        ULONG state = 99;
        EXPECT_EQ(S_OK, engine->GetState(&state));
        return state;
    }
    ULONG Progress()
    {
        ULONG progress = 99;
        EXPECT_EQ(S_OK, engine->GetProgress(&progress));
        return progress;
    }

    CComPtr<ILumMgrPluginEngine> engine;
    CRequestRecorder recorder;
    VARIANT none;
    LONG m_locks = 0;  // before the case's object

private:
    LONG m_sites = 0;
    LONG m_sinks = 0;
};
