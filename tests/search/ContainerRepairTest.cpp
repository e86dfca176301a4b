// Containers whose file no longer holds their source, repaired from a member's file.
#include "tests/search/CleanUpTestSupport.h"

using namespace cleanup_test;

namespace
{
constexpr LONG kSourceId = CContainerCatalogueBuilder::kPropSourceId;

HRESULT RepairStep(CCleanUpWorker& w, CKdCdbMgr& c, CCleanUpProgress& p)
{
    return w.RepairContainers(c, p);
}

size_t CallsOf(FileExaminerMethod method)
{
    size_t count = 0;
    for (const FileExaminerCall& call : CFileExaminer::Calls().Calls())
        count += call.method == method ? 1 : 0;
    return count;
}
}  // namespace

class ContainerRepairTest : public CleanUpTest
{
protected:
    // A source, a container made from it holding `containerBytes`, and a member standing for
    // another recording whose file holds "member".
    std::wstring AddGroup(const std::wstring& name, const std::string& containerBytes)
    {
        m_builder->AddMediaItem(name + L"Src", 300, "source");
        const std::wstring other = m_builder->AddMediaItem(name + L"New", 300, "other");
        m_builder->AddContainerMember(name + L"Member", other, "member");
        return m_builder->AddContainer(name + L"Box", name + L"Src", containerBytes, {name + L"Member"});
    }
};

TEST_F(ContainerRepairTest, RejectedContainersTakeAMembersFileAndItsItemAsSource)
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

    EXPECT_EQ(S_OK, m_worker->Run(&RepairStep));

    EXPECT_EQ("member", Bytes(stale));
    EXPECT_EQ(L"staleNew", Value(L"staleBox", kSourceId));
    EXPECT_EQ("source", Bytes(current));
    EXPECT_EQ(L"currentSrc", Value(L"currentBox", kSourceId));
    EXPECT_EQ("old", Bytes(plain));
    EXPECT_EQ("member", Bytes(self));
    EXPECT_EQ(L"selfSrc", Value(L"selfBox", kSourceId));
    EXPECT_EQ((std::vector<ULONG>{90, 92, 95, 97}), m_worker->Published());

    // One examiner for the whole run, called with the reserved arguments 0, mode 1 and no options.
    EXPECT_EQ(1u, CallsOf(FileExaminerMethod::Create));
    for (const FileExaminerCall& call : CFileExaminer::Calls().Calls())
    {
        EXPECT_EQ(0u, call.reserved);
        if (call.method == FileExaminerMethod::ComparePart)
        {
            EXPECT_EQ(1u, call.mode);
            EXPECT_EQ(1u, call.index);
            EXPECT_EQ(VT_EMPTY, call.optionsType);
        }
    }
    // Released with the worker's thread, on that thread.
    const std::vector<FileExaminerCall> calls = CFileExaminer::Calls().Calls();
    const DWORD workerThread = calls.front().threadId;
    m_worker.reset();
    ASSERT_EQ(0, CFileExaminer::LiveCount());
    EXPECT_EQ(FileExaminerMethod::Release, CFileExaminer::Calls().Calls().back().method);
    EXPECT_EQ(workerThread, CFileExaminer::Calls().Calls().back().threadId);
}

// An examination that fails anywhere, or finds nothing to compare, counts as a rejection.
TEST_F(ContainerRepairTest, AFailingExaminationRepairsAsARejectionDoes)
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
TEST_F(ContainerRepairTest, MembersThatCannotStandInArePassedOver)
{
    const std::wstring newer = m_builder->AddMediaItem(L"newer", 300, "newer");
    m_builder->AddContainerMember(L"noFile", m_files.PathOf(L"missing.mpg"), "x");
    m_builder->AddContainerMember(L"plainFile", newer, "plain member", false);
    m_db->Catalogue().AddItem(L"src", 300, {{0x01F4, m_files.PathOf(L"gone.mpg")}});
    const std::wstring box = m_builder->AddContainer(L"box", L"src", "old", {L"noFile", L"plainFile"});
    m_db->Catalogue().SetMembers(L"box", {L"noFile", L"plainFile"});

    // The group lookup keeps one member per container; run the repair of both in turn.
    EXPECT_EQ(S_OK, m_worker->Run(&RepairStep));
    EXPECT_EQ("old", Bytes(box));  // the first member has no file
    m_db->Catalogue().SetMembers(L"box", {L"plainFile"});
    CCleanUpWorker worker;
    EXPECT_EQ(S_OK, worker.Run(&RepairStep));
    EXPECT_EQ("plain member", Bytes(box));
    EXPECT_EQ(L"newer", Value(L"box", kSourceId));
}
