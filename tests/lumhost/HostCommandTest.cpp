#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "tools/lumhost/EngineOption.h"
#include "tools/lumhost/HostCommand.h"
#include "tools/lumhost/LineEditor.h"
#include "tools/lumhost/ProgressLine.h"

namespace
{
std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

TEST(HostCommand, GoodLinesGiveTheKindAndTheStartFlags)
{
    using Kind = CHostCommand::Kind;
    const struct
    {
        const wchar_t* line;
        Kind kind;
        ULONG startFlags;  // Search only
    } cases[] = {
        {L"   \t", Kind::None, 0},
        {L"search full", Kind::Search, 0x00010000},
        {L"  SEARCH cleanup  ", Kind::Search, 0x00020000},
        {L"search check:0x08", Kind::Search, 0x00030008},
        {L"search category:image+audio:0x40", Kind::Search, 0x40040018},
        {L"search update-major:all", Kind::Search, 0x0005FFFF},
        {L"search update:video+analogue", Kind::Search, 0x00060005},
        {L"search 9", Kind::Search, 0x00090000},  // no mode: the plug-in answers for it
        {L"pause", Kind::Pause, 0},
        {L"Resume", Kind::Resume, 0},
        {L"stop", Kind::Stop, 0},
        {L"status", Kind::Status, 0},
        {L"help", Kind::Help, 0},
        {L"quit", Kind::Quit, 0},
    };
    for (const auto& c : cases)
    {
        const CHostCommand command = ParseHostCommand(c.line);
        ASSERT_EQ(c.kind, command.kind) << Narrow(c.line) << ": " << Narrow(command.error);
        EXPECT_EQ(c.startFlags, command.kind == Kind::Search ? command.request.StartFlags() : 0) << Narrow(c.line);
    }

    const CHostCommand version = ParseHostCommand(L"version PictureFaces 2.1");
    ASSERT_EQ(Kind::Version, version.kind);
    EXPECT_EQ(L"PictureFaces", version.engine);
    EXPECT_EQ(0x00020001u, version.version);
    const CHostCommand vanish = ParseHostCommand(L"vanish  old  song.mp3 ");
    ASSERT_EQ(Kind::Vanish, vanish.kind);
    EXPECT_EQ(L"old  song.mp3", vanish.path);  // blanks inside a name are the name's
    const CHostCommand why = ParseHostCommand(L"WHY recording.mp4");
    ASSERT_EQ(Kind::Why, why.kind);
    EXPECT_EQ(L"recording.mp4", why.path);
    const CHostCommand trace = ParseHostCommand(L"trace 3");
    ASSERT_EQ(Kind::Trace, trace.kind);
    EXPECT_EQ(3u, trace.level);
}

TEST(HostCommand, BadLinesAreInvalidWithAMessageThatNamesTheProblem)
{
    const struct { const wchar_t* line; const wchar_t* messagePart; } cases[] = {
        {L"serch full", L"unknown command \"serch\""},
        {L"search", L"search wants one"},
        {L"search full now", L"search wants one"},
        {L"search everything", L"unknown search mode \"everything\""},
        {L"search 256", L"unknown search mode \"256\""},
        {L"search category:0x10000", L"bad category mask \"0x10000\""},
        {L"search category:image+", L"bad category mask"},
        {L"search category:0x08:0x100", L"bad queue flags \"0x100\""},
        {L"pause now", L"takes nothing after it"},
        {L"version PictureFaces", L"version wants an engine and a version"},
        {L"version PictureFaces 2.x", L"bad version \"2.x\""},
        {L"vanish", L"vanish wants a file"},
        {L"why", L"why wants a file"},
        {L"trace", L"trace wants a level"},
        {L"trace 4", L"trace wants a level"},
        {L"trace 2 now", L"trace wants a level"},
    };
    for (const auto& c : cases)
    {
        const CHostCommand command = ParseHostCommand(c.line);
        EXPECT_EQ(CHostCommand::Kind::Invalid, command.kind) << Narrow(c.line);
        EXPECT_NE(std::wstring::npos, command.error.find(c.messagePart)) << Narrow(command.error);
    }
}

TEST(EngineOption, TakesNameMaskVersionAndUncreatable)
{
    CEngineOption option;
    std::wstring error;
    ASSERT_TRUE(ParseEngineOption(L"Faces:0x08:2.1", option, error)) << Narrow(error);
    EXPECT_EQ(L"Faces", option.moduleId);
    EXPECT_EQ(0x08u, option.categoryMask);
    EXPECT_EQ(0x00020001u, option.version);
    EXPECT_TRUE(option.creatable);

    ASSERT_TRUE(ParseEngineOption(L"Gone:48:uncreatable", option, error)) << Narrow(error);
    EXPECT_EQ(0x30u, option.categoryMask);
    EXPECT_EQ(0u, option.version);
    EXPECT_FALSE(option.creatable);

    for (const wchar_t* bad : {L"Faces", L"Faces:0", L"Faces:0x40", L"Fa ces:0x08", L"Faces:0x08:2.1:maybe",
                               L"Faces:0x08:1.70000", L"Faces:0x08:1.0:uncreatable:x"})
        EXPECT_FALSE(ParseEngineOption(bad, option, error)) << Narrow(bad);
}

TEST(ProgressLine, ShowsEveryKindOfWordAndPrintsOnlyChanges)
{
    EXPECT_EQ(L"queued", CProgressLine::Describe(0x20000000));
    EXPECT_EQ(L"running", CProgressLine::Describe(0));
    EXPECT_EQ(L"done", CProgressLine::Describe(0x40000000));
    EXPECT_EQ(L"failed", CProgressLine::Describe(0x80000000));
    EXPECT_EQ(L"[#...................]   5%", CProgressLine::Describe(5));
    EXPECT_EQ(L"[###################.]  99%", CProgressLine::Describe(99));
    EXPECT_EQ(L"progress word 0x00000064", CProgressLine::Describe(100));

    CProgressLine line;
    std::wstring text;
    EXPECT_TRUE(line.Update(0, text));
    EXPECT_FALSE(line.Update(0, text));  // the event signalled again, the word the same
    EXPECT_TRUE(line.Update(40, text));
    EXPECT_EQ(L"[########............]  40%", text);
    line.Reset();
    EXPECT_TRUE(line.Update(40, text));
}

TEST(LineEditor, KeysBuildTheLineThatEnterCompletes)
{
    // Key presses as a console reports them: virtual key, character, repeat count.
    struct Press
    {
        WORD key;
        wchar_t c;
        WORD repeat;
    };
    const struct
    {
        std::vector<Press> presses;
        std::wstring text;                    // being typed afterwards
        std::vector<std::wstring> completed;  // by Enter, in order
    } cases[] = {
        {{{'S', L's', 1}, {'T', L't', 1}, {VK_RETURN, L'\r', 1}}, L"", {L"st"}},
        {{{'A', L'a', 3}, {VK_BACK, L'\b', 2}}, L"a", {}},
        {{{'A', L'a', 1}, {0, 0x7F, 1}, {0, 0x7F, 1}}, L"", {}},  // DEL from a terminal; one too many
        {{{'A', L'a', 1}, {VK_ESCAPE, 0x1B, 1}, {'B', L'b', 1}}, L"b", {}},
        {{{VK_SHIFT, 0, 1}, {VK_LEFT, 0, 1}, {'X', L'X', 1}, {VK_TAB, L'\t', 1}}, L"X ", {}},
        {{{0, 0xD83C, 1}, {0, 0xDFB5, 1}, {VK_BACK, L'\b', 1}}, L"", {}},  // a pair goes whole
        {{{VK_RETURN, L'\r', 2}, {'Q', L'q', 1}, {0, L'\n', 1}}, L"", {L"", L"", L"q"}},
    };
    for (const auto& c : cases)
    {
        CLineEditor editor;
        std::vector<std::wstring> completed;
        for (const Press& press : c.presses)
        {
            KEY_EVENT_RECORD key = {};
            key.bKeyDown = TRUE;
            key.wVirtualKeyCode = press.key;
            key.uChar.UnicodeChar = press.c;
            for (WORD i = 0; i < press.repeat; ++i)
            {
                std::wstring line;
                if (editor.Key(key, line) == CLineEditor::Result::Completed)
                    completed.push_back(line);
            }
            key.bKeyDown = FALSE;  // releases change nothing
            std::wstring line;
            EXPECT_EQ(CLineEditor::Result::None, editor.Key(key, line));
        }
        EXPECT_EQ(c.text, editor.Text()) << Narrow(c.text);
        EXPECT_EQ(c.completed, completed) << Narrow(c.text);
    }
}
}  // namespace
