#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>
#include "search/SearchQuerySet.h"
#include "standins/ContentDbCatalogue.h"
#include "standins/ContentDbQuery.h"

namespace
{
struct TextCase
{
    const char* what;
    CString actual;
    const wchar_t* expected;
};

void ExpectTexts(const std::vector<TextCase>& cases)
{
    for (const TextCase& c : cases)
        EXPECT_STREQ(c.expected, c.actual.GetString()) << c.what;
}

}  // namespace

TEST(SearchQuerySet, CategoryClauseTexts)
{
    ExpectTexts({
        {"all", BuildCategoryClause(0xFFFF), LR"(( ( -2 = "100" ) or ( -2 = "200" ) or ( -2 = "300" ) ))"},
        {"none", BuildCategoryClause(0), L""},
        {"only bits above 0x3F", BuildCategoryClause(0xFFC0), L""},
        {"image", BuildCategoryClause(0x08), LR"(( -2 = "200" ))"},
        {"image and plain video", BuildCategoryClause(0x0C),
         LR"(( ( -2 = "200" ) or ( -2 = "300" and 159 exists false ) ))"},
        {"all video", BuildCategoryClause(0x07), LR"(( -2 = "300" ))"},
        {"analogue and digital video", BuildCategoryClause(0x03), LR"(( -2 = "300" and 159 exists true ))"},
        {"marked audio", BuildCategoryClause(0x20), LR"(( -2 = "100" and 209 exists true ))"},
        {"unmarked audio", BuildCategoryClause(0x10), LR"(( -2 = "100" and 209 exists false ))"},
        {"analogue video",
         BuildCategoryClause(0x01),
         LR"(( -2 = "300" and ( 209 exists false and 159 exists true and ( 159 = "1" or 159 = "3" or 159 = "5" or 159 = "7" or 159 = "8" or 159 = "9" ) ) ))"},
        {"digital video",
         BuildCategoryClause(0x02),
         LR"(( -2 = "300" and ( 209 exists true or 159 exists true and ( 159 = "2" or 159 = "6" or 159 = "4" or 159 = "10" or 159 = "11" ) ) ))"},
        {"unmarked audio, image, analogue video",
         BuildCategoryClause(0x19),
         LR"(( ( -2 = "100" and 209 exists false ) or ( -2 = "200" ) or ( -2 = "300" and ( 209 exists false and 159 exists true and ( 159 = "1" or 159 = "3" or 159 = "5" or 159 = "7" or 159 = "8" or 159 = "9" ) ) ) ))"},
        {"prefix", BuildCategoryPrefix(0x08), LR"(( -2 = "200" ) and )"},
        {"empty prefix", BuildCategoryPrefix(0x40), L""},
    });
}

TEST(SearchQuerySet, EngineStateClauseTexts)
{
    ExpectTexts({
        {"index 2", BuildEngineStateClause(2, 4), LR"(175 & "240" = "64")"},
        {"index 9", BuildEngineStateClause(9, 6), LR"(176 & "15" = "6")"},
        {"index 8, bit 31", BuildEngineStateClause(8, 4), LR"(175 & "-268435456" = "1073741824")"},
        {"index 32", BuildEngineStateClause(32, 10), LR"(178 & "-268435456" = "-1610612736")"},
        {"value 0 matches missing", BuildEngineStateClause(3, 0), LR"(175 exists false or 175 & "3840" = "0")"},
        {"value above 15", BuildEngineStateClause(2, 0x1A), LR"(175 & "240" = "160")"},
        {"index above 32", BuildEngineStateClause(40, 4), LR"(175 & "15" = "4")"},
        {"index 0", BuildEngineStateClause(0, 4), LR"(175 & "15" = "4")"},
    });
}

TEST(SearchQuerySet, FixedQueryTexts)
{
    ExpectTexts({
        {"all handed over", QueryAllHandedOver(),
         LR"(( -2 = "300" or -2 = "200" or -2 = "100" ) and (175 & "15" = "3" or 175 & "15" = "2"))"},
        {"all new", QueryAllNew(),
         LR"(( -2 = "300" or -2 = "200" or -2 = "100" ) and (175 exists false or 175 & "15" = "0"))"},
        {"all in state 10", QueryAllInState(10),
         LR"(( -2 = "300" or -2 = "200" or -2 = "100" ) and (175 & "15" = "10"))"},
        {"handed over", QueryHandedOver(), LR"(( 175 & "15" = "3" or 175 & "15" = "2" ))"},
        {"pending", QueryPending(),
         LR"(( 175 exists false or 175 & "15" = "0" or 175 & "15" = "7" or 175 & "15" = "1" ))"},
        {"in state 5", QueryInState(5), LR"(( 175 & "15" = "5" ))"},
        {"new", QueryNew(), LR"(( 175 exists false or 175 & "15" = "0" ))"},
        {"new or state 10", QueryNewOrInState(10), LR"(( 175 exists false or 175 & "15" = "10" ))"},
    });
}

// What the texts select, evaluated by the stand-in database's query language.
namespace
{
using Ids = std::vector<std::wstring>;

class SearchQuerySelection : public ::testing::Test
{
protected:
    Ids Select(const CString& text)
    {
        CContentDbQuery query;
        EXPECT_EQ(S_OK, query.Parse(text)) << "cannot parse: " << std::wstring(text.GetString());
        Ids ids;
        for (const ContentDbItemPtr& item : m_catalogue.Select(query))
            ids.push_back(item->id);
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    struct SelectionCase
    {
        const char* what;
        CString text;
        Ids expected;  // sorted
    };

    void ExpectSelections(const std::vector<SelectionCase>& cases)
    {
        for (const SelectionCase& c : cases)
            EXPECT_EQ(c.expected, Select(c.text)) << c.what << ": " << std::wstring(c.text.GetString());
    }

    CContentDbCatalogue m_catalogue;
};

}  // namespace

TEST_F(SearchQuerySelection, CategoryClauseSelectsTheKindsOfItsMask)
{
    m_catalogue.AddItem(L"audio", 100);
    m_catalogue.AddItem(L"audioMarked", 100, {{209, L"m"}});
    m_catalogue.AddItem(L"image", 200);
    m_catalogue.AddItem(L"videoPlain", 300);
    m_catalogue.AddItem(L"videoAnalogue", 300, {{159, L"3"}});
    m_catalogue.AddItem(L"videoDigital", 300, {{159, L"6"}});
    m_catalogue.AddItem(L"videoMarked", 300, {{209, L"m"}});
    m_catalogue.AddItem(L"videoOtherType", 300, {{159, L"12"}});
    m_catalogue.AddItem(L"container", 600, {{159, L"3"}, {209, L"m"}});

    // A marked video without a broadcast type has the plain kind's test in common with the
    // digital kind: both clauses select it, and the search pass sorts it by its category.
    ExpectSelections({
        {"unmarked audio", BuildCategoryClause(0x10), {L"audio"}},
        {"marked audio", BuildCategoryClause(0x20), {L"audioMarked"}},
        {"all audio", BuildCategoryClause(0x30), {L"audio", L"audioMarked"}},
        {"image", BuildCategoryClause(0x08), {L"image"}},
        {"analogue", BuildCategoryClause(0x01), {L"videoAnalogue"}},
        {"digital", BuildCategoryClause(0x02), {L"videoDigital", L"videoMarked"}},
        {"plain", BuildCategoryClause(0x04), {L"videoMarked", L"videoPlain"}},
        {"analogue and digital", BuildCategoryClause(0x03), {L"videoAnalogue", L"videoDigital", L"videoOtherType"}},
        {"analogue and plain", BuildCategoryClause(0x05), {L"videoAnalogue", L"videoMarked", L"videoPlain"}},
        {"digital and plain", BuildCategoryClause(0x06), {L"videoDigital", L"videoMarked", L"videoPlain"}},
        {"image and plain", BuildCategoryClause(0x0C), {L"image", L"videoMarked", L"videoPlain"}},
        {"all",
         BuildCategoryClause(0xFFFF),
         {L"audio", L"audioMarked", L"image", L"videoAnalogue", L"videoDigital", L"videoMarked", L"videoOtherType",
          L"videoPlain"}},
    });
}

TEST_F(SearchQuerySelection, StateQueriesSelectByTheirStateField)
{
    m_catalogue.AddItem(L"audioNew", 100);
    m_catalogue.AddItem(L"audio0", 100, {{175, L"0"}});
    m_catalogue.AddItem(L"image2", 200, {{175, L"2"}});
    m_catalogue.AddItem(L"video3", 300, {{175, L"67"}});  // 0x43: engine 2 at 4, overall 3
    m_catalogue.AddItem(L"video5", 300, {{175, L"5"}});
    m_catalogue.AddItem(L"image7", 200, {{175, L"7"}});
    m_catalogue.AddItem(L"audio1", 100, {{175, L"1"}});
    m_catalogue.AddItem(L"image10", 200, {{175, L"1073741834"}});  // 0x4000000A: engine 8 at 4
    m_catalogue.AddItem(L"video176", 300, {{175, L"0"}, {176, L"6"}});
    m_catalogue.AddItem(L"container3", 600, {{175, L"3"}});

    ExpectSelections({
        {"all handed over", QueryAllHandedOver(), {L"image2", L"video3"}},
        {"all new", QueryAllNew(), {L"audio0", L"audioNew", L"video176"}},
        {"all in state 10", QueryAllInState(10), {L"image10"}},
        {"handed over", QueryHandedOver(), {L"container3", L"image2", L"video3"}},
        {"pending", QueryPending(), {L"audio0", L"audio1", L"audioNew", L"image7", L"video176"}},
        {"state 5", QueryInState(5), {L"video5"}},
        {"new or state 10", QueryNewOrInState(10), {L"audioNew", L"image10"}},
        {"image prefix, handed over", BuildCategoryPrefix(0x08) + QueryHandedOver(), {L"image2"}},
        {"engine 2 at 4", BuildEngineStateClause(2, 4), {L"video3"}},
        {"engine 8 at 4", BuildEngineStateClause(8, 4), {L"image10"}},
        {"engine 9 at 6", BuildEngineStateClause(9, 6), {L"video176"}},
        {"engine 2 at 0",
         BuildEngineStateClause(2, 0),
         {L"audio0", L"audio1", L"audioNew", L"container3", L"image10", L"image2", L"image7", L"video176", L"video5"}},
    });
}
