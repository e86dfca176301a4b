#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "tools/lumhost/EngineOption.h"
#include "tools/lumhost/HostCommand.h"
#include "tools/lumhost/LumHostOptions.h"
#include "tools/lumhost/ProgressLine.h"

namespace
{
std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

struct GoodCommand
{
    const wchar_t* line;
    CHostCommand::Kind kind;
    ULONG startFlags;  // Search only
};

class HostCommandGood : public ::testing::TestWithParam<GoodCommand>
{
};

TEST_P(HostCommandGood, GivesTheKindAndTheStartFlags)
{
    const CHostCommand command = ParseHostCommand(GetParam().line);
    ASSERT_EQ(GetParam().kind, command.kind) << Narrow(command.error);
    if (command.kind == CHostCommand::Kind::Search)
    {
        EXPECT_EQ(GetParam().startFlags, command.request.StartFlags());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostCommandGood,
    ::testing::Values(GoodCommand{L"", CHostCommand::Kind::None, 0},
                      GoodCommand{L"   \t", CHostCommand::Kind::None, 0},
                      GoodCommand{L"search full", CHostCommand::Kind::Search, 0x00010000},
                      GoodCommand{L"  SEARCH cleanup  ", CHostCommand::Kind::Search, 0x00020000},
                      GoodCommand{L"search check:0x08", CHostCommand::Kind::Search, 0x00030008},
                      GoodCommand{L"search category:image+audio:0x40", CHostCommand::Kind::Search, 0x40040018},
                      GoodCommand{L"search update-major:all", CHostCommand::Kind::Search, 0x0005FFFF},
                      GoodCommand{L"search update:video+analogue", CHostCommand::Kind::Search, 0x00060005},
                      // A number that is no mode goes to the plug-in, which answers for it.
                      GoodCommand{L"search 9", CHostCommand::Kind::Search, 0x00090000},
                      GoodCommand{L"pause", CHostCommand::Kind::Pause, 0},
                      GoodCommand{L"Resume", CHostCommand::Kind::Resume, 0},
                      GoodCommand{L"stop", CHostCommand::Kind::Stop, 0},
                      GoodCommand{L"status", CHostCommand::Kind::Status, 0},
                      GoodCommand{L"help", CHostCommand::Kind::Help, 0},
                      GoodCommand{L"quit", CHostCommand::Kind::Quit, 0}));

struct BadCommand
{
    const wchar_t* line;
    const wchar_t* messagePart;
};

class HostCommandBad : public ::testing::TestWithParam<BadCommand>
{
};

TEST_P(HostCommandBad, IsInvalidWithAMessageThatNamesTheProblem)
{
    const CHostCommand command = ParseHostCommand(GetParam().line);
    EXPECT_EQ(CHostCommand::Kind::Invalid, command.kind);
    EXPECT_NE(std::wstring::npos, command.error.find(GetParam().messagePart)) << Narrow(command.error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostCommandBad,
    ::testing::Values(BadCommand{L"serch full", L"unknown command \"serch\""},
                      BadCommand{L"search", L"search wants one"},
                      BadCommand{L"search full now", L"search wants one"},
                      BadCommand{L"search everything", L"unknown search mode \"everything\""},
                      BadCommand{L"search 256", L"unknown search mode \"256\""},
                      BadCommand{L"search category:0x10000", L"bad category mask \"0x10000\""},
                      BadCommand{L"search category:image+", L"bad category mask"},
                      BadCommand{L"search category:0x08:0x100", L"bad queue flags \"0x100\""},
                      BadCommand{L"pause now", L"takes nothing after it"},
                      BadCommand{L"version PictureFaces", L"version wants an engine and a version"},
                      BadCommand{L"version PictureFaces 2.x", L"bad version \"2.x\""},
                      BadCommand{L"vanish", L"vanish wants a file"}));

TEST(HostCommand, VersionAndVanishKeepTheirArguments)
{
    const CHostCommand version = ParseHostCommand(L"version PictureFaces 2.1");
    ASSERT_EQ(CHostCommand::Kind::Version, version.kind);
    EXPECT_EQ(L"PictureFaces", version.engine);
    EXPECT_EQ(0x00020001u, version.version);

    const CHostCommand vanish = ParseHostCommand(L"vanish  old  song.mp3 ");
    ASSERT_EQ(CHostCommand::Kind::Vanish, vanish.kind);
    EXPECT_EQ(L"old  song.mp3", vanish.path);  // blanks inside a name are the name's
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

TEST(LumHostOptions, SearchSideOptionsAreTakenAndCheckedWithDefaultEngines)
{
    CLumHostOptions options;
    std::wstring error;
    ASSERT_EQ(LumHostParse::Run, ParseLumHostOptions({L"--search", L"full", L"--search", L"cleanup", L"--analyse-ms",
                                                      L"250", L"--cleanup-class", L"200", L"D:\\m"},
                                                     options, error))
        << Narrow(error);
    ASSERT_EQ(2u, options.searches.size());
    EXPECT_EQ(0x00020000u, options.searches[1].StartFlags());
    EXPECT_EQ(250u, options.analyseMs);
    EXPECT_EQ(200u, options.cleanUpClass);
    EXPECT_EQ(DefaultEngines().size(), options.engines.size());

    ASSERT_EQ(LumHostParse::Run, ParseLumHostOptions({L"--engine", L"Only:0x08", L"D:\\m"}, options, error));
    ASSERT_EQ(1u, options.engines.size());  // named engines replace the default ones

    EXPECT_EQ(LumHostParse::Error, ParseLumHostOptions({L"--search", L"bogus", L"D:\\m"}, options, error));
    EXPECT_NE(std::wstring::npos, error.find(L"--search: unknown search mode")) << Narrow(error);
    EXPECT_EQ(LumHostParse::Error,
              ParseLumHostOptions({L"--engine", L"A:1", L"--engine", L"a:2", L"D:\\m"}, options, error));
    EXPECT_NE(std::wstring::npos, error.find(L"two engines named")) << Narrow(error);
    EXPECT_EQ(LumHostParse::Error, ParseLumHostOptions({L"--cleanup-class", L"0", L"D:\\m"}, options, error));
    EXPECT_EQ(LumHostParse::Error, ParseLumHostOptions({L"--analyse-ms", L"600001", L"D:\\m"}, options, error));
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
}  // namespace
