#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "tests/support/TempFolder.h"
#include "tools/lumhost/LumHostOptions.h"

namespace
{
std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

TEST(LumHostOptions, BadArgumentsAreRefusedWithAMessageThatNamesTheProblem)
{
    const struct { std::vector<std::wstring> args; const wchar_t* messagePart; } cases[] = {
        {{}, L"no media folder"},
        {{L"--bogus", L"C:\\m"}, L"unknown option --bogus"},
        {{L"-x", L"C:\\m"}, L"unknown option -x"},
        {{L"C:\\a", L"C:\\b"}, L"one media folder only"},
        {{L""}, L"empty"},
        {{L"C:\\m", L"--seconds"}, L"--seconds needs a value"},
        {{L"C:\\m", L"--seconds", L"0"}, L"above 0"},
        {{L"C:\\m", L"--seconds", L"-5"}, L"\"-5\""},
        {{L"C:\\m", L"--seconds", L"12x"}, L"\"12x\""},
        {{L"C:\\m", L"--seconds", L" 12"}, L"\" 12\""},
        {{L"C:\\m", L"--seconds", L"99999999999999999999"}, L"whole number"},
        {{L"C:\\m", L"--seconds", L"31708800"}, L"whole number"},  // over a year
        {{L"C:\\m", L"--dll", L""}, L"--dll needs a file name"},
        {{L"C:\\m", L"--write-slowly", L""}, L"--write-slowly needs a file name"},
        {{L"C:\\m", L"--write-seconds", L"0"}, L"above 0"},
        {{L"C:\\m", L"--write-after", L"soon"}, L"\"soon\""},
        {{L"C:\\m", L"--search", L"bogus"}, L"--search: unknown search mode"},
        {{L"C:\\m", L"--engine", L"A:1", L"--engine", L"a:2"}, L"two engines named"},
        {{L"C:\\m", L"--cleanup-class", L"0"}, L"--cleanup-class"},
        {{L"C:\\m", L"--analyse-ms", L"600001"}, L"--analyse-ms"},
        {{L"C:\\m", L"--trace", L"4"}, L"--trace wants a level"},
    };
    for (const auto& c : cases)
    {
        CLumHostOptions options;
        std::wstring error;
        EXPECT_EQ(LumHostParse::Error, ParseLumHostOptions(c.args, options, error)) << Narrow(c.messagePart);
        EXPECT_NE(std::wstring::npos, error.find(c.messagePart)) << Narrow(error);
    }
    for (const wchar_t* help : {L"--help", L"-h", L"-?", L"/?"})
    {
        CLumHostOptions options;
        std::wstring error;
        EXPECT_EQ(LumHostParse::Help, ParseLumHostOptions({L"--bogus", help}, options, error)) << "help wins";
    }
}

TEST(LumHostOptions, EveryOptionIsTakenAndTheRestHasDefaults)
{
    CLumHostOptions options;
    std::wstring error;
    ASSERT_EQ(LumHostParse::Run, ParseLumHostOptions({L"m"}, options, error));
    EXPECT_TRUE(options.registerPlugin);
    EXPECT_EQ(0u, options.seconds);  // until stopped
    EXPECT_TRUE(options.dllPath.empty());
    EXPECT_TRUE(options.writeSlowlyPath.empty());
    EXPECT_EQ(DefaultEngines().size(), options.engines.size());
    EXPECT_FALSE(options.traceGiven);  // the plug-in's setting is left as it is

    ASSERT_EQ(LumHostParse::Run,
              ParseLumHostOptions({L"--dll", L"-odd name.dll", L"--no-register", L"--seconds", L"90", L"-v",
                                   L"--write-slowly", L"rec.mp4", L"--write-seconds", L"7", L"--write-after", L"0",
                                   L"--search", L"full", L"--search", L"cleanup", L"--analyse-ms", L"250",
                                   L"--cleanup-class", L"200", L"--engine", L"Only:0x08", L"--trace", L"0", L"D:\\media"},
                                  options, error))
        << Narrow(error);
    EXPECT_EQ(L"D:\\media", options.folder);
    EXPECT_EQ(L"-odd name.dll", options.dllPath);  // a value is taken as it comes
    EXPECT_FALSE(options.registerPlugin);
    EXPECT_EQ(90u, options.seconds);
    EXPECT_TRUE(options.verbose);
    EXPECT_EQ(L"rec.mp4", options.writeSlowlyPath);
    EXPECT_EQ(7u, options.writeSeconds);
    EXPECT_EQ(0u, options.writeAfterSeconds);
    ASSERT_EQ(2u, options.searches.size());
    EXPECT_EQ(0x00020000u, options.searches[1].StartFlags());
    EXPECT_EQ(250u, options.analyseMs);
    EXPECT_EQ(200u, options.cleanUpClass);
    EXPECT_EQ(1u, options.engines.size());  // named engines replace the default ones
    EXPECT_TRUE(options.traceGiven);           // 0 is a level too: off for the run
    EXPECT_EQ(0u, options.traceLevel);
}

TEST(LumHostOptions, FolderIsMadeAbsoluteAndMustBeAFolder)
{
    CTempFolder temp;
    ASSERT_TRUE(MakeFolder(temp / L"média files"));
    ASSERT_TRUE(WriteTestFile(temp / L"plain.txt", 3));
    std::wstring error;

    CLumHostOptions options;
    options.folder = temp / L"média files\\";
    EXPECT_TRUE(CheckMediaFolder(options, error));
    EXPECT_EQ(temp / L"média files", options.folder);  // no trailing backslash

    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(temp.Path().c_str()));
    options.folder = L"média files";
    EXPECT_TRUE(CheckMediaFolder(options, error));
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(temp / L"média files", options.folder);

    for (const auto& [name, messagePart] : {std::pair{L"missing", L"does not exist"}, std::pair{L"plain.txt", L"not a folder"}})
    {
        options.folder = temp / name;
        EXPECT_FALSE(CheckMediaFolder(options, error));
        EXPECT_NE(std::wstring::npos, error.find(messagePart)) << Narrow(error);
    }
}
}  // namespace
