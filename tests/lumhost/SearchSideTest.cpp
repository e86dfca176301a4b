#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <string>
#include <vector>
#include "tests/support/TempFolder.h"
#include "tests/support/WaitableLog.h"
#include "common/ProductKeys.h"
#include "common/RegKey.h"
#include "contentdb/ContentConstants.h"
#include "standins/ContentDbCatalogue.h"
#include "tools/lumhost/AnalysingManager.h"
#include "tools/lumhost/CommandReader.h"
#include "tools/lumhost/DatabaseReport.h"
#include "tools/lumhost/ManagerRegistry.h"

namespace
{
TEST(CommandReader, HandsOverEveryLineOfAPipeInOrderThenEnds)
{
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    CScopedHandle input(readEnd);
    CScopedHandle output(writeEnd);
    CCommandReader reader;
    ASSERT_EQ(S_OK, reader.Start(input.Get()));

    // CR LF and LF line ends, a UTF-8 name split across two writes, a last line without an end.
    const char first[] = "search full\r\nvanish caf\xC3";
    const char second[] = "\xA9.jpg\nstatus";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(output.Get(), first, sizeof(first) - 1, &written, nullptr));
    ASSERT_TRUE(WriteFile(output.Get(), second, sizeof(second) - 1, &written, nullptr));
    output.Reset();

    std::vector<std::wstring> lines;
    const DWORD start = GetTickCount();
    while (!reader.Ended() && GetTickCount() - start < kTestWaitMs)
    {
        WaitForSingleObject(reader.LinesWaiting(), 100);
        std::wstring line;
        while (reader.TakeLine(line))
            lines.push_back(line);
    }
    EXPECT_TRUE(reader.Ended());
    EXPECT_EQ((std::vector<std::wstring>{L"search full", L"vanish caf\u00E9.jpg", L"status"}), lines);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(reader.LinesWaiting(), 0));
}

class AnalysingManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WriteTestFile(folder / L"a.jpg", 10));
        ASSERT_TRUE(WriteTestFile(folder / L"b.mp4", 10));
        database.SetChangeHook([this](const std::wstring&, LONG, LONG) { ++notifications; });
        // Engine fields 2 and 9 already hold other values; field 3 is not the image engines'.
        database.AddItem(L"i1", kItemClassImage,
                         {{kPropPath, folder / L"a.jpg"}, {kPropAnalysisState0, L"0x3A0"}, {kPropAnalysisState1, L"6"}});
        database.AddItem(L"i2", kItemClassVideo, {{kPropPath, folder / L"b.mp4"}});
        notifications = 0;
    }

    std::wstring State(const wchar_t* id, LONG prop)
    {
        std::wstring text;
        database.Find(id)->GetText(prop, text);
        return text;
    }

    CTempFolder folder;
    CContentDbCatalogue database;
    LONG notifications = 0;
    CWaitableLog<CAnalysingManager::Analysed> reports;
    CAnalysingManager manager{database,
                              [](ULONG category) { return category == 0x08 ? std::vector<ULONG>{2, 9} : std::vector<ULONG>{}; },
                              20, [this](const CAnalysingManager::Analysed& analysed) { reports.Add(analysed); }};
};

// Items are analysed in queue order, whether queued before or after the start. Analysed is written
// quietly into the overall field and the fields of the item's engines; withdrawn entries, gone
// files and items the database does not hold are not written.
TEST_F(AnalysingManagerTest, WritesAnalysedQuietlyInQueueOrderUnlessWithdrawnOrGone)
{
    manager.Queue(L"Q1", folder / L"a.jpg", L"i1", 0x08);
    manager.Queue(L"Q2", folder / L"b.mp4", L"i2", 0x04);
    manager.Queue(L"Q3", folder / L"a.jpg", L"i1", 0x08);
    EXPECT_EQ(3u, manager.Outstanding());
    EXPECT_TRUE(manager.Withdraw(L"Q3"));
    EXPECT_FALSE(manager.Withdraw(L"Q9"));
    ASSERT_EQ(S_OK, manager.Start());
    manager.Queue(L"Q4", folder / L"gone.mp4", L"i2", 0x04);
    manager.Queue(L"Q5", folder / L"b.mp4", L"gone", 0x04);
    ASSERT_TRUE(reports.WaitForCount(4));
    manager.Stop();
    EXPECT_EQ(0u, manager.Outstanding());

    const std::vector<CAnalysingManager::Analysed> all = reports.Items();
    ASSERT_EQ(4u, all.size());
    EXPECT_EQ(L"Q1", all[0].entryId);
    EXPECT_TRUE(all[0].written);
    EXPECT_EQ(L"Q2", all[1].entryId);
    EXPECT_EQ(L"Q4", all[2].entryId);
    EXPECT_FALSE(all[2].written);
    EXPECT_NE(std::wstring::npos, all[2].problem.find(L"file is gone"));
    EXPECT_NE(std::wstring::npos, all[3].problem.find(L"not in the content database"));
    // Overall 0 -> 4, field 2 (bits 4-7) 10 -> 4, field 3 kept, field 9 (0xB0 bits 0-3) 6 -> 4.
    EXPECT_EQ(L"836", State(L"i1", kPropAnalysisState0));  // 0x344
    EXPECT_EQ(L"4", State(L"i1", kPropAnalysisState1));
    EXPECT_EQ(L"4", State(L"i2", kPropAnalysisState0));  // no engine: the overall state only
    EXPECT_EQ(0, notifications);
}

// HKEY_LOCAL_MACHINE redirected to a scratch key of the current user for the test's length.
class ManagerRegistryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        DeleteScratch();
        ASSERT_EQ(ERROR_SUCCESS, m_machine.Create(HKEY_CURRENT_USER, L"Software\\LumTest\\LumHostRegistry"));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_machine));
        CRegKey settings;
        ASSERT_EQ(ERROR_SUCCESS, settings.Create(HKEY_LOCAL_MACHINE, Path(kPluginSettingsKey).c_str()));
        ASSERT_EQ(ERROR_SUCCESS, settings.SetDWORDValue(L"CleanUpObjectClass", 300));
    }
    void TearDown() override
    {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        m_machine.Close();
        DeleteScratch();
        CoUninitialize();
    }
    static void DeleteScratch()
    {
        CRegKey key;
        if (key.Open(HKEY_CURRENT_USER, L"Software\\LumTest") == ERROR_SUCCESS)
            RegDeleteTreeW(key, L"LumHostRegistry");
    }
    static std::wstring Path(const wchar_t* below) { return std::wstring(kProductRootKey) + L"\\" + below; }
    static bool Exists(const std::wstring& path)
    {
        CRegKey key;
        return key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ) == ERROR_SUCCESS;
    }

private:
    CRegKey m_machine;
};

TEST_F(ManagerRegistryTest, ListsEnginesWithIndexesNamesTheirFieldsAndRemovesEverythingItMade)
{
    const std::wstring pictures = GuidToString(CManagerRegistry::EngineClassId(1)).GetString();
    {
        CManagerRegistry registry;
        ASSERT_EQ(S_OK, registry.Install({{L"Scenes", 0x07, 0x00010000, true},
                                          {L"Faces", 0x08, 0x00010000, true},
                                          {L"Broken", 0x10, 0, false}}));
        const std::vector<CManagerRegistry::Engine> engines = registry.Engines();
        ASSERT_EQ(3u, engines.size());
        EXPECT_EQ(2u, engines[0].index);
        EXPECT_EQ(3u, engines[1].index);
        EXPECT_EQ(0u, engines[2].index);  // the manager's reading leaves it out
        EXPECT_EQ((std::vector<ULONG>{3}), registry.IndexesFor(0x08));
        EXPECT_TRUE(registry.IndexesFor(0x10).empty());

        std::wstring error;
        EXPECT_TRUE(registry.SetVersion(L"faces", 0x00020000, error));
        EXPECT_FALSE(registry.SetVersion(L"Nobody", 0x00020000, error));
        EXPECT_NE(std::wstring::npos, error.find(L"Nobody"));
        EXPECT_EQ(0x00020000u, registry.Engines()[1].option.version);
        ASSERT_EQ(S_OK, registry.SetPluginSetting(L"CleanUpObjectClass", 200));
        ASSERT_EQ(S_OK, registry.SetPluginSetting(L"TraceLevel", 2));
        ASSERT_EQ(S_OK, registry.SetPluginSetting(L"TraceLevel", 3));  // what was there first is what comes back

        // What the timeline makes of a reset and of a missing file written by the plug-in.
        EXPECT_EQ(L"overall 10 (analyse again), Faces 10 (analyse again), field 4 7",
                  CDatabaseReport::DescribeStateWrite({kPropAnalysisState0}, {L"31242"}, registry));  // 0x7A0A
        EXPECT_EQ(L"overall 5 (file missing), field 8 8",
                  CDatabaseReport::DescribeStateWrite({kPropAnalysisState0, 0x1F4},
                                                      {L"-2147483643", L"x"}, registry));

        // A version the plug-in records for an engine goes with the engine.
        CRegKey recorded;
        ASSERT_EQ(ERROR_SUCCESS, recorded.Create(HKEY_LOCAL_MACHINE,
                                                 Path((L"Setting\\LumSiftDbNotifyWex\\MetadataVersion\\0x0008\\" +
                                                       pictures).c_str()).c_str()));
    }
    EXPECT_FALSE(Exists(Path(L"Engine Plugins")));
    EXPECT_FALSE(Exists(Path(kEngineIndexTableKey)));
    EXPECT_FALSE(Exists(Path(L"Setting\\LumSiftDbNotifyWex\\MetadataVersion")));
    CRegKey settings;
    DWORD cleanUpClass = 0;
    ASSERT_EQ(ERROR_SUCCESS, settings.Open(HKEY_LOCAL_MACHINE, Path(kPluginSettingsKey).c_str(), KEY_READ));
    ASSERT_EQ(ERROR_SUCCESS, settings.QueryDWORDValue(L"CleanUpObjectClass", cleanUpClass));
    EXPECT_EQ(300u, cleanUpClass);  // as it was before
    DWORD level = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, settings.QueryDWORDValue(L"TraceLevel", level));  // none before
}
}  // namespace
