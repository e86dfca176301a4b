#include "tests/search/SearchTestSupport.h"
#include "tests/support/TraceCapture.h"

namespace
{
using Words = std::vector<std::wstring>;  // texts of 0xAF, 0xB0, 0xB1, 0xB2; empty: absent

CContentDbCatalogue::Properties StateProperties(const Words& words)
{
    CContentDbCatalogue::Properties properties;
    for (size_t j = 0; j < words.size(); ++j)
        properties.emplace_back(0xAF + static_cast<LONG>(j), words[j]);
    return properties;
}
}  // namespace

class ResetEngineStatesTest : public SearchTest
{
protected:
    HRESULT Reset(LPCWSTR clause, const std::vector<ULONG>& indexes, ULONG from, ULONG to = 10)
    {
        return m_worker->ResetEngineStates(m_search, clause, indexes, from, to);
    }
};

TEST_F(ResetEngineStatesTest, WritesOnlyTheChangedWordsOncePerItem)
{
    const struct
    {
        std::vector<ULONG> indexes;
        ULONG from;
        Words words;
        const wchar_t* written;  // empty: no write
    } cases[] = {
        {{2, 9}, 4, {L"67", L"4"}, L"x 175=170 176=10"},     // 0x43 and 0x04: both fields, overall 3 -> 10
        {{2}, 4, {L"98"}, L""},                              // field 2 holds 6, not 4
        {{33}, 4, {L"4"}, L""},                              // tests the overall field, changes nothing
        {{1, 2}, 4, {L"68"}, L"x 175=170"},                  // 0x44: field 1 handled as an engine field
        {{1}, 4, {L"68"}, L"x 175=74"},                      // field 1 alone: field 2 stays 4
        {{25}, 4, {L"3", L"", L"", L"4"}, L"x 175=10 178=10"},  // last word, overall 3 -> 10
        {{32}, 4, {L"3", L"", L"", L"1073741824"}, L"x 175=10 178=-1610612736"},  // the last field
        {{2}, 15, {L"4294967295"}, L"x 175=-81"},            // 0xFFFFFFFF round-trips: 0xFFFFFFAF
    };
    for (const auto& c : cases)
    {
        trace_test::CTraceCapture trace(2, false);
        m_db->Catalogue().Clear();
        m_db->Control().ClearCalls();
        m_db->Catalogue().AddItem(L"x", 300, StateProperties(c.words));
        SCOPED_TRACE(testing::Message() << "from " << c.from << ", words[0] " << std::string(c.words[0].begin(), c.words[0].end()));
        EXPECT_EQ(S_OK, Reset(L"", c.indexes, c.from));
        EXPECT_EQ(*c.written ? Words{c.written} : Words{}, Writes());
        EXPECT_EQ(*c.written ? 1u : 0u, trace.LinesWith(L" search x reset: overall state ").size());
        for (const CdbCall& write : m_db->Control().Calls(CdbMethod::SetValues))
            EXPECT_LT(LastReadSequence(), write.sequence);
    }
}

TEST_F(ResetEngineStatesTest, OverallStateFollowsTheResetOnlyFromStatesItCanLeave)
{
    // For each to-value, the current overall states that take it; all others stay.
    const struct
    {
        ULONG to;
        std::vector<ULONG> taking;
    } rules[] = {
        {13, {}},
        {4, {4, 13, 14}},
        {1, {1, 2, 3, 4, 5, 6, 13, 14}},
        {10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 13, 14}},
    };
    for (const auto& rule : rules)
    {
        m_db->Catalogue().Clear();
        m_db->Control().ClearCalls();
        for (ULONG current = 0; current < 16; ++current)
            m_db->Catalogue().AddItem(std::to_wstring(current), 200, StateProperties({std::to_wstring(0x60 | current)}));
        ASSERT_EQ(S_OK, Reset(L"", {2}, 6, rule.to));
        Words expected;
        for (ULONG current = 0; current < 16; ++current)
        {
            bool takes = false;
            for (ULONG state : rule.taking)
                takes |= state == current;
            expected.push_back(std::to_wstring(current) + L" 175=" + std::to_wstring(rule.to << 4 | (takes ? rule.to : current)));
        }
        EXPECT_EQ(expected, Writes()) << "to " << rule.to;
    }
}

TEST_F(ResetEngineStatesTest, JoinsEngineClausesAfterTheCategoryClause)
{
    ASSERT_EQ(S_OK, Reset(L"", {2}, 6));
    ASSERT_EQ(S_OK, Reset(LR"(( -2 = "200" ))", {2, 9, 17}, 6));
    const auto searches = m_db->Control().Calls(CdbMethod::Search);
    ASSERT_EQ(2u, searches.size());
    EXPECT_EQ(LR"(175 & "240" = "96")", searches[0].text);
    EXPECT_EQ(LR"(( -2 = "200" ) and ( ( 175 & "240" = "96" ) or (176 & "15" = "6") or (177 & "15" = "6") ))",
              searches[1].text);
}

TEST_F(ResetEngineStatesTest, FailuresLeaveTheDatabaseAlone)
{
    for (const wchar_t* id : {L"a", L"b", L"c"})
        m_db->Catalogue().AddItem(id, 300, StateProperties({L"98"}));

    EXPECT_EQ(E_POINTER, Reset(nullptr, {2}, 6));
    EXPECT_EQ(E_INVALIDARG, Reset(L"", {}, 6));
    EXPECT_EQ(0, m_db->Control().CallCount(CdbMethod::Search));
    m_db->Control().FailNext(CdbMethod::Search, E_FAIL);
    EXPECT_EQ(E_FAIL, Reset(L"", {2}, 6));
    EXPECT_TRUE(Writes().empty());

    // A failed write does not keep the others from being written.
    m_db->Control().FailCall(CdbMethod::SetValues, E_FAIL, 0, 1, L"b");
    EXPECT_EQ(S_OK, Reset(L"", {2}, 6));
    EXPECT_EQ((Words{L"a 175=170", L"b 175=170", L"c 175=170"}), Writes());
    EXPECT_EQ(L"98", m_db->Catalogue().Find(L"b")->properties.at(0xAF));
}
