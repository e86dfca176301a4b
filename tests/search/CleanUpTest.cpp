// The clean-up steps against the stand-in database and real files: what goes from the catalogue
// and the disk, what stays, which containers are repaired from a member's file, which percentages
// the manager sees, and how pauses, stops and failures end the steps.
#include <algorithm>
#include <functional>
#include <mutex>
#include "common/ProtectedLocations.h"
#include "search/CleanUpProgress.h"
#include "standins/ClassRegistration.h"
#include "standins/ContainerCatalogueBuilder.h"
#include "standins/FileExaminer.h"
#include "tests/search/SearchTestSupport.h"
#include "tests/support/TraceCapture.h"

namespace
{
constexpr LONG kSourceId = CContainerCatalogueBuilder::kPropSourceId;

// A search worker whose clean-up steps a test runs on the worker's own thread, on a connection
// opened and given the stop and run events the way the run opens its own, recording every
// percentage the steps publish.
class CCleanUpWorker : public CPluginDbSearchThread
{
public:
    using Steps = std::function<HRESULT(CCleanUpWorker& worker, CKdCdbMgr& connection, CCleanUpProgress& progress)>;
    using CPluginDbSearchThread::RemoveItemsWithMissingFile;
    using CPluginDbSearchThread::RemoveOrphanedDerivedItems;
    using CPluginDbSearchThread::RepairContainers;
    using CPluginDbSearchThread::RunRemovalSteps;

    ~CCleanUpWorker() override
    {
        RequestStop();
        Shutdown();
    }

    void Start(Steps steps)
    {
        m_steps = std::move(steps);
        m_done.Reset();
        ASSERT_TRUE(SUCCEEDED(QueueSite(nullptr)));
        ASSERT_EQ(S_OK, QueueItem(std::make_unique<CProcessItem>(kItemRunSteps, 0), false, false));
    }
    bool WaitDone(DWORD timeoutMs = kTestWaitMs) { return m_done.Wait(timeoutMs); }
    HRESULT Run(Steps steps)
    {
        Start(std::move(steps));
        EXPECT_TRUE(WaitDone());
        return m_result;
    }

    HRESULT Result() const { return m_result; }
    // The worker's thread was left impersonating after the last steps.
    bool LeftImpersonating() const { return m_leftImpersonating; }
    std::vector<ULONG> Published()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_published;
    }

protected:
    HRESULT ProcessItem(std::unique_ptr<CBase::CProcessItem> item) override
    {
        if (item->type != kItemRunSteps)
            return CPluginDbSearchThread::ProcessItem(std::move(item));
        item.reset();
        CKdCdbMgr connection;
        m_result = connection.Open(false, L"LumSiftDbNotifyWex", kTestWaitMs);
        if (SUCCEEDED(m_result))
        {
            connection.SetAbortEvent(GetStopEvent());
            const CScopedHandle runEvent(GetRunEvent());
            connection.SetRunEvent(runEvent.Get());
            CCleanUpProgress progress([this](ULONG value) {
                SetProgress(value);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_published.push_back(value);
            });
            m_result = m_steps(*this, connection, progress);
            connection.Close();
            HANDLE token = nullptr;
            m_leftImpersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
            if (token)
                CloseHandle(token);
        }
        m_done.Set();
        return S_OK;
    }

private:
    static constexpr LONG kItemRunSteps = 100;

    Steps m_steps;
    HRESULT m_result = E_UNEXPECTED;
    bool m_leftImpersonating = false;
    CTestEvent m_done;
    std::mutex m_mutex;
    std::vector<ULONG> m_published;
};

HRESULT RemovalSteps(CCleanUpWorker& w, CKdCdbMgr& c, CCleanUpProgress& p)
{
    return w.RunRemovalSteps(c, p);
}

HRESULT RepairStep(CCleanUpWorker& w, CKdCdbMgr& c, CCleanUpProgress& p)
{
    return w.RepairContainers(c, p);
}
}  // namespace

// The stand-in file examiner registered, a scratch folder and a catalogue builder over both.
class CleanUpTest : public SearchTest
{
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        ASSERT_EQ(S_OK, m_examiner.Register<CFileExaminer>(CLSID_FileExaminer));
        CFileExaminer::Reset();
        m_builder = std::make_unique<CContainerCatalogueBuilder>(m_db->Catalogue(), m_files);
        m_cleanUp = std::make_unique<CCleanUpWorker>();
    }

    void TearDown() override
    {
        m_cleanUp.reset();
        CFileExaminer::Reset();
        m_examiner.Revoke();
        SearchTest::TearDown();
    }

    // REG_NONE: no value.
    static void SetCleanUpClass(DWORD type, const void* data, DWORD bytes)
    {
        if (type != REG_NONE)
            SetValue(SettingsPath(), L"CleanUpObjectClass", type, data, bytes);
    }
    static void SetCleanUpClass(DWORD itemClass) { SetCleanUpClass(REG_DWORD, &itemClass, sizeof(itemClass)); }

    bool Has(const std::wstring& id) { return m_db->Catalogue().Find(id) != nullptr; }
    std::wstring Value(const std::wstring& id, LONG propId)
    {
        std::wstring text;
        ContentDbItemPtr item = m_db->Catalogue().Find(id);
        return item && item->GetText(propId, text) ? text : L"<none>";
    }
    static std::string Bytes(const std::wstring& path)
    {
        std::string bytes;
        return ReadFileBytes(path, bytes) ? bytes : "<unreadable>";
    }

    // A source, a container made from it holding `containerBytes`, and a member standing for
    // another recording whose file holds "member".
    std::wstring AddGroup(const std::wstring& name, const std::string& containerBytes)
    {
        m_builder->AddMediaItem(name + L"Src", 300, "source");
        const std::wstring other = m_builder->AddMediaItem(name + L"New", 300, "other");
        m_builder->AddContainerMember(name + L"Member", other, "member");
        return m_builder->AddContainer(name + L"Box", name + L"Src", containerBytes, {name + L"Member"});
    }

    CClassRegistration m_examiner;
    CScratchFolder m_files{L"lumcleanup"};
    std::unique_ptr<CContainerCatalogueBuilder> m_builder;
    std::unique_ptr<CCleanUpWorker> m_cleanUp;
};

TEST_F(CleanUpTest, RemovalStepsTakeWhatLostItsFileSourceOrMembersAndKeepTheRest)
{
    SetCleanUpClass(300);
    const std::wstring kept = m_builder->AddMediaItem(L"kept", 300, "kept");
    const auto goneFiles = m_builder->AddItemWithMissingFile(L"gone", 300, 2);
    const auto goneDerived = m_builder->AddDerivedItem(L"goneThumb", 610, L"gone", 1);
    const auto orphan = m_builder->AddDerivedItem(L"orphan", 611, L"ghost", 2);
    const auto keptDerived = m_builder->AddDerivedItem(L"keptThumb", 610, L"kept", 1);
    // A source id no query can hold literally: its search fails, nothing else is touched.
    m_builder->AddDerivedItem(L"odd", 610, L"a\"b\\c", 0);
    m_builder->AddContainerMember(L"member", kept, "member");
    const std::wstring emptyBox = m_builder->AddContainer(L"emptyBox", L"kept", "box", {});
    const std::wstring fullBox = m_builder->AddContainer(L"fullBox", L"kept", "box", {L"member"});
    m_builder->AddMediaItem(L"song", 100, "song");
    const std::wstring emptyList = m_builder->AddCollection(L"emptyList", {});
    const std::wstring fullList = m_builder->AddCollection(L"fullList", {L"song"});
    trace_test::CTraceCapture trace(2, false);

    EXPECT_EQ(S_OK, m_cleanUp->Run(&RemovalSteps));
    // Each removal is traced with its reason.
    const std::vector<std::pair<std::wstring, std::wstring>> traced = {
        {L"gone", L"removed: its file is gone"},
        {L"ghost", L"removed: items derived from a source that is gone"},
        {L"a\"b\\c", L"failed: the item cannot be removed"},
        {L"emptyBox", L"removed: empty"},
        {L"emptyList", L"removed: empty"},
    };
    for (const auto& [subject, decision] : traced)
        EXPECT_EQ(1u, trace.LinesWith(L" cleanup " + subject + L" " + decision).size()) << subject.c_str();

    for (const wchar_t* id : {L"gone", L"goneThumb", L"orphan", L"emptyBox", L"emptyList"})
        EXPECT_FALSE(Has(id)) << id;
    for (const wchar_t* id : {L"kept", L"keptThumb", L"odd", L"member", L"fullBox", L"song", L"fullList"})
        EXPECT_TRUE(Has(id)) << id;
    for (const std::wstring& path : {goneFiles[0], goneFiles[1], goneDerived[0], orphan[0], orphan[1], emptyList})
        EXPECT_FALSE(IsExistingFile(path)) << path;
    // The empty container's file is named by a container location, which the deletion takes as a
    // path: it stays on the disk.
    for (const std::wstring& path : {kept, keptDerived[0], fullBox, fullList, emptyBox})
        EXPECT_TRUE(IsExistingFile(path)) << path;

    const std::vector<ULONG> published = m_cleanUp->Published();
    ASSERT_FALSE(published.empty());
    EXPECT_EQ(3u, published.front());
    EXPECT_EQ(published.end(), std::adjacent_find(published.begin(), published.end(), std::greater_equal<ULONG>()));
    EXPECT_LT(published.back(), 90u);
    EXPECT_FALSE(m_cleanUp->LeftImpersonating());
}

// A file of a removed item that cannot be deleted stays, and the trace says so; the item goes.
TEST_F(CleanUpTest, AFileThatCannotBeDeletedIsTracedAsRefused)
{
    SetCleanUpClass(300);
    const auto files = m_builder->AddItemWithMissingFile(L"gone", 300, 2);
    ASSERT_TRUE(SetFileAttributesW(files[1].c_str(), FILE_ATTRIBUTE_READONLY));
    trace_test::CTraceCapture trace(2, false);

    EXPECT_EQ(S_OK, m_cleanUp->Run(&RemovalSteps));
    EXPECT_FALSE(Has(L"gone"));
    EXPECT_TRUE(IsExistingFile(files[1]));
    SetFileAttributesW(files[1].c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(1u, trace.LinesWith(L" cleanup gone \"" + files[1] +
                                  L"\" deletion refused: the file cannot be deleted (0x80070005 access denied)")
                      .size());
    EXPECT_EQ(1u, trace.LinesWith(L" cleanup gone removed: its file is gone").size());
}

// A file the guard refuses stays, and the trace gives the guard's reason.
TEST_F(CleanUpTest, AFileTheGuardRefusesIsTracedWithItsReason)
{
    SetCleanUpClass(300);
    const auto files = m_builder->AddItemWithMissingFile(L"gone", 300, 2);
    const size_t slash = files[1].find_last_of(L'\\');
    ASSERT_NE(std::wstring::npos, slash);
    const std::vector<CString> folders{CString(files[1].substr(0, slash).c_str())};
    SetProtectedFoldersForTest(&folders);
    trace_test::CTraceCapture trace(2, false);

    const HRESULT hr = m_cleanUp->Run(&RemovalSteps);
    SetProtectedFoldersForTest(nullptr);
    EXPECT_EQ(S_OK, hr);
    EXPECT_FALSE(Has(L"gone"));
    EXPECT_TRUE(IsExistingFile(files[1]));
    EXPECT_EQ(1u, trace.LinesWith(L" cleanup gone \"" + files[1] +
                                  L"\" deletion refused: the file guard refuses a protected location")
                      .size());
}

// The class is read from 4 bytes of the value whatever its type; a value that does not fit, or
// none (0), leaves the items alone and step A silent.
TEST_F(CleanUpTest, ConfiguredClassIsReadFromTheValuesFirstFourBytes)
{
    const BYTE shortBinary[] = {0x2C, 0x01};  // 300
    const wchar_t longText[] = L"300";
    const struct
    {
        const char* name;
        DWORD type;
        const void* data;
        DWORD bytes;
        bool removed;
    } cases[] = {
        {"absent", REG_NONE, nullptr, 0, false},
        {"binary", REG_BINARY, shortBinary, 2, true},
        {"text", REG_SZ, longText, sizeof(longText), false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        SetCleanUpClass(c.type, c.data, c.bytes);
        m_builder->AddItemWithMissingFile(L"gone", 300, 0);
        CCleanUpWorker worker;
        EXPECT_EQ(S_OK, worker.Run([](CCleanUpWorker& w, CKdCdbMgr& conn, CCleanUpProgress& p) {
            const HRESULT hr = w.RemoveItemsWithMissingFile(conn, p);
            return SUCCEEDED(hr) ? w.RemoveOrphanedDerivedItems(conn, p) : hr;
        }));
        EXPECT_EQ(!c.removed, Has(L"gone"));
        const std::vector<ULONG> published = worker.Published();
        ASSERT_FALSE(published.empty());
        EXPECT_EQ(c.removed ? 3u : 10u, published.front());
    }
}

TEST_F(CleanUpTest, PauseHoldsThePercentageAndAStopInContainersSkipsTheRest)
{
    SetCleanUpClass(300);
    for (const wchar_t* id : {L"g1", L"g2", L"g3", L"g4"})
        m_builder->AddItemWithMissingFile(id, 300, 1);
    m_builder->AddContainer(L"emptyBox", L"", "box", {});
    m_builder->AddCollection(L"emptyList", {});

    // Paused once the first item went: the run waits at 3 before the next one.
    m_db->Control().Stall(CdbMethod::DeleteItem);
    m_db->Control().Stall(CdbMethod::SearchRelated);
    m_cleanUp->Start(&RemovalSteps);
    ASSERT_TRUE(m_db->Control().WaitStalled(CdbMethod::DeleteItem, 1, kTestWaitMs));
    ASSERT_TRUE(m_cleanUp->ResetRunEvent());
    m_db->Control().Release(CdbMethod::DeleteItem);
    EXPECT_FALSE(m_cleanUp->WaitDone(500));
    EXPECT_EQ((std::vector<ULONG>{3}), m_cleanUp->Published());
    EXPECT_EQ(3u, m_cleanUp->GetProgress());
    EXPECT_FALSE(Has(L"g1"));
    EXPECT_TRUE(Has(L"g2"));

    // Running again, the items go at 3, 4, 6, 8 and step C stalls in its membership lookup.
    ASSERT_TRUE(m_cleanUp->SetRunEvent());
    ASSERT_TRUE(m_db->Control().WaitStalled(CdbMethod::SearchRelated, 1, kTestWaitMs));
    EXPECT_FALSE(Has(L"g4"));
    m_cleanUp->RequestStop();
    m_db->Control().Release(CdbMethod::SearchRelated);
    ASSERT_TRUE(m_cleanUp->WaitDone());
    EXPECT_EQ(E_ABORT, m_cleanUp->Result());
    EXPECT_EQ((std::vector<ULONG>{3, 4, 6, 8, 10, 25, 40}), m_cleanUp->Published());
    // Step D never ran: its collection and the container are still there.
    EXPECT_TRUE(Has(L"emptyBox"));
    EXPECT_TRUE(Has(L"emptyList"));
    for (const CdbCall& call : m_db->Control().Calls(CdbMethod::Search))
        EXPECT_EQ(std::wstring::npos, call.text.find(L"650")) << call.text;
}

TEST_F(CleanUpTest, AFailedLookupEndsOnlyItsOwnStep)
{
    m_builder->AddDerivedItem(L"orphan", 610, L"ghost", 0);
    m_builder->AddContainer(L"emptyBox", L"", "box", {});
    // Step A is off; the first search is step B's.
    m_db->Control().FailNext(CdbMethod::Search, E_FAIL, 1);
    trace_test::CTraceCapture trace(1, false);
    EXPECT_EQ(S_OK, m_cleanUp->Run(&RemovalSteps));
    EXPECT_TRUE(Has(L"orphan"));
    EXPECT_FALSE(Has(L"emptyBox"));
    EXPECT_EQ((std::vector<ULONG>{40, 50, 65, 75}), m_cleanUp->Published());
    // The run's answer does not show the failure; the trace does.
    EXPECT_EQ(1u, trace.LinesWith(L"cleanup failed: a clean-up step failed").size());
}

TEST_F(CleanUpTest, RejectedContainersTakeAMembersFileAndItsItemAsSource)
{
    CFileExaminer::SetRule(&CFileExaminer::SameBytes);
    // The source's first part is neither video nor audio: the examiner compares the second.
    CFileExaminer::SetParts({3, kExaminerPartAudio});
    const std::wstring stale = AddGroup(L"stale", "old");
    const std::wstring current = AddGroup(L"current", "source");
    // Not one of ours: a container whose file is no container location.
    m_builder->AddMediaItem(L"plainSrc", 300, "source");
    m_builder->AddContainerMember(L"plainMember", m_files.PathOf(L"plainSrc.mpg"), "member");
    const std::wstring plain = m_files.Write(L"plain.mpg", "old");
    m_db->Catalogue().AddItem(L"plainBox", 600, {{kSourceId, L"plainSrc"}, {0x01F8, plain}});
    m_db->Catalogue().SetMembers(L"plainBox", {L"plainMember"});
    // The member stands for the source itself: its file is copied, but the source stays.
    m_builder->AddMediaItem(L"selfSrc", 300, "source");
    m_builder->AddContainerMember(L"selfMember", m_files.PathOf(L"selfSrc.mpg"), "member");
    const std::wstring self = m_builder->AddContainer(L"selfBox", L"selfSrc", "old", {L"selfMember"});

    EXPECT_EQ(S_OK, m_cleanUp->Run(&RepairStep));

    EXPECT_EQ("member", Bytes(stale));
    EXPECT_EQ(L"staleNew", Value(L"staleBox", kSourceId));
    EXPECT_EQ("source", Bytes(current));
    EXPECT_EQ(L"currentSrc", Value(L"currentBox", kSourceId));
    EXPECT_EQ("old", Bytes(plain));
    EXPECT_EQ("member", Bytes(self));
    EXPECT_EQ(L"selfSrc", Value(L"selfBox", kSourceId));
    EXPECT_EQ((std::vector<ULONG>{90, 92, 95, 97}), m_cleanUp->Published());

    // One examiner for the whole run, called with the reserved arguments 0, mode 1 and no options.
    size_t creates = 0;
    for (const FileExaminerCall& call : CFileExaminer::Calls().Calls())
    {
        creates += call.method == FileExaminerMethod::Create ? 1 : 0;
        EXPECT_EQ(0u, call.reserved);
        if (call.method == FileExaminerMethod::ComparePart)
        {
            EXPECT_EQ(1u, call.mode);
            EXPECT_EQ(1u, call.index);
            EXPECT_EQ(VT_EMPTY, call.optionsType);
        }
    }
    EXPECT_EQ(1u, creates);
    // Released with the worker's thread, on that thread.
    const std::vector<FileExaminerCall> calls = CFileExaminer::Calls().Calls();
    const DWORD workerThread = calls.front().threadId;
    m_cleanUp.reset();
    ASSERT_EQ(0, CFileExaminer::LiveCount());
    EXPECT_EQ(FileExaminerMethod::Release, CFileExaminer::Calls().Calls().back().method);
    EXPECT_EQ(workerThread, CFileExaminer::Calls().Calls().back().threadId);
}

// An examination that fails anywhere, or finds nothing to compare, counts as a rejection.
TEST_F(CleanUpTest, AFailingExaminationRepairsAsARejectionDoes)
{
    struct Case
    {
        const char* name;
        FileExaminerMethod failing;
        std::vector<USHORT> parts;
    } cases[] = {
        {"create", FileExaminerMethod::Create, {1}},
        {"source", FileExaminerMethod::OpenSource, {1}},
        {"container", FileExaminerMethod::OpenContainer, {1}},
        {"count", FileExaminerMethod::GetPartCount, {1}},
        {"part", FileExaminerMethod::GetPart, {1}},
        {"compare", FileExaminerMethod::ComparePart, {1}},
        {"no video or audio", FileExaminerMethod::Count, {3, 4}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFileExaminer::Reset();
        CFileExaminer::SetParts(c.parts);
        if (c.failing != FileExaminerMethod::Count)
            CFileExaminer::Fault(c.failing).FailWith(E_FAIL);
        const std::wstring box = AddGroup(L"g", "old");
        CCleanUpWorker worker;
        EXPECT_EQ(S_OK, worker.Run(&RepairStep));
        EXPECT_EQ("member", Bytes(box));
        EXPECT_EQ(L"gNew", Value(L"gBox", kSourceId));
        EXPECT_FALSE(worker.LeftImpersonating());
    }
}

// A member that cannot stand in is passed over for the next one; a source whose file is gone
// counts as rejected even when the examiner would accept.
TEST_F(CleanUpTest, MembersThatCannotStandInArePassedOver)
{
    const std::wstring newer = m_builder->AddMediaItem(L"newer", 300, "newer");
    m_builder->AddContainerMember(L"noFile", m_files.PathOf(L"missing.mpg"), "x");
    m_builder->AddContainerMember(L"plainFile", newer, "plain member", false);
    m_db->Catalogue().AddItem(L"src", 300, {{0x01F4, m_files.PathOf(L"gone.mpg")}});
    const std::wstring box = m_builder->AddContainer(L"box", L"src", "old", {L"noFile", L"plainFile"});
    m_db->Catalogue().SetMembers(L"box", {L"noFile", L"plainFile"});

    // The group lookup keeps one member per container; run the repair of both in turn.
    EXPECT_EQ(S_OK, m_cleanUp->Run(&RepairStep));
    EXPECT_EQ("old", Bytes(box));  // the first member has no file
    m_db->Catalogue().SetMembers(L"box", {L"plainFile"});
    CCleanUpWorker worker;
    EXPECT_EQ(S_OK, worker.Run(&RepairStep));
    EXPECT_EQ("plain member", Bytes(box));
    EXPECT_EQ(L"newer", Value(L"box", kSourceId));
}
