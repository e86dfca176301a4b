// The query texts the system writes, and how the stand-in database reads them: every template,
// precedence, escapes and malformed texts.
#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>
#include "common/ComCall.h"
#include "contentdb/ContentConstants.h"
#include "contentdb/QueryText.h"
#include "standins/ContentDbCatalogue.h"
#include "standins/ContentDbQuery.h"

namespace
{
using Ids = std::vector<std::wstring>;

Ids Sorted(Ids ids)
{
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Items without property 175, for the "exists false" alternatives, and more.
Ids Without175(std::initializer_list<const wchar_t*> more = {})
{
    Ids ids{L"vpl", L"cnt", L"c62", L"c63", L"d10", L"d11", L"d12", L"cl5", L"cl7", L"fld"};
    ids.insert(ids.end(), more.begin(), more.end());
    return ids;
}

// A small catalogue in which every template below selects a different set.
class QueryTextTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_catalogue.AddItem(L"vdm", 300, {{500, L"C:\\Media\\clip.mpg"}, {209, L"m"}, {175, L"3"}});
        m_catalogue.AddItem(L"vdb", 300, {{159, L"6"}, {175, L"-2147483646"}});  // 0x80000002
        m_catalogue.AddItem(L"van", 300, {{159, L"3"}, {175, L"1"}});
        m_catalogue.AddItem(L"vpl", 300);
        m_catalogue.AddItem(L"vot", 300, {{159, L"12"}, {175, L"17"}});
        m_catalogue.AddItem(L"img", 200, {{175, L"5"}});
        m_catalogue.AddItem(L"aud", 100, {{209, L"m"}, {175, L"4294967295"}});  // written unsigned
        m_catalogue.AddItem(L"aux", 100, {{175, L"abc"}});
        m_catalogue.AddItem(L"cnt", 600, {{245, L"key\\1"}, {500, L"C:\\cont.lumf"}});
        m_catalogue.AddItem(L"c62", 620, {{245, L"key\\1"}});
        m_catalogue.AddItem(L"c63", 630, {{245, L"other"}});
        m_catalogue.AddItem(L"d10", 610, {{180, L"vpl"}});
        m_catalogue.AddItem(L"d11", 611, {{180, L"C:\\src\\a"}});
        m_catalogue.AddItem(L"d12", 612, {{180, L"vpl"}, {245, L"key\\1"}});
        m_catalogue.AddItem(L"cl5", 650, {{519, L"aud;d12;X1"}});
        m_catalogue.AddItem(L"cl7", 700, {{519, L"AX1;B"}});
        m_catalogue.AddItem(L"fld", 0, {{500, L"D:\\dir\\"}});
    }

    Ids Select(const wchar_t* text)
    {
        CContentDbQuery query;
        EXPECT_EQ(S_OK, query.Parse(text)) << "parse failed: " << std::wstring(text);
        Ids ids;
        for (const ContentDbItemPtr& item : m_catalogue.Select(query))
            ids.push_back(item->id);
        return Sorted(ids);
    }

    CContentDbCatalogue m_catalogue;
};

void ExpectTexts(const std::vector<std::pair<CString, const wchar_t*>>& cases)
{
    for (const auto& [actual, expected] : cases)
        EXPECT_STREQ(expected, actual.GetString());
}
}  // namespace

TEST_F(QueryTextTest, EveryTemplateReadsAsWrittenAndSelectsItsItems)
{
    const LONG kState = kPropAnalysisState0;
    const LONG kMin = static_cast<LONG>(0x80000000u);
    const struct
    {
        CString text;
        const wchar_t* expected;
        Ids selected;
    } cases[] = {
        {QueryValueEquals(kPropPath, L"C:\\Media\\clip.mpg"), LR"(500 = "C:\\Media\\clip.mpg")", {L"vdm"}},
        {QueryValueEquals(kPropPath, L"D:\\dir\\"), LR"(500 = "D:\\dir\\")", {L"fld"}},
        {QueryValueEquals(kPropItemId, L"c63"), LR"(-1 = "c63")", {L"c63"}},
        {QueryNumberEquals(kPropItemClass, kItemClassContainer), LR"(-2 = "600")", {L"cnt"}},
        {QueryNumberEquals(kPropItemId, kMin), LR"(-1 = "-2147483648")", {}},
        {QueryAnyClass(kItemClassCollection650, kItemClassCollection700), LR"(-2 = "650" or -2 = "700")",
         {L"cl5", L"cl7"}},
        {QueryAnyClass(kItemClassVideo, kItemClassImage, kItemClassAudio),
         LR"(-2 = "300" or -2 = "200" or -2 = "100")",
         {L"vdm", L"vdb", L"van", L"vpl", L"vot", L"img", L"aud", L"aux"}},
        {QueryAnyClass(kItemClassDerived610, kItemClassDerived611, kItemClassDerived612),
         LR"(-2 = "610" or -2 = "611" or -2 = "612")", {L"d10", L"d11", L"d12"}},
        {QueryClassAndValue(kItemClassContainer, kPropContainerKey, L"key\\1"), LR"(-2 = "600" and 245 = "key\\1")",
         {L"cnt"}},
        {QueryAnyClassAndValue(kItemClassDerived610, kItemClassDerived611, kItemClassDerived612, kPropDerivedFrom,
                               L"C:\\src\\a"),
         LR"(( -2 = "610" or -2 = "611" or -2 = "612" ) and 180 = "C:\\src\\a")", {L"d11"}},
        {QueryAnyClassAndValue(kItemClassContainer, kItemClassContainer620, kItemClassContainer630,
                               kPropContainerKey, L"key\\1"),
         LR"(( -2 = "600" or -2 = "620" or -2 = "630" ) and 245 = "key\\1")", {L"cnt", L"c62"}},
        {QueryAnyClassAndContains(650, 700, kPropMemberList, L"X1"),
         LR"((-2 = "650" or -2 = "700") and 519 contains "X1")", {L"cl5", L"cl7"}},
        {QueryAnyClassAndContains(650, 700, kPropMemberList, L"d12"),
         LR"((-2 = "650" or -2 = "700") and 519 contains "d12")", {L"cl5"}},
        {QueryAnyClassAndContains(650, 700, kPropMemberList, L"x1"),  // contains is exact
         LR"((-2 = "650" or -2 = "700") and 519 contains "x1")", {}},
        {QueryMaskEquals(kState, 15, 3), LR"(175 & "15" = "3")", {L"vdm"}},
        {QueryMaskEquals(kState, 15, 2), LR"(175 & "15" = "2")", {L"vdb"}},
        {QueryMaskEquals(kState, 15, 15), LR"(175 & "15" = "15")", {L"aud"}},
        {QueryMaskEquals(kState, kMin, kMin), LR"(175 & "-2147483648" = "-2147483648")", {L"vdb", L"aud"}},
        {QueryMissingOrMaskEquals(kState, 15, 1), LR"(175 exists false or 175 & "15" = "1")",
         Without175({L"van", L"vot"})},
        {QueryClassGroup(kItemClassImage), LR"(( -2 = "200" ))", {L"img"}},
        {QueryClassGroupWithProperty(kItemClassAudio, kPropMarker, true), LR"(( -2 = "100" and 209 exists true ))",
         {L"aud"}},
        {QueryClassGroupWithProperty(kItemClassAudio, kPropMarker, false), LR"(( -2 = "100" and 209 exists false ))",
         {L"aux"}},
        {QueryDigitalVideoGroup(),
         LR"(( -2 = "300" and ( 209 exists true or 159 exists true and ( 159 = "2" or 159 = "6" or 159 = "4" or 159 = "10" or 159 = "11" ) ) ))",
         {L"vdm", L"vdb"}},
        {QueryAnalogueVideoGroup(),
         LR"(( -2 = "300" and ( 209 exists false and 159 exists true and ( 159 = "1" or 159 = "3" or 159 = "5" or 159 = "7" or 159 = "8" or 159 = "9" ) ) ))",
         {L"van"}},
        {QueryMediaStateIs(5), LR"(( -2 = "300" or -2 = "200" or -2 = "100" ) and (175 & "15" = "5"))", {L"img"}},
        {QueryMediaStateMissingOr(1),
         LR"(( -2 = "300" or -2 = "200" or -2 = "100" ) and (175 exists false or 175 & "15" = "1"))",
         {L"van", L"vpl", L"vot"}},
        {QueryMediaStateIsEither(3, 15),
         LR"(( -2 = "300" or -2 = "200" or -2 = "100" ) and (175 & "15" = "3" or 175 & "15" = "15"))",
         {L"vdm", L"aud"}},
        {QueryStateIs(5), LR"(( 175 & "15" = "5" ))", {L"img"}},
        {QueryStateIsEither(2, 3), LR"(( 175 & "15" = "2" or 175 & "15" = "3" ))", {L"vdm", L"vdb"}},
        {QueryStateMissingOr(15), LR"(( 175 exists false or 175 & "15" = "15" ))", Without175({L"aud"})},
        {QueryStateMissingOrAny(1, 2, 3),
         LR"(( 175 exists false or 175 & "15" = "1" or 175 & "15" = "2" or 175 & "15" = "3" ))",
         Without175({L"van", L"vot", L"vdb", L"vdm"})},
        {ApplyClassFilter(kItemClassVideo, L"500 exists true"), LR"(-2 = "300" and 500 exists true)", {L"vdm"}},
        {AddCondition(JoinAlternatives({QueryClassGroup(200), QueryClassGroupWithProperty(100, kPropMarker, true)}),
                      QueryMaskEquals(kState, 15, 15)),
         LR"(( ( -2 = "200" ) or ( -2 = "100" and 209 exists true ) ) and ( 175 & "15" = "15" ))", {L"aud"}},
    };
    for (const auto& c : cases)
    {
        EXPECT_STREQ(c.expected, c.text.GetString());
        EXPECT_EQ(Sorted(c.selected), Select(c.text)) << std::wstring(c.expected);
    }
}

TEST(QueryText, EscapingDoublesBackslashesInEqualsValuesOnly)
{
    ExpectTexts({
        {QueryValueEquals(kPropPath, L"clip.mpg"), LR"(500 = "clip.mpg")"},
        {QueryValueEquals(kPropPath, L"\\\\srv\\s\\a"), LR"(500 = "\\\\srv\\s\\a")"},
        {QueryValueEquals(kPropPath, L"a\"b"), LR"(500 = "a"b")"},
        {QueryValueEquals(kPropPath, nullptr), LR"(500 = "")"},
        {QueryAnyClassAndContains(650, 700, 519, L"\\\\x\\"), LR"((-2 = "650" or -2 = "700") and 519 contains "\\x\")"},
        {EscapeQueryValue(L"\\a\\\\b"), L"\\\\a\\\\\\\\b"},
        {EscapeQueryValue(nullptr), L""},
    });
}

TEST(QueryText, Composition)
{
    ExpectTexts({
        {ApplyClassFilter(200, L"x"), LR"(-2 = "200" and x)"},
        {ApplyClassFilter(kAnyItemClass, L"a or b"), L"a or b"},
        {ApplyClassFilter(0, L"a"), LR"(-2 = "0" and a)"},
        {ApplyClassFilter(kAnyItemClass, nullptr), L""},
        {JoinAlternatives({QueryClassGroup(100), QueryClassGroup(200), QueryClassGroup(300)}),
         LR"(( ( -2 = "100" ) or ( -2 = "200" ) or ( -2 = "300" ) ))"},
        {JoinAlternatives({QueryClassGroup(200)}), LR"(( -2 = "200" ))"},
        {JoinAlternatives({}), L""},
        {JoinQueries(L"( -2 = \"200\" )", QueryStateIs(10)), LR"(( -2 = "200" ) and ( 175 & "15" = "10" ))"},
    });
}

TEST(QueryText, FormatQueryChecksItsArguments)
{
    EXPECT_STREQ(L"100% -5 x", FormatQuery(L"100%% %d %s", {-5, L"x"}));
    EXPECT_STREQ(L"no conversions", FormatQuery(L"no conversions", {}));
    const std::function<void()> bad[] = {
        [] { FormatQuery(L"%d", {L"text"}); }, [] { FormatQuery(L"%s", {5}); },
        [] { FormatQuery(L"%d %d", {5}); },     [] { FormatQuery(L"%d", {5, 6}); },
        [] { FormatQuery(L"%x", {5}); },        [] { FormatQuery(L"50%", {}); },
        [] { FormatQuery(nullptr, {}); },
    };
    for (size_t i = 0; i < std::size(bad); ++i)
        EXPECT_EQ(E_INVALIDARG, ComCall([&] { bad[i](); return S_OK; })) << "case " << i;
}

TEST(QueryText, HugeValuesAreInsertedWhole)
{
    // Well beyond any formatting buffer: the text must neither be cut nor refused.
    std::wstring value(3'000'000, L'a');
    value[1'500'000] = L'\\';
    const CString text = QueryValueEquals(kPropPath, value.c_str());
    ASSERT_EQ(static_cast<int>(value.size()) + 1 + 8, text.GetLength());
    EXPECT_EQ(7 + 1'500'000, text.Find(L"\\\\"));
    EXPECT_EQ(L'"', text[text.GetLength() - 1]);
}

// ---- The stand-in's reading ---------------------------------------------------------------------

TEST_F(QueryTextTest, AndBindsTighterThanOr)
{
    // Read with "or" first, each of these would select only vdm.
    EXPECT_EQ(Sorted({L"img", L"vdm"}), Select(L"-2 = \"200\" or -2 = \"300\" and 209 exists true"));
    EXPECT_EQ(Sorted({L"img", L"vdm"}), Select(L"-2 = \"300\" and 209 exists true or -2 = \"200\""));
    EXPECT_EQ(Ids{L"vdm"}, Select(L"(-2 = \"200\" or -2 = \"300\") and 209 exists true"));
    EXPECT_EQ(Sorted({L"aud", L"img", L"vdm"}),
              Select(L"-2 = \"200\" or -2 = \"300\" and 209 exists true or -2 = \"100\" and 209 exists true"));
}

TEST_F(QueryTextTest, BackslashesInsideQuotesAndDeepNesting)
{
    // A doubled backslash stands for one; any other backslash for itself.
    EXPECT_EQ(Ids{L"vdm"}, Select(L"500 = \"C:\\Media\\clip.mpg\""));
    EXPECT_EQ(Ids{L"vdm"}, Select(L"500 = \"C:\\\\Media\\clip.mpg\""));
    EXPECT_EQ(Ids{}, Select(L"500 = \"C:\\\\\\\\Media\\\\clip.mpg\""));
    EXPECT_EQ(Ids{L"d11"}, Select(L"180 contains \"\\src\""));
    // Nesting within the limit parses.
    const std::wstring deep = std::wstring(150, L'(') + L"-2 = \"200\"" + std::wstring(150, L')');
    EXPECT_EQ(Ids{L"img"}, Select(deep.c_str()));
}

TEST(ContentDbQuery, MalformedTextsFailWithTheSyntaxError)
{
    const std::wstring deep(100000, L'(');
    const wchar_t* texts[] = {
        L"", L"   ", L"-2", L"-2 =", L"-2 = 300", L"-2 = \"300", L"( -2 = \"300\"", L"-2 = \"300\" )",
        L"-2 = \"300\" and", L"or -2 = \"300\"", L"-2 = \"300\" -2 = \"200\"", L"-2 == \"300\"", L"-2 exists maybe",
        L"-2 exists", L"175 & \"x\" = \"1\"", L"175 & \"15\" \"1\"", L"175 & \"15\" = \"1.5\"",
        L"175 & \"99999999999\" = \"1\"", L"500 contains", L"500 contains 3", L"abc = \"1\"", L"\"300\" = -2",
        L"99999999999 = \"1\"", L"- = \"1\"", L"-2 = \"300\" # 1", L"()", L"-2 = \"300\" andor -2 = \"1\"",
        deep.c_str(), nullptr,
    };
    CContentDbItem item;
    item.id = L"x";
    item.itemClass = 300;
    for (const wchar_t* text : texts)
    {
        CContentDbQuery query;
        EXPECT_EQ(kHrCdbQuerySyntax, query.Parse(text)) << std::wstring(text ? text : L"(null)").substr(0, 40);
        EXPECT_FALSE(query.Matches(item));
    }

    // Where the text went wrong.
    CContentDbQuery query;
    size_t offset = 99;
    EXPECT_EQ(kHrCdbQuerySyntax, query.Parse(L"-2 = \"300\" and 500 exists perhaps", &offset));
    EXPECT_EQ(26u, offset);
    EXPECT_EQ(S_OK, query.Parse(L"-2 = \"300\"", &offset));
    EXPECT_EQ(0u, offset);
}
