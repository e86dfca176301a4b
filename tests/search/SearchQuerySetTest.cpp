#include <gtest/gtest.h>
#include <vector>
#include "search/SearchQuerySet.h"

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
        {"image", BuildCategoryClause(0x08), LR"(( -2 = "200" ))"},
        {"image and plain video", BuildCategoryClause(0x0C),
         LR"(( ( -2 = "200" ) or ( -2 = "300" and 159 exists false ) ))"},
        {"all video", BuildCategoryClause(0x07), LR"(( -2 = "300" ))"},
        {"analogue and digital video", BuildCategoryClause(0x03), LR"(( -2 = "300" and 159 exists true ))"},
        {"plain and analogue video",
         BuildCategoryClause(0x05),
         LR"(( ( -2 = "300" and 159 exists false ) or ( -2 = "300" and ( 209 exists false and 159 exists true and ( 159 = "1" or 159 = "3" or 159 = "5" or 159 = "7" or 159 = "8" or 159 = "9" ) ) ) ))"},
        {"marked audio", BuildCategoryClause(0x20), LR"(( -2 = "100" and 209 exists true ))"},
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
