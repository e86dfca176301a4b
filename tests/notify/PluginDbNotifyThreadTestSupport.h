#pragma once
// A notification worker driven directly by a test: the stand-ins it reaches through COM, an owner
// that records the count events, a scratch folder for the delay-queue file and files to hand off.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "common/ComPtr.h"
#include "common/Path.h"
#include "common/Scoped.h"
#include "common/String.h"
#include "notify/PluginDbNotifyThread.h"
#include "standins/BusyNotify.h"
#include "standins/ClassRegistration.h"
#include "standins/ContentDatabase.h"
#include "standins/FolderList.h"
#include "standins/ManagerQueueEntry.h"
#include "standins/ManagerSite.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestSync.h"

namespace notify_test
{
constexpr LONG kPropPathOfItem = 0x01F4;
constexpr LONG kChanged = CPluginDbNotifyThread::kChangeAddedOrChanged;
constexpr LONG kRemoved = CPluginDbNotifyThread::kChangeRemoved;
constexpr wchar_t kWatchingEventName[] = L"Global\\TessalyLumSiftDbNotifyWexWatchingDB-Exist-All";

using CItem = CPluginDbNotifyThread::CProcessItem;
using CBaseItem = CPluginDbNotifyThread::CBase::CProcessItem;

// Stands in for the plug-in object: keeps a reference count (the worker holds one while it fires)
// and records every count it is told, with the tick of its arrival.
class CTestOwner : public IPluginDbNotifyOwner, public IUnknown
{
public:
    struct CFire
    {
        ULONG count;
        VARTYPE type;
        DWORD tick;
    };

    IUnknown* KeepAlive() override
    {
        if (gone)
            return nullptr;
        AddRef();
        return this;
    }
    HRESULT FirePendingCountChanged(const VARIANT& count) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_fires.push_back(CFire{count.ulVal, count.vt, GetTickCount()});
        }
        m_changed.notify_all();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = iid == IID_IUnknown ? static_cast<IUnknown*>(this) : nullptr;
        return *out ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&m_refs)); }
    LONG References() const { return InterlockedCompareExchange(const_cast<volatile LONG*>(&m_refs), 0, 0); }

    std::vector<CFire> Fires()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_fires;
    }
    std::vector<ULONG> Counts()
    {
        std::vector<ULONG> counts;
        for (const CFire& fire : Fires())
            counts.push_back(fire.count);
        return counts;
    }
    bool WaitForFires(size_t count, DWORD timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_fires.size() >= count; });
    }

    std::atomic<bool> gone{false};  // as an owner whose last reference has gone: refuses the hold

private:
    volatile LONG m_refs = 1;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<CFire> m_fires;
};

// An item type the worker does not handle: the thread destroys it, which tells the test that
// everything queued before it has been taken.
class CSentinelItem : public CItem
{
public:
    explicit CSentinelItem(HANDLE done) : CItem(99), m_done(done) {}
    ~CSentinelItem() override { SetEvent(m_done); }

private:
    HANDLE m_done;
};

// What a queued item looked like.
struct CQueued
{
    LONG type;
    DWORD created;
    std::wstring itemId;
    LONG itemClass;
    std::wstring path;
    ULONG pathHash;
};

inline std::vector<CQueued> QueuedItems(CPluginDbNotifyThread& worker)
{
    std::vector<CQueued> items;
    worker.VisitQueuedItems(&items, [](CBaseItem* base, void* context) {
        const CItem* item = static_cast<const CItem*>(base);
        BSTR id = item->itemId.Get();
        static_cast<std::vector<CQueued>*>(context)->push_back(
            CQueued{item->type, item->created, std::wstring(id ? id : L"", SysStringLen(id)), item->itemClass,
                    std::wstring(item->path.GetString()), item->pathHash});
        return true;
    });
    return items;
}

// One field of each queued item, e.g. Each(QueuedItems(worker), &CQueued::itemId).
template <typename T>
std::vector<T> Each(const std::vector<CQueued>& items, T CQueued::*field)
{
    std::vector<T> values;
    for (const CQueued& item : items)
        values.push_back(item.*field);
    return values;
}

// An item of the given type, `ageMs` old; a path makes it a file waiting.
inline std::unique_ptr<CItem> MakeItem(LONG type, const wchar_t* itemId, LONG itemClass = 300,
                                       const std::wstring& path = L"", DWORD ageMs = 0)
{
    std::unique_ptr<CItem> item(new CItem(type));
    item->created = GetTickCount() - ageMs;
    item->itemId.Reset(itemId ? SysAllocString(itemId) : nullptr);
    item->itemClass = itemClass;
    if (!path.empty())
        item->SetPath(CString(path.c_str()));
    return item;
}

// A type-6 item (a file waiting), `ageMs` old.
inline std::unique_ptr<CItem> WaitingFile(const wchar_t* itemId, LONG itemClass, const std::wstring& path, DWORD ageMs)
{
    return MakeItem(CPluginDbNotifyThread::kItemHandOff, itemId, itemClass, path, ageMs);
}

// A worker with the given batch delay, started, with an owner, the stand-ins registered in this
// process and a scratch folder. Every case ends with the worker gone and every stand-in object
// released.
template <ULONG BatchDelayMs = CPluginDbNotifyThread::kBatchDelayMs>
class NotifyWorkerFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        // Wine keeps one execution state per process, and a continuous state is only cleared by a
        // call with ES_CONTINUOUS: start every worker from the plain one.
        SetThreadExecutionState(ES_CONTINUOUS);
        CBusyNotify::Reset();
        CFolderList::Reset();
        m_liveBefore = LiveCounts();

        db = CContentDatabase::Create();
        ASSERT_EQ(S_OK, db->Register());
        ASSERT_EQ(S_OK, m_busyClass.Register<CBusyNotify>(CLSID_BusyNotify));
        ASSERT_EQ(S_OK, m_folderClass.Register<CFolderList>(CLSID_FolderList));
        ASSERT_EQ(S_OK, CManagerSite::Create(&site));

        worker.reset(new CPluginDbNotifyThread(BatchDelayMs));
        worker->SetDelayQueueFolder(CString(folder.c_str()));
        ASSERT_EQ(S_OK, worker->StartWorker(&owner));
        ASSERT_TRUE(worker->IsRunning());
    }

    void TearDown() override
    {
        worker.reset();
        EXPECT_EQ(1, owner.References());
        site.Release();
        m_busyClass.Revoke();
        m_folderClass.Revoke();
        db->Control().Reset();
        db->Revoke();
        EXPECT_TRUE(db->WaitNotificationsIdle(kTestWaitMs));
        // A thread ended by force keeps what it held: its database connection and site.
        EXPECT_EQ(endedByForce ? 1 : 0, db->LiveConnections());
        db.reset();
        if (!endedByForce)
        {
            EXPECT_EQ(m_liveBefore, LiveCounts());
        }
        CBusyNotify::Reset();
        CFolderList::Reset();
        CoUninitialize();
    }

    // Connects to the site and the stand-in database and waits until the worker is watching it
    // (the observer's Exist-All event, set last). Nothing the connect loaded from the delay-queue
    // file has been taken yet: with the product's delay it stays queued for seconds.
    void Connect(bool connectSwitch = true)
    {
        CScopedHandle watching(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kWatchingEventName));
        ASSERT_TRUE(watching.IsValid());
        ResetEvent(watching.Get());
        ASSERT_EQ(S_OK, worker->QueueConnect(site, connectSwitch));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watching.Get(), kTestWaitMs));
    }

    // Waits until the worker has taken everything queued so far. The sentinel makes the thread
    // run a batch now, so delayed items ahead of it are taken too, and the batch may go on with
    // items queued behind it: use it only while nothing is queued that would come back.
    void Flush()
    {
        CTestEvent done;
        Queue(std::unique_ptr<CItem>(new CSentinelItem(done.Get())), false);
        ASSERT_TRUE(done.Wait());
    }

    void Queue(std::unique_ptr<CItem> item, bool delayed = true)
    {
        ASSERT_EQ(S_OK, worker->QueueItem(std::move(item), delayed, delayed));
    }

    // Drops everything queued, on the test's thread.
    void ClearQueue()
    {
        worker->RemoveQueuedItems(nullptr, [](CBaseItem*, CBaseItem*) { return true; });
    }

    // Delivers one change through the intake, as the database's thread would.
    void Notify(const wchar_t* itemId, LONG itemClass, LONG kind)
    {
        worker->OnNotify(1, &itemId, &itemClass, &kind, 0);
    }

    std::wstring CreateFileIn(const wchar_t* name)
    {
        EXPECT_TRUE(WriteTestFile(folder + name, 0));
        return folder + name;
    }
    std::wstring QueueFile(const wchar_t* suffix = L"") const { return folder + L"DbWexDelayQueue.dat" + suffix; }

    // The pending paths, from the worker's own page.
    std::vector<std::wstring> PendingPaths(ULONG skip = 0, ULONG maxCount = 1000)
    {
        std::vector<std::wstring> paths;
        CScopedVariant items;
        if (worker->GetPendingItems(skip, maxCount, items.Receive()) != S_OK)
            return paths;
        BSTR* data = nullptr;
        SafeArrayAccessData(items->parray, reinterpret_cast<void**>(&data));
        for (ULONG i = 0; i < items->parray->rgsabound[0].cElements; ++i)
            paths.push_back(std::wstring(data[i] ? data[i] : L"", SysStringLen(data[i])));
        SafeArrayUnaccessData(items->parray);
        return paths;
    }

    CTempFolder m_temp{L"lumnotify"};
    std::wstring folder = m_temp.Path() + L"\\";
    std::shared_ptr<CContentDatabase> db;
    CComPtr<CManagerSite> site;
    CTestOwner owner;
    std::unique_ptr<CPluginDbNotifyThread> worker;
    bool endedByForce = false;  // the case ends the worker's thread by force

private:
    static std::vector<LONG> LiveCounts()
    {
        return {CManagerSite::LiveCount(), CManagerQueueEntry::LiveCount(), CBusyNotify::LiveCount(),
                CFolderList::LiveCount()};
    }

    std::vector<LONG> m_liveBefore;
    CClassRegistration m_busyClass;
    CClassRegistration m_folderClass;
};

using NotifyWorkerTest = NotifyWorkerFixture<>;
// A short batch delay, for cases that watch items pass through the thread.
using FastNotifyWorkerTest = NotifyWorkerFixture<20>;
}  // namespace notify_test
