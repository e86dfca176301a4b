#pragma once
// A notification worker driven directly by a test: the stand-ins it reaches through COM, an owner
// that records the count events, a scratch folder for the delay-queue file and files to hand off.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
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

namespace notify_test
{
constexpr DWORD kWaitMs = 10000;
constexpr LONG kPropPathOfItem = 0x01F4;
constexpr wchar_t kWatchingEventName[] = L"Global\\TessalyLumSiftDbNotifyWexWatchingDB-Exist-All";

using CItem = CPluginDbNotifyThread::CProcessItem;

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

    IUnknown* GetOwnerUnknown() override { return this; }
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
        *out = nullptr;
        if (iid != IID_IUnknown)
            return E_NOINTERFACE;
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
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
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fires.clear();
    }

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
    static constexpr LONG kType = 99;
    explicit CSentinelItem(HANDLE done) : CItem(kType), m_done(done) {}
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
    worker.VisitQueuedItems(&items, [](CPluginDbNotifyThread::CBase::CProcessItem* base, void* context) {
        const CItem* item = static_cast<const CItem*>(base);
        BSTR id = item->itemId.Get();
        static_cast<std::vector<CQueued>*>(context)->push_back(
            CQueued{item->type, item->created, std::wstring(id ? id : L"", SysStringLen(id)), item->itemClass,
                    std::wstring(item->path.GetString()), item->pathHash});
        return true;
    });
    return items;
}

inline bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Waits, on the folder's change notifications, until `path` exists.
inline bool WaitForFile(const std::wstring& path, DWORD timeoutMs)
{
    const std::wstring parent = path.substr(0, path.find_last_of(L'\\'));
    HANDLE change = FindFirstChangeNotificationW(parent.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    if (change == INVALID_HANDLE_VALUE)
        return false;
    const DWORD start = GetTickCount();
    bool found = Exists(path);
    while (!found)
    {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs || WaitForSingleObject(change, timeoutMs - elapsed) != WAIT_OBJECT_0)
            break;
        FindNextChangeNotification(change);
        found = Exists(path);
    }
    found = found || Exists(path);
    FindCloseChangeNotification(change);
    return found;
}

// A type-6 item (a file waiting), `ageMs` old.
inline std::unique_ptr<CItem> WaitingFile(const wchar_t* itemId, LONG itemClass, const std::wstring& path, DWORD ageMs)
{
    std::unique_ptr<CItem> item(new CItem(CPluginDbNotifyThread::kItemHandOff));
    item->created = GetTickCount() - ageMs;
    item->itemId.Reset(SysAllocString(itemId));
    item->itemClass = itemClass;
    item->SetPath(CString(path.c_str()));
    return item;
}

// A worker, started, with an owner, the stand-ins registered in this process and a scratch folder.
// Every case ends with the worker gone and every stand-in object released.
class NotifyWorkerTest : public ::testing::Test
{
protected:
    // The product's delay unless a case wants its items to pass through the thread quickly.
    virtual ULONG BatchDelayMs() const { return CPluginDbNotifyThread::kBatchDelayMs; }

    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        // Wine keeps one execution state per process, and a continuous state is only cleared by a
        // call with ES_CONTINUOUS: start every worker from the plain one.
        SetThreadExecutionState(ES_CONTINUOUS);
        CBusyNotify::Reset();
        CFolderList::Reset();
        m_liveBefore = LiveCounts();

        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + L"lumnotify-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++s_folderSerial) + L"\\";
        ASSERT_TRUE(CreateDirectoryTree(folder.c_str()));

        db = CContentDatabase::Create();
        ASSERT_EQ(S_OK, db->Register());
        ASSERT_EQ(S_OK, m_busyClass.Register<CBusyNotify>(CLSID_BusyNotify));
        ASSERT_EQ(S_OK, m_folderClass.Register<CFolderList>(CLSID_FolderList));
        ASSERT_EQ(S_OK, CManagerSite::Create(&site));

        worker.reset(new CPluginDbNotifyThread(BatchDelayMs()));
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
        EXPECT_TRUE(db->WaitNotificationsIdle(kWaitMs));
        EXPECT_EQ(0, db->LiveConnections());
        db.reset();
        EXPECT_EQ(m_liveBefore, LiveCounts());
        CBusyNotify::Reset();
        CFolderList::Reset();
        RemoveFolder();
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
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watching.Get(), kWaitMs));
    }

    // Waits until the worker has taken everything queued so far. The sentinel makes the thread
    // run a batch now, so delayed items ahead of it are taken too, and the batch may go on with
    // items queued behind it: use it only while nothing is queued that would come back.
    void Flush()
    {
        CScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::unique_ptr<CSentinelItem> sentinel(new CSentinelItem(done.Get()));
        ASSERT_EQ(S_OK, worker->QueueItem(sentinel.get(), false, false));
        sentinel.release();
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done.Get(), kWaitMs));
    }

    // Delivers one change through the intake, as the database's thread would.
    void Notify(const wchar_t* itemId, LONG itemClass, LONG kind)
    {
        LPCWSTR ids[] = {itemId};
        LONG classes[] = {itemClass};
        LONG kinds[] = {kind};
        worker->OnNotify(1, ids, classes, kinds, 0);
    }

    std::wstring CreateFileIn(const wchar_t* name)
    {
        const std::wstring path = folder + name;
        CScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        EXPECT_TRUE(file.IsValid());
        return path;
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

    std::shared_ptr<CContentDatabase> db;
    CComPtr<CManagerSite> site;
    CTestOwner owner;
    std::unique_ptr<CPluginDbNotifyThread> worker;
    std::wstring folder;  // ends with "\"

private:
    static std::vector<LONG> LiveCounts()
    {
        return {CManagerSite::LiveCount(), CManagerQueueEntry::LiveCount(), CBusyNotify::LiveCount(),
                CFolderList::LiveCount()};
    }

    void RemoveFolder()
    {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE)
        {
            do
            {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileW((folder + found.cFileName).c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(folder.c_str());
    }

    static inline LONG s_folderSerial = 0;
    std::vector<LONG> m_liveBefore;
    CClassRegistration m_busyClass;
    CClassRegistration m_folderClass;
};

// The same with a short batch delay, for cases that watch items pass through the thread.
class FastNotifyWorkerTest : public NotifyWorkerTest
{
protected:
    ULONG BatchDelayMs() const override { return 20; }
};
}  // namespace notify_test
