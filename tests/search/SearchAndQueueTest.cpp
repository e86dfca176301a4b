#include <algorithm>
#include <map>
#include "common/HResult.h"
#include "common/Scoped.h"
#include "standins/ContentDbQuery.h"
#include "tests/search/SearchTestSupport.h"
#include "tests/support/TraceCapture.h"

namespace
{
const wchar_t kAllMedia[] = LR"(( -2 = "300" or -2 = "200" or -2 = "100" ))";

// Answers the file check of each location by the file name's stem, S_OK for names it lacks.
struct InjectedFileErrors
{
    std::map<std::wstring, HRESULT> byName;
    std::vector<std::wstring> checked;

    static HRESULT Check(void* context, LPCWSTR longPath)
    {
        auto& self = *static_cast<InjectedFileErrors*>(context);
        self.checked.emplace_back(longPath);
        std::wstring name(longPath);
        name = name.substr(name.rfind(L'\\') + 1);
        const auto found = self.byName.find(name.substr(0, name.find(L'.')));
        return found == self.byName.end() ? S_OK : found->second;
    }
};
}  // namespace

class SearchAndQueueTest : public SearchTest
{
protected:
    void AddItem(const wchar_t* id, LONG itemClass, const wchar_t* state, bool present = true)
    {
        Media media(id, itemClass);
        media.states[0] = state;
        media.createFile = present;
        m_media->Add(media);
    }
};

TEST_F(SearchAndQueueTest, QueuesWantedCategoriesByOverallStateAfterReadingEveryRow)
{
    Media media(L"", 0);
    auto add = [&](const wchar_t* id, LONG itemClass, const wchar_t* state, auto&& adjust) {
        media = Media(id, itemClass);
        media.states[0] = state;
        adjust(media);
        m_media->Add(media);
    };
    auto plain = [](Media&) {};
    add(L"a", 300, L"10", plain);                                       // plain video
    add(L"b", 200, L"", plain);                                         // never analysed
    add(L"c", 100, L"7", [](Media& m) { m.marker = L"x"; });            // marked audio
    add(L"d", 300, L"0x25", [](Media& m) {                             // analogue video
        m.sourceApplication = L"Tuner:Import";
        m.broadcastType = L"1";
    });
    add(L"e", 100, L"6", plain);
    add(L"f", 200, L"3", plain);
    add(L"g", 300, L"0", plain);
    add(L"h", 200, L"0", [](Media& m) { m.exclusion = L"0x2"; });
    add(L"i", 200, L"0", [](Media& m) { m.exclusion = L"02"; });
    add(L"j", 200, L"0", [](Media& m) { m.exclusion = L"3"; });
    add(L"k", 200, L"0", plain);
    m_db->Catalogue().SetProperty(L"k", 0x01F4, L"");                  // no location
    add(L"m", 300, L"0", [](Media& m) { m.marker = L"m"; });            // digital video, not wanted

    ASSERT_EQ(S_OK, Pass(kAllMedia, 0x40000000, 0xFFFF & ~0x02));

    const std::vector<std::wstring> expected{
        L"b.jpg 8 40000000", L"g.mpg 4 40000000", L"j.jpg 8 40000000",  L"c.mp3 20 40000000",
        L"d.mpg 1 40000000", L"a.mpg 4 40000000", L"e.mp3 10 40000000", L"f.jpg 8 40000000"};
    EXPECT_EQ(expected, HandedOver());
    for (const QueueItemCall& call : m_site->QueueItemCalls().Calls())
        EXPECT_LT(LastReadSequence(), call.sequence);
    EXPECT_TRUE(Writes().empty());
}

TEST_F(SearchAndQueueTest, MarksGoneFilesThroughTheWriteConnectionAndQueuesFilesInUse)
{
    AddItem(L"present", 300, L"0");
    AddItem(L"gone7", 300, L"39", false);              // 0x27
    AddItem(L"goneHigh", 300, L"-2147483648", false);  // 0x80000000
    AddItem(L"goneAll", 300, L"4294967295", false);    // 0xFFFFFFFF as unsigned text
    AddItem(L"held", 300, L"7");
    CScopedHandle holder(CreateFileW(m_media->PathOf(L"held.mpg").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.IsValid());

    ASSERT_EQ(S_OK, Pass(kAllMedia));

    EXPECT_EQ((std::vector<std::wstring>{L"present.mpg 4 80000000", L"held.mpg 4 80000000"}), HandedOver());
    // In hand-out order: overall states 0, 7, then 15.
    EXPECT_EQ((std::vector<std::wstring>{L"goneHigh 175=-2147483643", L"gone7 175=37", L"goneAll 175=-11"}), Writes());
    const auto searches = m_db->Control().Calls(CdbMethod::Search);
    ASSERT_EQ(1u, searches.size());
    for (const CdbCall& write : m_db->Control().Calls(CdbMethod::SetValues))
    {
        EXPECT_NE(searches[0].connection, write.connection);
        EXPECT_LT(LastReadSequence(), write.sequence);
    }
}

TEST_F(SearchAndQueueTest, FileErrorsDecideBetweenQueueingMarkingAndLeavingAlone)
{
    const struct
    {
        const wchar_t* name;
        HRESULT error;
        bool readOnly;
        const char* fate;
        const wchar_t* traced;  // the decision and reason in the trace
    } cases[] = {
        {L"lock", HResultFromWin32(ERROR_LOCK_VIOLATION), false, "queued", L"handed over: in use (0x80070021 lock violation)"},
        {L"denied", E_ACCESSDENIED, false, "left", L"held back: out of reach for now (0x80070005 access denied)"},
        {L"deniedReadOnly", E_ACCESSDENIED, true, "marked", L"marked missing: gone (0x80070005 access denied)"},
        {L"noPath", HResultFromWin32(ERROR_PATH_NOT_FOUND), false, "marked", L"marked missing: gone (0x80070003"},
        {L"badNetPath", HResultFromWin32(ERROR_BAD_NETPATH), false, "left", L"held back: out of reach for now (0x80070035"},
        {L"netDenied", HResultFromWin32(ERROR_NETWORK_ACCESS_DENIED), false, "marked", L"marked missing: gone (0x80070041)"},
        {L"encrypted", HResultFromWin32(ERROR_FILE_ENCRYPTED), false, "left", L"held back: out of reach for now"},
        {L"unknown", E_FAIL, false, "left", L"dropped: unreadable (0x80004005 failed)"},
    };
    trace_test::CTraceCapture trace(2, false);
    InjectedFileErrors errors;
    for (const auto& c : cases)
    {
        AddItem(c.name, 200, L"0");
        errors.byName[c.name] = c.error;
        if (c.readOnly)
            SetFileAttributesW(m_media->PathOf(std::wstring(c.name) + L".jpg").c_str(), FILE_ATTRIBUTE_READONLY);
    }
    m_worker->SetFileAccessCheck(&InjectedFileErrors::Check, &errors);

    ASSERT_EQ(S_OK, Pass(kAllMedia));
    SetFileAttributesW(m_media->PathOf(L"deniedReadOnly.jpg").c_str(), FILE_ATTRIBUTE_NORMAL);

    const std::vector<std::wstring> queued = HandedOver();
    const std::vector<std::wstring> writes = Writes();
    for (const auto& c : cases)
    {
        const std::wstring name(c.name);
        const bool wasQueued = std::count(queued.begin(), queued.end(), name + L".jpg 8 80000000") == 1;
        const bool wasMarked = std::count(writes.begin(), writes.end(), name + L" 175=5") == 1;
        EXPECT_EQ(std::string(c.fate), wasQueued ? "queued" : wasMarked ? "marked" : "left") << c.fate << " " << c.error;
        const std::vector<std::wstring> lines = trace.LinesWith(L" search " + name + L" \"");
        ASSERT_EQ(1u, lines.size()) << c.fate;
        EXPECT_NE(std::wstring::npos, lines[0].find(std::wstring(L".jpg\" ") + c.traced)) << lines[0].c_str();
    }
    EXPECT_EQ(queued.size() + writes.size(), 1u + 3u);
    ASSERT_EQ(std::size(cases), errors.checked.size());
    EXPECT_EQ(m_media->PathOf(L"lock.jpg"), errors.checked[0]);
}

TEST_F(SearchAndQueueTest, WithoutSiteOrWithFailuresNothingIsQueuedOrMarkedWrongly)
{
    AddItem(L"gone", 300, L"0", false);
    AddItem(L"present", 300, L"0");

    EXPECT_EQ(E_POINTER, Pass(nullptr));
    m_db->Control().FailNext(CdbMethod::Search, E_FAIL);
    EXPECT_EQ(E_FAIL, Pass(kAllMedia));
    EXPECT_EQ(kHrCdbQuerySyntax, Pass(L"( -2 = "));
    m_worker->SetSite(nullptr);
    EXPECT_EQ(S_OK, Pass(kAllMedia));
    EXPECT_EQ(0u, m_site->QueueItemCalls().Count());
    EXPECT_TRUE(Writes().empty());
}

TEST_F(SearchAndQueueTest, OddRowsAndFailingCallsEndThePassCleanly)
{
    Media odd(L"odd", 300);
    odd.states[0] = L"xyz";
    odd.mimeType = L"video/x-odd";
    odd.broadcastType = L"\x7f";
    odd.exclusion = L"zz";
    m_media->Add(odd);
    m_db->Catalogue().SetClassText(L"odd", L"abc");
    Media longName(L"longName", 300);
    longName.fileName = L"x." + std::wstring(300, L'e');
    longName.createFile = false;
    m_media->Add(longName);  // unclassifiable: not kept
    AddItem(L"goneA", 200, L"0", false);
    AddItem(L"goneB", 200, L"0", false);
    AddItem(L"afterDrop", 200, L"0");
    m_site->Fault(ManagerSiteMethod::QueueItem).FailWith(E_FAIL);
    m_db->Control().FailCall(CdbMethod::SetValues, E_FAIL, 0, 1, L"goneA");
    m_db->Control().FailCall(CdbMethod::MoveNext, RPC_E_DISCONNECTED, 3);  // gone after the 4th row

    ASSERT_EQ(S_OK, Pass(kAllMedia));

    // "odd" reads as a never-analysed plain video (class unknown, its MIME type decides); the walk
    // ends before "afterDrop".
    EXPECT_EQ(std::vector<std::wstring>{L"odd.mpg 4 80000000"}, HandedOver());
    EXPECT_EQ((std::vector<std::wstring>{L"goneA 175=5", L"goneB 175=5"}), Writes());
}

// A stop while paused in the walk queues nothing; a stop during the hand-over leaves the rest
// neither queued nor marked.
TEST_F(SearchAndQueueTest, AStopInTheWalkOrTheHandOverEndsThePass)
{
    for (const wchar_t* id : {L"p1", L"p2", L"p3"})
        AddItem(id, 200, L"0");
    AddItem(L"gone", 200, L"7", false);
    // Paused while the walk moves past its first row: it then waits to run on.
    m_db->Control().Stall(CdbMethod::MoveNext);
    HRESULT result = E_UNEXPECTED;
    {
        CTestThread pass([&] { result = Pass(kAllMedia); });
        ASSERT_TRUE(m_db->Control().WaitStalled(CdbMethod::MoveNext, 1, kTestWaitMs));
        m_worker->ResetRunEvent();
        m_db->Control().Release(CdbMethod::MoveNext);
        // A walk that ignored the pause would be caught by this second stall.
        m_db->Control().Stall(CdbMethod::MoveNext);
        EXPECT_FALSE(m_db->Control().WaitStalled(CdbMethod::MoveNext, 1, 300));
        m_worker->RequestStop();
        m_db->Control().Release(CdbMethod::MoveNext);
    }
    EXPECT_EQ(E_ABORT, result);
    EXPECT_EQ(1, m_db->Control().CallCount(CdbMethod::MoveNext));
    EXPECT_EQ(0u, m_site->QueueItemCalls().Count());

    m_worker = std::make_unique<CPluginDbSearchThread>();
    m_worker->SetSite(m_site);
    m_site->SetQueueItemObserver([&](const QueueItemCall&) {
        if (m_site->QueueItemCalls().Count() == 2)
            m_worker->RequestStop();
    });
    EXPECT_EQ(E_ABORT, Pass(kAllMedia));
    EXPECT_EQ(2u, m_site->QueueItemCalls().Count());
    EXPECT_TRUE(Writes().empty());
    m_site->SetQueueItemObserver(nullptr);
}
