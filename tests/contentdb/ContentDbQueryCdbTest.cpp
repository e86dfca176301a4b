// The stand-in database's query language: every template the system writes, precedence, escapes
// and malformed texts.
#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>
#include "common/String.h"
#include "standins/ContentDbCatalogue.h"
#include "standins/ContentDbQuery.h"

namespace
{
using Ids = std::vector<std::wstring>;

// A small catalogue in which every template below selects a different set.
class ContentDbQueryTest : public ::testing::Test
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
        const HRESULT hr = query.Parse(text);
        EXPECT_EQ(S_OK, hr) << "parse failed: " << std::wstring(text);
        Ids ids;
        for (const ContentDbItemPtr& item : m_catalogue.Select(query))
            ids.push_back(item->id);
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    static Ids Sorted(Ids ids)
    {
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    // Items without property 175, for the "exists false" alternatives.
    static Ids Without175() { return {L"vpl", L"cnt", L"c62", L"c63", L"d10", L"d11", L"d12", L"cl5", L"cl7", L"fld"}; }
    static Ids Plus(Ids ids, std::initializer_list<const wchar_t*> more)
    {
        for (const wchar_t* id : more)
            ids.push_back(id);
        return ids;
    }

    CContentDbCatalogue m_catalogue;
};

CString Fill(const wchar_t* format, ...)
{
    CString text;
    va_list args;
    va_start(args, format);
    text.FormatV(format, args);
    va_end(args);
    return text;
}

struct TemplateCase
{
    const char* name;
    CString text;
    Ids expected;
};
}  // namespace

TEST_F(ContentDbQueryTest, EveryTemplateSelectsItsItems)
{
    const TemplateCase cases[] = {
        {"class filter", Fill(L"%d = \"%d\" and %s", -2, 300, L"500 exists true"), {L"vdm"}},
        {"path, escaped", Fill(L"%d = \"%s\"", 500, L"C:\\\\Media\\\\clip.mpg"), {L"vdm"}},
        {"path with trailing backslash", Fill(L"%d = \"%s\"", 500, L"D:\\\\dir\\\\"), {L"fld"}},
        {"one class", Fill(L"%d = \"%d\"", -2, 600), {L"cnt"}},
        {"collections", Fill(L"%d = \"%d\" or %d = \"%d\"", -2, 650, -2, 700), {L"cl5", L"cl7"}},
        {"media classes", Fill(L"%d = \"%d\" or %d = \"%d\" or %d = \"%d\"", -2, 300, -2, 200, -2, 100),
         {L"vdm", L"vdb", L"van", L"vpl", L"vot", L"img", L"aud", L"aux"}},
        {"derived classes", Fill(L"%d = \"%d\" or %d = \"%d\" or %d = \"%d\"", -2, 610, -2, 611, -2, 612),
         {L"d10", L"d11", L"d12"}},
        {"container classes", Fill(L"%d = \"%d\" or %d = \"%d\" or %d = \"%d\"", -2, 600, -2, 620, -2, 630),
         {L"cnt", L"c62", L"c63"}},
        {"container by key", Fill(L"%d = \"%d\" and %d = \"%s\"", -2, 600, 245, L"key\\\\1"), {L"cnt"}},
        {"derived of a source",
         Fill(L"( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) and %d = \"%s\"", -2, 610, -2, 611, -2, 612, 180, L"vpl"),
         {L"d10", L"d12"}},
        {"derived of a source path",
         Fill(L"( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) and %d = \"%s\"", -2, 610, -2, 611, -2, 612, 180,
              L"C:\\\\src\\\\a"),
         {L"d11"}},
        {"containers by key",
         Fill(L"( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) and %d = \"%s\"", -2, 600, -2, 620, -2, 630, 245,
              L"key\\\\1"),
         {L"cnt", L"c62"}},
        {"collections containing",
         Fill(L"(%d = \"%d\" or %d = \"%d\") and %d contains \"%s\"", -2, 650, -2, 700, 519, L"X1"), {L"cl5", L"cl7"}},
        {"collections containing an id",
         Fill(L"(%d = \"%d\" or %d = \"%d\") and %d contains \"%s\"", -2, 650, -2, 700, 519, L"d12"), {L"cl5"}},
        {"contains is exact", Fill(L"(%d = \"%d\" or %d = \"%d\") and %d contains \"%s\"", -2, 650, -2, 700, 519, L"x1"),
         {}},
        {"mask", Fill(L"%d & \"%d\" = \"%d\"", 175, 15, 3), {L"vdm"}},
        {"mask of a negative word", Fill(L"%d & \"%d\" = \"%d\"", 175, 15, 2), {L"vdb"}},
        {"mask of an unsigned word", Fill(L"%d & \"%d\" = \"%d\"", 175, 15, 15), {L"aud"}},
        {"negative mask and value", Fill(L"%d & \"%d\" = \"%d\"", 175, static_cast<int>(0x80000000u), static_cast<int>(0x80000000u)),
         {L"vdb", L"aud"}},
        {"missing or mask", Fill(L"%d exists false or %d & \"%d\" = \"%d\"", 175, 175, 15, 1),
         Plus(Without175(), {L"van", L"vot"})},
        {"class group", Fill(L"( %d = \"%d\" )", -2, 200), {L"img"}},
        {"class group with property", Fill(L"( %d = \"%d\" and %d exists true )", -2, 100, 209), {L"aud"}},
        {"class group without property", Fill(L"( %d = \"%d\" and %d exists false )", -2, 100, 209), {L"aux"}},
        {"digital video",
         Fill(L"( %d = \"%d\" and ( %d exists true or %d exists true and ( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" or "
              L"%d = \"%d\" or %d = \"%d\" ) ) )",
              -2, 300, 209, 159, 159, 2, 159, 6, 159, 4, 159, 10, 159, 11),
         {L"vdm", L"vdb"}},
        {"analogue video",
         Fill(L"( %d = \"%d\" and ( %d exists false and %d exists true and ( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" or "
              L"%d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) ) )",
              -2, 300, 209, 159, 159, 1, 159, 3, 159, 5, 159, 7, 159, 8, 159, 9),
         {L"van"}},
        {"media with state",
         Fill(L"( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) and (%d & \"15\" = \"%d\")", -2, 300, -2, 200, -2, 100, 175, 5),
         {L"img"}},
        {"media without state or with state",
         Fill(L"( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) and (%d exists false or %d & \"15\" = \"%d\")", -2, 300, -2,
              200, -2, 100, 175, 175, 1),
         {L"van", L"vpl", L"vot"}},
        {"media with one of two states",
         Fill(L"( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) and (%d & \"15\" = \"%d\" or %d & \"15\" = \"%d\")", -2, 300,
              -2, 200, -2, 100, 175, 3, 175, 15),
         {L"vdm", L"aud"}},
        {"state group", Fill(L"( %d & \"15\" = \"%d\" )", 175, 5), {L"img"}},
        {"two states group", Fill(L"( %d & \"15\" = \"%d\" or %d & \"15\" = \"%d\" )", 175, 2, 175, 3), {L"vdm", L"vdb"}},
        {"missing or state group", Fill(L"( %d exists false or %d & \"15\" = \"%d\" )", 175, 175, 15),
         Plus(Without175(), {L"aud"})},
        {"missing or three states group",
         Fill(L"( %d exists false or %d & \"15\" = \"%d\" or %d & \"15\" = \"%d\" or %d & \"15\" = \"%d\" )", 175, 175, 1,
              175, 2, 175, 3),
         Plus(Without175(), {L"van", L"vot", L"vdb", L"vdm"})},
        {"worked example", CString(L"-2 = \"300\" and 500 = \"C:\\\\Media\\\\clip.mpg\""), {L"vdm"}},
        {"joined alternatives with a further condition",
         CString(L"( ( -2 = \"200\" ) or ( -2 = \"100\" and 209 exists true ) ) and ( 175 & \"15\" = \"15\" )"), {L"aud"}},
        {"id pseudo-property", CString(L"-1 = \"c63\""), {L"c63"}},
    };
    for (const TemplateCase& c : cases)
        EXPECT_EQ(Sorted(c.expected), Select(c.text)) << c.name << ": " << std::wstring(c.text.GetString());
}

TEST_F(ContentDbQueryTest, AndBindsTighterThanOr)
{
    // Read with "or" first, each of these would select only vdm.
    EXPECT_EQ(Sorted({L"img", L"vdm"}), Select(L"-2 = \"200\" or -2 = \"300\" and 209 exists true"));
    EXPECT_EQ(Sorted({L"img", L"vdm"}), Select(L"-2 = \"300\" and 209 exists true or -2 = \"200\""));
    EXPECT_EQ(Ids{L"vdm"}, Select(L"( -2 = \"200\" or -2 = \"300\" ) and 209 exists true"));
    EXPECT_EQ(Ids{L"vdm"}, Select(L"(-2 = \"200\" or -2 = \"300\") and 209 exists true"));
    EXPECT_EQ(Sorted({L"aud", L"img", L"vdm"}),
              Select(L"-2 = \"200\" or -2 = \"300\" and 209 exists true or -2 = \"100\" and 209 exists true"));
}

TEST_F(ContentDbQueryTest, BackslashesInsideQuotes)
{
    // A doubled backslash stands for one; any other backslash for itself.
    EXPECT_EQ(Ids{L"vdm"}, Select(L"500 = \"C:\\Media\\clip.mpg\""));
    EXPECT_EQ(Ids{L"vdm"}, Select(L"500 = \"C:\\\\Media\\clip.mpg\""));
    EXPECT_EQ(Ids{}, Select(L"500 = \"C:\\\\\\\\Media\\\\clip.mpg\""));
    EXPECT_EQ(Ids{L"d11"}, Select(L"180 contains \"\\src\""));
}

TEST_F(ContentDbQueryTest, DeepNestingWithinTheLimitParses)
{
    std::wstring text;
    for (int i = 0; i < 150; ++i)
        text += L"( ";
    text += L"-2 = \"200\"";
    for (int i = 0; i < 150; ++i)
        text += L" )";
    EXPECT_EQ(Ids{L"img"}, Select(text.c_str()));
}

TEST(ContentDbQuery, MalformedTextsFailWithTheSyntaxError)
{
    const std::wstring deep(100000, L'(');
    const wchar_t* texts[] = {
        L"",
        L"   ",
        L"-2",
        L"-2 =",
        L"-2 = 300",
        L"-2 = \"300",
        L"( -2 = \"300\"",
        L"-2 = \"300\" )",
        L"-2 = \"300\" and",
        L"or -2 = \"300\"",
        L"-2 = \"300\" -2 = \"200\"",
        L"-2 == \"300\"",
        L"-2 exists maybe",
        L"-2 exists",
        L"175 & \"x\" = \"1\"",
        L"175 & \"15\" \"1\"",
        L"175 & \"15\" = \"1.5\"",
        L"175 & \"99999999999\" = \"1\"",
        L"500 contains",
        L"500 contains 3",
        L"abc = \"1\"",
        L"\"300\" = -2",
        L"99999999999 = \"1\"",
        L"- = \"1\"",
        L"-2 = \"300\" # 1",
        L"()",
        L"-2 = \"300\" andor -2 = \"1\"",
        deep.c_str(),
    };
    for (const wchar_t* text : texts)
    {
        CContentDbQuery query;
        EXPECT_EQ(kHrCdbQuerySyntax, query.Parse(text)) << std::wstring(text).substr(0, 40);
        CContentDbItem item;
        item.id = L"x";
        item.itemClass = 300;
        EXPECT_FALSE(query.Matches(item));
    }
    CContentDbQuery query;
    EXPECT_EQ(kHrCdbQuerySyntax, query.Parse(nullptr));
}

TEST(ContentDbQuery, ReportsWhereTheTextWentWrong)
{
    CContentDbQuery query;
    size_t offset = 99;
    EXPECT_EQ(kHrCdbQuerySyntax, query.Parse(L"-2 = \"300\" and 500 exists perhaps", &offset));
    EXPECT_EQ(26u, offset);
    EXPECT_EQ(S_OK, query.Parse(L"-2 = \"300\"", &offset));
    EXPECT_EQ(0u, offset);
}
