#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "tests/support/TempFolder.h"
#include "tests/support/TestSync.h"
#include "tools/lumhost/LumHostOptions.h"

namespace
{
struct BadArguments
{
    std::vector<std::wstring> args;
    const wchar_t* messagePart;  // what the message must name
};

class LumHostOptionsBad : public ::testing::TestWithParam<BadArguments>
{
};

TEST_P(LumHostOptionsBad, AreRefusedWithAMessageThatNamesTheProblem)
{
    CLumHostOptions options;
    std::wstring error;
    EXPECT_EQ(LumHostParse::Error, ParseLumHostOptions(GetParam().args, options, error));
    EXPECT_NE(std::wstring::npos, error.find(GetParam().messagePart)) << std::string(error.begin(), error.end());
}

INSTANTIATE_TEST_SUITE_P(
    Table, LumHostOptionsBad,
    ::testing::Values(BadArguments{{}, L"no media folder"},
                      BadArguments{{L"--bogus", L"C:\\m"}, L"unknown option --bogus"},
                      BadArguments{{L"-x", L"C:\\m"}, L"unknown option -x"},
                      BadArguments{{L"C:\\a", L"C:\\b"}, L"one media folder only"},
                      BadArguments{{L""}, L"empty"},
                      BadArguments{{L"C:\\m", L"--seconds"}, L"--seconds needs a value"},
                      BadArguments{{L"C:\\m", L"--seconds", L"0"}, L"above 0"},
                      BadArguments{{L"C:\\m", L"--seconds", L"-5"}, L"\"-5\""},
                      BadArguments{{L"C:\\m", L"--seconds", L"12x"}, L"\"12x\""},
                      BadArguments{{L"C:\\m", L"--seconds", L" 12"}, L"\" 12\""},
                      BadArguments{{L"C:\\m", L"--seconds", L"99999999999999999999"}, L"whole number"},
                      BadArguments{{L"C:\\m", L"--seconds", L"31708800"}, L"whole number"},  // over a year
                      BadArguments{{L"C:\\m", L"--dll"}, L"--dll needs a value"},
                      BadArguments{{L"C:\\m", L"--dll", L""}, L"--dll needs a file name"},
                      BadArguments{{L"C:\\m", L"--write-slowly", L""}, L"--write-slowly needs a file name"},
                      BadArguments{{L"C:\\m", L"--write-seconds", L"0"}, L"above 0"},
                      BadArguments{{L"C:\\m", L"--write-after", L"soon"}, L"\"soon\""}));

TEST(LumHostOptions, HelpWinsWherever)
{
    for (const wchar_t* help : {L"--help", L"-h", L"-?", L"/?"})
    {
        CLumHostOptions options;
        std::wstring error;
        EXPECT_EQ(LumHostParse::Help, ParseLumHostOptions({L"--bogus", help}, options, error));
    }
}

TEST(LumHostOptions, EveryOptionIsTaken)
{
    CLumHostOptions options;
    std::wstring error;
    ASSERT_EQ(LumHostParse::Run,
              ParseLumHostOptions({L"--dll", L"-odd name.dll", L"--no-register", L"--seconds", L"90", L"-v",
                                   L"--write-slowly", L"rec.mp4", L"--write-seconds", L"7", L"--write-after", L"0",
                                   L"D:\\media"},
                                  options, error))
        << std::string(error.begin(), error.end());
    EXPECT_EQ(L"D:\\media", options.folder);
    EXPECT_EQ(L"-odd name.dll", options.dllPath);  // a value is taken as it comes
    EXPECT_FALSE(options.registerPlugin);
    EXPECT_EQ(90u, options.seconds);
    EXPECT_TRUE(options.verbose);
    EXPECT_EQ(L"rec.mp4", options.writeSlowlyPath);
    EXPECT_EQ(7u, options.writeSeconds);
    EXPECT_EQ(0u, options.writeAfterSeconds);
}

TEST(LumHostOptions, DefaultsRunUntilStoppedAndRegister)
{
    CLumHostOptions options;
    std::wstring error;
    ASSERT_EQ(LumHostParse::Run, ParseLumHostOptions({L"m"}, options, error));
    EXPECT_TRUE(options.registerPlugin);
    EXPECT_EQ(0u, options.seconds);
    EXPECT_TRUE(options.dllPath.empty());
    EXPECT_TRUE(options.writeSlowlyPath.empty());
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

    options.folder = temp / L"missing";
    EXPECT_FALSE(CheckMediaFolder(options, error));
    EXPECT_NE(std::wstring::npos, error.find(L"does not exist"));

    options.folder = temp / L"plain.txt";
    EXPECT_FALSE(CheckMediaFolder(options, error));
    EXPECT_NE(std::wstring::npos, error.find(L"not a folder"));
}
}  // namespace
