// How long the manager waits for the plug-in's last Release, and for Stop and the end of the run it
// stops, in each state the plug-in can be in. Every one must end long before the workers' 20 s stop
// time-out; the bound checked here is generous for a shared machine, and each row prints what it
// measured.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include "notify/DelayQueueFile.h"
#include "standins/ContainerCatalogueBuilder.h"
#include "standins/ContentDatabase.h"
#include "standins/MediaCatalogueBuilder.h"
#include "standins/ScratchFolder.h"
#include "tests/host/PluginDbNotifyTestSupport.h"
#include "tests/support/TempFolder.h"

namespace
{
constexpr DWORD kBoundMs = 3000;
constexpr LONG kSearchItems = 100000;
constexpr LONG kPictures = 2000;  // a category search takes only these
constexpr LONG kCleanUpItems = 20000;
constexpr size_t kSlowBatch = 50;
constexpr ULONG kFullSearch = 0x00010000;
constexpr ULONG kPictureSearch = 0x00040008;
constexpr ULONG kCleanUp = 0x00020000;
constexpr HRESULT kServerGone = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
constexpr LONG kPropNoted = 0x7000;  // a property nothing reads: changing it only notifies

using CItem = CPluginDbNotifyThread::CProcessItem;

std::wstring Numbered(const wchar_t* prefix, LONG i)
{
    return prefix + std::to_wstring(i);
}

class StopTimesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        VariantInit(&none);
        m_db = CContentDatabase::Create();
        m_db->Control().SetRecording(false);
        // Filled before anything listens: no notification comes of it.
        m_media = std::make_unique<CMediaCatalogueBuilder>(m_db->Catalogue());
        for (LONG i = 0; i < kSearchItems; ++i)
        {
            CMediaCatalogueBuilder::Media clip(Numbered(L"s", i), 300);
            clip.fileName = L"clip.mpg";  // one real file: each is handed over, none written back
            m_clip = m_media->Add(clip);
        }
        for (LONG i = 0; i < kPictures; ++i)
        {
            CMediaCatalogueBuilder::Media picture(Numbered(L"p", i), 200);
            picture.fileName = L"photo.jpg";
            m_media->Add(picture);
        }
        AddOrphans();
        ASSERT_EQ(S_OK, m_db->Register());
        ASSERT_EQ(S_OK, CManagerSite::Create(&m_site));
    }

    void TearDown() override
    {
        m_site.Release();
        m_db->Revoke();
        EXPECT_TRUE(m_db->WaitNotificationsIdle(kTestWaitMs));
        m_media.reset();
        m_db.reset();
        CoUninitialize();
    }

    // Derived items whose source is gone: the clean-up removes each. Put back before every
    // clean-up row.
    void AddOrphans()
    {
        CContainerCatalogueBuilder builder(m_db->Catalogue(), m_files);
        for (LONG i = 0; i < kCleanUpItems; ++i)
            builder.AddDerivedItem(Numbered(L"d", i), 610, Numbered(L"gone", i), 0);
    }

    // A new plug-in object whose notification worker keeps its file in the case's folder.
    void Create()
    {
        ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine,
                                                           reinterpret_cast<void**>(&engine)));
        Notify().SetDelayQueueFolder(CString(m_folder.Path().c_str()));
    }

    // Connects the object and waits until its worker opened the database (or is retrying a busy
    // open: `waitForSink` false).
    void Connect(bool waitForSink = true)
    {
        CComPtr<ILumMgrPluginDatabaseNotify2> notify;
        ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&notify)));
        ASSERT_EQ(S_OK, notify->Connect(m_site, none));
        if (waitForSink)
        {
            ASSERT_TRUE(WaitUntil([&] { return m_db->SinkCount() == 1; }));
        }
    }

    // Starts a run; connected first, the run has the manager's site to hand items to.
    void Start(ULONG flags) { ASSERT_EQ(S_OK, engine->Start(flags, nullptr, none)); }

    // A full search well into its walk over the 100k rows.
    void Walking()
    {
        Connect();
        Start(kFullSearch);
        WaitForCalls(CdbMethod::MoveNext, Calls(CdbMethod::MoveNext), 2000);
    }
    // A clean-up that has begun to remove the orphans.
    void CleaningUp()
    {
        AddOrphans();
        Connect();
        Start(kCleanUp);
        WaitForCalls(CdbMethod::DeleteItem, Calls(CdbMethod::DeleteItem), 20);
    }
    // The database busy from now on, while `open` makes the plug-in open it; until it retries.
    void BusyWhile(const std::function<void()>& open)
    {
        m_db->SetBusyFor(600000);
        const LONG opens = Calls(CdbMethod::Open);
        open();
        WaitForCalls(CdbMethod::Open, opens, 3);
    }
    void Pause()
    {
        ASSERT_EQ(S_OK, engine->Pause(none));
        Sleep(100);  // lets the run come to its next pause point; nothing signals it
    }

    // Waits until `count` more calls of the method have come since `from`.
    void WaitForCalls(CdbMethod method, LONG from, LONG count)
    {
        ASSERT_TRUE(WaitUntil([&] { return m_db->Control().CallCount(method) >= from + count; }))
            << "the plug-in did not get that far";
    }
    LONG Calls(CdbMethod method) { return m_db->Control().CallCount(method); }

    template <typename Condition>
    static bool WaitUntil(Condition condition)
    {
        for (const DWORD start = GetTickCount(); !condition(); Sleep(5))
        {
            if (GetTickCount() - start > kTestWaitMs)
                return false;
        }
        return true;
    }

    CPluginDbNotify& Object() { return *static_cast<CPluginDbNotify*>(engine.Get()); }
    CPluginDbNotifyThread& Notify() { return CPluginDbNotifyTestAccess::Notify(Object()); }
    CPluginDbSearchThread& Search() { return CPluginDbNotifyTestAccess::Search(Object()); }

    // The requests in the delay-queue file.
    size_t Saved()
    {
        size_t saved = 0;
        LoadDelayQueueFile(CString(m_folder.Path().c_str()), [&](const CString&, LONG, const CString&) {
            ++saved;
            return S_OK;
        });
        return saved;
    }

    std::shared_ptr<CContentDatabase> m_db;
    CComPtr<CManagerSite> m_site;
    CComPtr<ILumMgrPluginEngine> engine;
    VARIANT none;
    std::unique_ptr<CMediaCatalogueBuilder> m_media;
    std::wstring m_clip;
    CScratchFolder m_files{L"lum-stoptimes"};
    CTempFolder m_folder{L"lum-stoptimes-queue"};
};

// Changes items at about 1,000 a second while it lives.
class CNotificationFeed
{
public:
    explicit CNotificationFeed(CContentDbCatalogue& catalogue)
        : m_thread([this, &catalogue] {
              for (LONG round = 0; !m_stop.Wait(10); ++round)
              {
                  for (LONG i = 0; i < 10; ++i)
                      catalogue.SetProperty(Numbered(L"s", (round * 10 + i) % kSearchItems), kPropNoted,
                                            std::to_wstring(round));
              }
          })
    {
    }
    ~CNotificationFeed()
    {
        m_stop.Set();
        m_thread.Join();
    }

private:
    CTestEvent m_stop;
    CTestThread m_thread;
};
}  // namespace

TEST_F(StopTimesTest, ReleaseAndStopEndSoonInEveryState)
{
    using Enter = std::function<void()>;
    std::unique_ptr<CNotificationFeed> feed;
    const struct
    {
        const char* state;
        Enter enter;
        bool search;  // also measured with Stop, on an object of its own
    } rows[] = {
        {"idle", [&] { Connect(); }, false},
        {"notifications at 1,000/s",
         [&] {
             Connect();
             feed = std::make_unique<CNotificationFeed>(m_db->Catalogue());
             Sleep(300);
         },
         false},
        {"a batch handing off to a slow manager",
         [&] {
             Connect();
             m_site->SetQueueItemObserver([](const QueueItemCall&) { Sleep(100); });
             for (LONG i = 0; i < static_cast<LONG>(kSlowBatch); ++i)
             {
                 auto waiting = std::make_unique<CItem>(CPluginDbNotifyThread::kItemHandOff);
                 waiting->created = GetTickCount() - 60000;
                 waiting->itemId.Reset(SysAllocString(Numbered(L"s", i).c_str()));
                 waiting->itemClass = 300;
                 waiting->SetPath(CString(m_clip.c_str()));
                 ASSERT_EQ(S_OK, Notify().QueueItem(std::move(waiting), true, true));
             }
             // An item the worker does not handle makes the batch run now.
             auto kick = std::make_unique<CItem>(99);
             ASSERT_EQ(S_OK, Notify().QueueItem(std::move(kick), false, false));
             ASSERT_TRUE(m_site->WaitForQueueItems(2, kTestWaitMs));
         },
         false},
        {"a search walking 100k rows", [&] { Walking(); }, true},
        {"a search handing items over",
         [&] {
             Connect();
             Start(kPictureSearch);
             ASSERT_TRUE(WaitUntil([&] { return m_site->QueueItemCalls().Count() >= 20; }));
         },
         true},
        {"a search paused", [&] { Walking(), Pause(); }, true},
        {"a clean-up over 20k", [&] { CleaningUp(); }, true},
        {"a clean-up paused", [&] { CleaningUp(), Pause(); }, true},
        {"the database busy at connect", [&] { BusyWhile([&] { Connect(false); }); }, false},
        {"the database busy at a search", [&] { Connect(), BusyWhile([&] { Start(kFullSearch); }); }, true},
        {"the database gone mid-walk",
         [&] {
             Walking();
             for (int method = 0; method < static_cast<int>(CdbMethod::Count); ++method)
                 m_db->Control().FailNext(static_cast<CdbMethod>(method), kServerGone, CContentDbControl::kAlways);
         },
         true},
    };

    std::printf("%-40s %10s %10s %12s\n", "state", "Release", "Stop", "run ended");
    for (const auto& row : rows)
    {
        for (const bool stop : {false, true})
        {
            if (stop && !row.search)
                continue;
            SCOPED_TRACE(std::string(row.state) + (stop ? ", Stop" : ", Release"));
            m_site->QueueItemCalls().Clear();
            Create();
            row.enter();
            if (HasFatalFailure())
                return;

            DWORD stopMs = 0;
            DWORD runEndedMs = 0;
            if (stop)
            {
                const DWORD start = GetTickCount();
                ASSERT_EQ(S_OK, engine->Stop(none));
                stopMs = GetTickCount() - start;
                // What a Start right after waits for.
                EXPECT_TRUE(WaitUntil([&] { return !Search().IsRunning(); }));
                runEndedMs = GetTickCount() - start;
                EXPECT_LT(runEndedMs, kBoundMs);
            }
            const DWORD start = GetTickCount();
            engine.Release();
            const DWORD releaseMs = GetTickCount() - start;
            EXPECT_LT(releaseMs, kBoundMs);
            feed.reset();

            if (stop)
                std::printf("%-40s %10s %7lu ms %9lu ms\n", row.state, "", stopMs, runEndedMs);
            else
                std::printf("%-40s %7lu ms\n", row.state, releaseMs);
            EXPECT_EQ(0, m_db->LiveConnections()) << "a connection outlived the object";
            if (std::string(row.state) == "a batch handing off to a slow manager")
            {
                EXPECT_EQ(kSlowBatch - m_site->QueueItemCalls().Count(), Saved()) << "requests were lost";
            }

            m_site->SetQueueItemObserver(nullptr);
            m_db->Control().Reset();
            m_db->SetBusyFor(0);
        }
    }
}
