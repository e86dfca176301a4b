#include <gtest/gtest.h>
#include <string>
#include "common/HResultException.h"
#include "contentdb/ContentConstants.h"
#include "contentdb/QueryText.h"

namespace
{
struct QueryCase
{
    const char* what;
    CString actual;
    const wchar_t* expected;
};

void ExpectTexts(const std::vector<QueryCase>& cases)
{
    for (const QueryCase& c : cases)
        EXPECT_STREQ(c.expected, c.actual.GetString()) << c.what;
}

}  // namespace

TEST(QueryText, ConditionTemplates)
{
    ExpectTexts({
        {"path equals", QueryValueEquals(kPropPath, L"C:\\Media\\clip.mpg"), LR"(500 = "C:\\Media\\clip.mpg")"},
        {"class equals", QueryNumberEquals(kPropItemClass, kItemClassContainer), LR"(-2 = "600")"},
        {"negative value", QueryNumberEquals(kPropItemId, -2147483647 - 1), LR"(-1 = "-2147483648")"},
        {"collections", QueryAnyClass(kItemClassCollection650, kItemClassCollection700),
         LR"(-2 = "650" or -2 = "700")"},
        {"media classes", QueryAnyClass(kItemClassVideo, kItemClassImage, kItemClassAudio),
         LR"(-2 = "300" or -2 = "200" or -2 = "100")"},
        {"derived classes", QueryAnyClass(kItemClassDerived610, kItemClassDerived611, kItemClassDerived612),
         LR"(-2 = "610" or -2 = "611" or -2 = "612")"},
        {"container by key", QueryClassAndValue(kItemClassContainer, kPropContainerKey, L"k\\1"),
         LR"(-2 = "600" and 245 = "k\\1")"},
        {"derived by source",
         QueryAnyClassAndValue(kItemClassDerived610, kItemClassDerived611, kItemClassDerived612, kPropDerivedFrom,
                               L"{id}\\x"),
         LR"(( -2 = "610" or -2 = "611" or -2 = "612" ) and 180 = "{id}\\x")"},
        {"containers by key",
         QueryAnyClassAndValue(kItemClassContainer, kItemClassContainer620, kItemClassContainer630,
                               kPropContainerKey, L"key"),
         LR"(( -2 = "600" or -2 = "620" or -2 = "630" ) and 245 = "key")"},
        {"collections holding", QueryAnyClassAndContains(kItemClassCollection650, kItemClassCollection700,
                                                          kPropMemberList, L"a\\b"),
         LR"((-2 = "650" or -2 = "700") and 519 contains "a\b")"},
        {"mask", QueryMaskEquals(kPropAnalysisState0, 240, 64), LR"(175 & "240" = "64")"},
        {"mask with bit 31", QueryMaskEquals(kPropAnalysisState0, static_cast<LONG>(0xF0000000u), 0x40000000),
         LR"(175 & "-268435456" = "1073741824")"},
        {"missing or mask", QueryMissingOrMaskEquals(kPropAnalysisState0, 3840, 0),
         LR"(175 exists false or 175 & "3840" = "0")"},
    });
}

TEST(QueryText, CategoryGroups)
{
    ExpectTexts({
        {"class group", QueryClassGroup(kItemClassAudio), LR"(( -2 = "100" ))"},
        {"with marker", QueryClassGroupWithProperty(kItemClassAudio, kPropMarker, true),
         LR"(( -2 = "100" and 209 exists true ))"},
        {"without marker", QueryClassGroupWithProperty(kItemClassAudio, kPropMarker, false),
         LR"(( -2 = "100" and 209 exists false ))"},
        {"digital video", QueryDigitalVideoGroup(),
         LR"(( -2 = "300" and ( 209 exists true or 159 exists true and ( 159 = "2" or 159 = "6" or 159 = "4" or 159 = "10" or 159 = "11" ) ) ))"},
        {"analogue video", QueryAnalogueVideoGroup(),
         LR"(( -2 = "300" and ( 209 exists false and 159 exists true and ( 159 = "1" or 159 = "3" or 159 = "5" or 159 = "7" or 159 = "8" or 159 = "9" ) ) ))"},
    });
}

TEST(QueryText, StateTemplates)
{
    ExpectTexts({
        {"all handed over", QueryMediaStateIsEither(3, 2),
         LR"(( -2 = "300" or -2 = "200" or -2 = "100" ) and (175 & "15" = "3" or 175 & "15" = "2"))"},
        {"all new", QueryMediaStateMissingOr(0),
         LR"(( -2 = "300" or -2 = "200" or -2 = "100" ) and (175 exists false or 175 & "15" = "0"))"},
        {"all in state", QueryMediaStateIs(7),
         LR"(( -2 = "300" or -2 = "200" or -2 = "100" ) and (175 & "15" = "7"))"},
        {"handed over", QueryStateIsEither(3, 2), LR"(( 175 & "15" = "3" or 175 & "15" = "2" ))"},
        {"pending", QueryStateMissingOrAny(0, 7, 1),
         LR"(( 175 exists false or 175 & "15" = "0" or 175 & "15" = "7" or 175 & "15" = "1" ))"},
        {"in state", QueryStateIs(10), LR"(( 175 & "15" = "10" ))"},
        {"new", QueryStateMissingOr(0), LR"(( 175 exists false or 175 & "15" = "0" ))"},
    });
}

TEST(QueryText, EscapingDoublesBackslashesInEqualsValuesOnly)
{
    ExpectTexts({
        {"no backslash", QueryValueEquals(kPropPath, L"clip.mpg"), LR"(500 = "clip.mpg")"},
        {"trailing backslash", QueryValueEquals(kPropPath, L"C:\\Media\\"), LR"(500 = "C:\\Media\\")"},
        {"share path", QueryValueEquals(kPropPath, L"\\\\srv\\s\\a"), LR"(500 = "\\\\srv\\s\\a")"},
        {"quote kept", QueryValueEquals(kPropPath, L"a\"b"), LR"(500 = "a"b")"},
        {"null value", QueryValueEquals(kPropPath, nullptr), LR"(500 = "")"},
        {"contains unescaped", QueryAnyClassAndContains(650, 700, 519, L"\\\\x\\"),
         LR"((-2 = "650" or -2 = "700") and 519 contains "\\x\")"},
        {"escape alone", EscapeQueryValue(L"\\a\\\\b"), L"\\\\a\\\\\\\\b"},
        {"escape null", EscapeQueryValue(nullptr), L""},
    });
}

TEST(QueryText, Composition)
{
    const CString path = QueryValueEquals(kPropPath, L"C:\\Media\\clip.mpg");
    ExpectTexts({
        {"class filter on a path", ApplyClassFilter(kItemClassVideo, path),
         LR"(-2 = "300" and 500 = "C:\\Media\\clip.mpg")"},
        {"class filter not parenthesised", ApplyClassFilter(300, L"500 exists true"),
         LR"(-2 = "300" and 500 exists true)"},
        {"class 200", ApplyClassFilter(200, L"x"), LR"(-2 = "200" and x)"},
        {"any class", ApplyClassFilter(kAnyItemClass, L"a or b"), L"a or b"},
        {"class 0 is a filter", ApplyClassFilter(0, L"a"), LR"(-2 = "0" and a)"},
        {"any class, null text", ApplyClassFilter(kAnyItemClass, nullptr), L""},
        {"two alternatives", JoinAlternatives({QueryClassGroup(100), QueryClassGroup(200)}),
         LR"(( ( -2 = "100" ) or ( -2 = "200" ) ))"},
        {"three alternatives",
         JoinAlternatives({QueryClassGroup(100), QueryClassGroup(200), QueryClassGroup(300)}),
         LR"(( ( -2 = "100" ) or ( -2 = "200" ) or ( -2 = "300" ) ))"},
        {"image and plain video",
         JoinAlternatives({QueryClassGroup(200), QueryClassGroupWithProperty(300, kPropBroadcastType, false)}),
         LR"(( ( -2 = "200" ) or ( -2 = "300" and 159 exists false ) ))"},
        {"one alternative", JoinAlternatives({QueryClassGroup(200)}), LR"(( -2 = "200" ))"},
        {"no alternative", JoinAlternatives({}), L""},
        {"added condition", AddCondition(L"( -2 = \"200\" )", L"175 & \"240\" = \"64\""),
         LR"(( -2 = "200" ) and ( 175 & "240" = "64" ))"},
        {"joined texts", JoinQueries(L"( -2 = \"200\" )", QueryStateIs(10)),
         LR"(( -2 = "200" ) and ( 175 & "15" = "10" ))"},
    });
}

TEST(QueryText, FormatQueryChecksItsArguments)
{
    EXPECT_STREQ(L"100% -5 x", FormatQuery(L"100%% %d %s", {-5, L"x"}));
    EXPECT_STREQ(L"no conversions", FormatQuery(L"no conversions", {}));
    const auto hrOf = [](auto&& body) {
        try
        {
            body();
        }
        catch (const CHResultException& e)
        {
            return e.Error();
        }
        return S_OK;
    };
    EXPECT_EQ(E_INVALIDARG, hrOf([] { FormatQuery(L"%d", {L"text"}); }));
    EXPECT_EQ(E_INVALIDARG, hrOf([] { FormatQuery(L"%s", {5}); }));
    EXPECT_EQ(E_INVALIDARG, hrOf([] { FormatQuery(L"%d %d", {5}); }));
    EXPECT_EQ(E_INVALIDARG, hrOf([] { FormatQuery(L"%d", {5, 6}); }));
    EXPECT_EQ(E_INVALIDARG, hrOf([] { FormatQuery(L"%x", {5}); }));
    EXPECT_EQ(E_INVALIDARG, hrOf([] { FormatQuery(L"50%", {}); }));
    EXPECT_EQ(E_INVALIDARG, hrOf([] { FormatQuery(nullptr, {}); }));
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
