// The notification worker's intake, connection and life: which notifications become work, what a
// connect and a disconnect do, the execution state while work waits and the delay-queue file.
#include "tests/notify/PluginDbNotifyThreadTestSupport.h"

using namespace notify_test;

namespace
{
void WriteUtf16File(const std::wstring& path, const std::wstring& text)
{
    CScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    const std::wstring marked = L"\xFEFF" + text;
    ASSERT_TRUE(WriteFile(file.Get(), marked.data(), static_cast<DWORD>(marked.size() * 2), &written, nullptr));
}

std::wstring ReadUtf16File(const std::wstring& path)
{
    CScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::wstring text(file.IsValid() ? GetFileSize(file.Get(), nullptr) / 2 : 0, L'\0');
    DWORD read = 0;
    ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size() * 2), &read, nullptr);
    return text;
}

// Waits, on the folder's change notifications, until `path` exists.
bool WaitForFile(const std::wstring& folder, const std::wstring& path)
{
    HANDLE change = FindFirstChangeNotificationW(folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    const DWORD start = GetTickCount();
    for (DWORD elapsed = 0; !FileExists(path.c_str()) && elapsed < kTestWaitMs; elapsed = GetTickCount() - start)
    {
        if (WaitForSingleObject(change, kTestWaitMs - elapsed) != WAIT_OBJECT_0)
            break;
        FindNextChangeNotification(change);
    }
    FindCloseChangeNotification(change);
    return FileExists(path.c_str());
}

// An object whose marshal data names a class nobody registered: marshalling works, unmarshalling
// on the worker's thread fails.
class CUnmarshallableSite : public IMarshal
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        *out = iid == IID_IUnknown || iid == IID_IMarshal ? static_cast<IMarshal*>(this) : nullptr;
        return *out ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID* clsid) override
    {
        // {5C0E6A5E-2F43-4B8B-9A51-0D3B7C1E9F01}: registered nowhere.
        *clsid = {0x5c0e6a5e, 0x2f43, 0x4b8b, {0x9a, 0x51, 0x0d, 0x3b, 0x7c, 0x1e, 0x9f, 0x01}};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD* size) override
    {
        *size = sizeof(DWORD);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID, void*, DWORD, void*, DWORD) override
    {
        const DWORD marker = 0x5EED;
        return stream->Write(&marker, sizeof(marker), nullptr);
    }
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void**) override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }

    volatile LONG refs = 1;
};
}  // namespace

// ---- Intake -------------------------------------------------------------------------------------

TEST_F(NotifyWorkerTest, IntakeKeepsChangesAndRemovalsOfMediaClassesOnlyWhileConnected)
{
    Notify(L"v1", 300, kChanged);
    Notify(L"v2", 300, kRemoved);
    EXPECT_TRUE(QueuedItems(*worker).empty()) << "before any connect";

    // The connect switch off drops changes but keeps removals.
    Connect(false);
    Notify(L"v1", 300, kChanged);
    Notify(L"v2", 300, kRemoved);
    EXPECT_EQ((std::vector<LONG>{5}), Each(QueuedItems(*worker), &CQueued::type));
    EXPECT_TRUE(owner.Fires().empty());
    // The next connect sets the switch again (the batch it runs in takes the removal).
    Connect(true);
    EXPECT_TRUE(QueuedItems(*worker).empty());

    LPCWSTR ids[] = {L"audio", L"image", L"video", L"folder", L"derived", L"gone", L"odd", L"gone400"};
    LONG classes[] = {100, 200, 300, 400, 610, 300, 300, 400};
    LONG kinds[] = {kChanged, kChanged, kChanged, kChanged, kChanged, kRemoved, 3, kRemoved};
    // Malformed calls are ignored.
    EXPECT_EQ(0, worker->OnNotify(0, ids, classes, kinds, 0));
    EXPECT_EQ(0, worker->OnNotify(-5, ids, classes, kinds, 0));
    EXPECT_EQ(0, worker->OnNotify(1, nullptr, classes, kinds, 0));
    EXPECT_EQ(0, worker->OnNotify(1, ids, nullptr, kinds, 0));
    EXPECT_EQ(0, worker->OnNotify(1, ids, classes, nullptr, 0));
    EXPECT_TRUE(QueuedItems(*worker).empty());

    EXPECT_EQ(0, worker->OnNotify(8, ids, classes, kinds, 0));
    const std::vector<CQueued> queued = QueuedItems(*worker);
    EXPECT_EQ((std::vector<LONG>{3, 3, 3, 5}), Each(queued, &CQueued::type));
    EXPECT_EQ((std::vector<std::wstring>{L"audio", L"image", L"video", L"gone"}), Each(queued, &CQueued::itemId));
    EXPECT_EQ((std::vector<LONG>{100, 200, 300, 300}), Each(queued, &CQueued::itemClass));
    EXPECT_EQ(std::vector<std::wstring>(4), Each(queued, &CQueued::path));
    // Each accepted change was counted and reported; the removal is not a pending request.
    EXPECT_EQ(3u, worker->GetLastReportedCount());
    ASSERT_FALSE(owner.Fires().empty());
    EXPECT_EQ(1u, owner.Fires().front().count);
    EXPECT_EQ(VT_UI4, owner.Fires().front().type);

    // A null id is an unresolved change without an id: queued, counted under the empty text.
    Notify(nullptr, 300, kChanged);
    EXPECT_EQ(L"", Each(QueuedItems(*worker), &CQueued::itemId).back());
    EXPECT_EQ(4u, worker->GetLastReportedCount());
}

TEST_F(NotifyWorkerTest, ConnectOpensTheDatabaseAsListenerAndDisconnectUndoesIt)
{
    CScopedHandle watching(OpenEventW(SYNCHRONIZE, FALSE, kWatchingEventName));
    ASSERT_TRUE(watching.IsValid());
    // A second connect refreshes the open connection and keeps one listener.
    for (int round = 0; round < 2; ++round)
    {
        Connect();  // returns once the event is set
        EXPECT_EQ(1u, db->SinkCount());
        EXPECT_EQ(1, db->Control().CallCount(CdbMethod::Open));
    }
    // Changes in the database reach the queue, of the media classes only.
    db->Catalogue().AddItem(L"clip", 300, {{kPropPathOfItem, L"C:\\clip.mpg"}});
    db->Catalogue().AddItem(L"note", 400);
    ASSERT_TRUE(db->WaitNotificationsIdle(kTestWaitMs));
    EXPECT_EQ((std::vector<std::wstring>{L"clip"}), Each(QueuedItems(*worker), &CQueued::itemId));
    ClearQueue();

    ASSERT_EQ(S_OK, worker->QueueDisconnect());
    Flush();
    EXPECT_EQ(0u, db->SinkCount());
    EXPECT_EQ(0, db->LiveConnections());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(watching.Get(), 0));
    Notify(L"v1", 300, kChanged);
    EXPECT_TRUE(QueuedItems(*worker).empty());
}

TEST_F(NotifyWorkerTest, ConnectWhoseSiteCannotBeUnmarshalledLeavesTheWorkerUnconnected)
{
    const std::wstring good = CreateFileIn(L"a.mp4");
    WriteUtf16File(QueueFile(), L"\x0001\xD800garbage\r\nv1\t0x12C\t" + good + L"\r\n");
    CUnmarshallableSite broken;
    ASSERT_EQ(S_OK, worker->QueueConnect(reinterpret_cast<ILumMgrPluginSite*>(static_cast<IMarshal*>(&broken)), true));
    Flush();
    EXPECT_EQ(1, broken.refs);
    EXPECT_EQ(0, db->Control().CallCount(CdbMethod::Open));
    EXPECT_TRUE(QueuedItems(*worker).empty());  // the file was not loaded
    Notify(L"v2", 300, kChanged);
    EXPECT_TRUE(QueuedItems(*worker).empty());

    // A good connect after it works as usual, and loads the file's valid lines as waiting files.
    const DWORD before = GetTickCount();
    Connect();
    EXPECT_EQ(1, db->Control().CallCount(CdbMethod::Open));
    const std::vector<CQueued> queued = QueuedItems(*worker);
    ASSERT_EQ(1u, queued.size());
    EXPECT_EQ(6, queued[0].type);
    EXPECT_EQ(L"v1", queued[0].itemId);
    EXPECT_EQ(300, queued[0].itemClass);
    EXPECT_EQ(good, queued[0].path);
    EXPECT_EQ(ComputePathHash(good.c_str()), queued[0].pathHash);
    EXPECT_LE(static_cast<DWORD>(queued[0].created - before), 10000u) << "a reloaded request waits its full time";
    EXPECT_EQ(1u, worker->GetLastReportedCount());
    EXPECT_TRUE(FileExists(QueueFile().c_str())) << "a connect does not move the file aside";
}

TEST_F(NotifyWorkerTest, ReconnectingQueuesNoSavedRequestTwice)
{
    const std::wstring a = CreateFileIn(L"a.mp4");
    const std::wstring b = CreateFileIn(L"b.mp4");
    WriteUtf16File(QueueFile(), L"v1\t300\t" + a + L"\r\n");
    Connect();
    ASSERT_EQ(S_OK, worker->QueueDisconnect());
    Flush();
    // Beside the request still queued: the same again, one differing only in class, a new one.
    WriteUtf16File(QueueFile(), L"v1\t300\t" + a + L"\r\nv1\t200\t" + a + L"\r\nv2\t300\t" + b + L"\r\n");
    Connect();
    const std::vector<CQueued> queued = QueuedItems(*worker);
    EXPECT_EQ((std::vector<std::wstring>{L"v1", L"v1", L"v2"}), Each(queued, &CQueued::itemId));
    EXPECT_EQ((std::vector<LONG>{300, 200, 300}), Each(queued, &CQueued::itemClass));
}

TEST_F(NotifyWorkerTest, FailingDatabaseOpenKeepsTheSiteAndTheLoadedRequestsButAddsNoListener)
{
    const std::wstring file = CreateFileIn(L"a.mp4");
    WriteUtf16File(QueueFile(), L"v1\t300\t" + file + L"\r\n");
    db->Control().FailNext(CdbMethod::Open, E_FAIL);
    // Held in the failing open: the file has been loaded by then.
    db->Control().Stall(CdbMethod::Open);
    ASSERT_EQ(S_OK, worker->QueueConnect(site, true));
    ASSERT_TRUE(db->Control().WaitStalled(CdbMethod::Open, 1, kTestWaitMs));
    EXPECT_EQ((std::vector<std::wstring>{file}), PendingPaths());
    EXPECT_EQ((std::vector<ULONG>{1}), owner.Counts());
    db->Control().Release(CdbMethod::Open);

    ASSERT_EQ(S_OK, worker->QueueDisconnect());  // runs once the connect has ended
    Flush();
    EXPECT_EQ(0u, db->SinkCount());
    EXPECT_EQ(1, db->Control().CallCount(CdbMethod::Open));
}

// ---- Requests refused --------------------------------------------------------------------------

TEST_F(NotifyWorkerTest, NullArgumentsAndAStoppingWorkerAreRefused)
{
    EXPECT_EQ(E_POINTER, worker->QueueConnect(nullptr, true));
    EXPECT_EQ(E_POINTER, worker->GetPendingItems(0, 10, nullptr));
    site->AddRef();
    const ULONG referencesBefore = site->Release();
    ASSERT_TRUE(worker->RequestStop());
    EXPECT_EQ(E_ABORT, worker->QueueConnect(site, true));
    EXPECT_EQ(E_ABORT, worker->QueueDisconnect());
    // The refused connect item gave back the reference its marshal data held.
    site->AddRef();
    EXPECT_EQ(referencesBefore, site->Release());
}

TEST_F(NotifyWorkerTest, NothingIsTakenAfterTheThreadEnded)
{
    Connect();
    ASSERT_TRUE(worker->StopThread(kTestWaitMs));
    EXPECT_EQ(E_ABORT, worker->QueueDisconnect());
    Notify(L"v1", 300, kChanged);  // the thread's end released the site
    EXPECT_TRUE(QueuedItems(*worker).empty());
    EXPECT_EQ(0, db->LiveConnections());
}

// ---- Delay-queue file and execution state ------------------------------------------------------

TEST_F(NotifyWorkerTest, StoppingWithChangesQueuedWritesThemToTheDelayQueueFile)
{
    const std::wstring file = CreateFileIn(L"a.mp4");
    Connect();
    Notify(L"B2", 100, kChanged);
    Queue(WaitingFile(L"A1", 200, file, 0));
    Notify(L"R9", 300, kRemoved);  // removals are not kept

    ASSERT_TRUE(worker->StopThread(kTestWaitMs));
    EXPECT_EQ(L"\xFEFF" L"B2\t100\t\r\nA1\t200\t" + file + L"\r\n", ReadUtf16File(QueueFile()));
    EXPECT_EQ(0u, QueuedItems(*worker).size());
    EXPECT_EQ(0u, PendingPaths().size());
}

TEST_F(FastNotifyWorkerTest, ExecutionStateFollowsTheQueueAndTheFileMovesAsideWhenItDrains)
{
    WriteUtf16File(QueueFile(), L"junk line\r\n");
    Connect();
    Flush();
    const DWORD idle = worker->GetRequestedExecutionState();
    ASSERT_NE(static_cast<DWORD>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), idle);
    EXPECT_TRUE(FileExists(QueueFile().c_str())) << "a connect item leaves the file alone";

    // A young request keeps coming back: while it waits the machine is kept awake.
    Queue(WaitingFile(L"young", 300, folder + L"young.mpg", 0));
    Flush();
    EXPECT_EQ(static_cast<DWORD>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED), worker->GetRequestedExecutionState());
    EXPECT_TRUE(FileExists(QueueFile().c_str()));

    // With the switch off the request is dropped at its next turn; nothing waits any more, so the
    // file moves aside (a crash now must not bring the request back) and the state is put back.
    ASSERT_EQ(S_OK, worker->QueueConnect(site, false));
    ASSERT_TRUE(WaitForFile(m_temp.Path(), QueueFile(L".bak")));
    EXPECT_FALSE(FileExists(QueueFile().c_str()));
    Flush();
    EXPECT_EQ(idle, worker->GetRequestedExecutionState());
    EXPECT_TRUE(QueuedItems(*worker).empty());
}

using BatchTimingTest = NotifyWorkerFixture<6000>;

TEST_F(BatchTimingTest, TheBatchComesAFullDelayAfterTheLatestNotification)
{
    Connect();
    // Two items the database does not know, 40 ms apart: each is dropped when the batch runs, and
    // the count event reports 0 at once then.
    Notify(L"unknown1", 300, kChanged);
    Sleep(40);  // spaces the notifications; nothing waits on it
    const DWORD last = GetTickCount();  // no later than the item's own queueing
    Notify(L"unknown2", 300, kChanged);
    const DWORD deadline = last + kTestWaitMs;
    while (owner.Counts().back() != 0 && GetTickCount() < deadline)
        owner.WaitForFires(owner.Fires().size() + 1, kTestWaitMs);
    ASSERT_EQ(0u, owner.Counts().back());
    const DWORD after = owner.Fires().back().tick - last;
    EXPECT_GE(after + 1, 6000u) << "the batch ran before a full delay after the latest notification";
    EXPECT_LT(after, 6000u + 5000);
}
