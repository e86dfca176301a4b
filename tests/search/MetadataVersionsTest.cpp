#include "search/MetadataVersions.h"
#include "tests/search/SearchTestSupport.h"

using MetadataVersionsTest = SearchTest;

TEST_F(MetadataVersionsTest, EngineListHoldsTheEnginesOfTheAskedCategories)
{
    AddEngine(1, 0x09, 2, 0x00020000);
    SetTableEntry(1, 5, 0x00010003);
    AddEngine(2, 0x0C, 1);
    AddEngine(3, 0x41, 3);                                   // 0x40 is no category
    AddEngine(4, 0x08, 4).getCategoryMask.FailWith(E_FAIL);  // answers no mask
    AddEngine(5, 0x40, 5);

    const std::vector<EngineEntry> images = GetEngineList(0x08);
    ASSERT_EQ(2u, images.size());
    EXPECT_EQ(2u, EngineNumber(images[0].classId));  // by order
    EXPECT_EQ(0x08u, images[0].categoryMask);
    EXPECT_EQ(1u, EngineNumber(images[1].classId));
    EXPECT_EQ(0x08u, images[1].categoryMask);
    EXPECT_EQ(5u, images[1].engineIndex);

    std::vector<ULONG> masks;
    for (const EngineEntry& entry : GetEngineList(0xFFFF))
        masks.push_back(entry.categoryMask);
    EXPECT_EQ((std::vector<ULONG>{0x0C, 0x09, 0x01}), masks);
    EXPECT_TRUE(GetEngineList(0x30).empty());
    EXPECT_EQ(0, CAnalysisEngine::LiveCount());
}

// One engine of category 0x08 per case: its current version, what is recorded for the category,
// its index-table entry, and whether the category is out of date (major only, minor too). An
// engine the table did not list yet is written there with its current version, which then
// stands for the version recorded.
TEST_F(MetadataVersionsTest, CategoryIsOutdatedWhenTheCurrentVersionIsNewer)
{
    constexpr DWORD kNoEntry = 0xFFFFFFFF;
    const struct
    {
        const char* what;
        DWORD current;
        DWORD recorded;  // 0: no key
        DWORD table;     // 0: no value; kNoEntry: no entry
        bool outdatedMajor;
        bool outdatedMinor;
    } cases[] = {
        {"first seen", 0x00020000, 0, kNoEntry, false, false},
        {"nothing recorded: 1.0", 0x00020000, 0, 0, true, true},
        {"1.0 against 1.0", 0x00010000, 0, 0, false, false},
        {"newer minor", 0x00010003, 0x00010001, 0, false, true},
        {"older major", 0x00010000, 0x00020000, 0, false, false},
        {"older major, newer minor", 0x00010009, 0x00020001, 0, false, false},
        {"majors unsigned", 0x80010000, 0x00020000, 0, true, true},
        {"minors unsigned", 0x00018000, 0x00010002, 0, false, true},
        {"index table's version", 0x00010005, 0, 0x00010007, false, false},
        {"recorded before the table's", 0x00010005, 0x00010004, 0x00010007, false, true},
        {"no current version", 0, 0, 0, false, false},
    };
    ULONG number = 0;
    for (const auto& c : cases)
    {
        // A new engine each time, the earlier ones no longer listed.
        registry_probe::DeleteTree(HKEY_LOCAL_MACHINE, Root());
        AddEngine(++number, 0x08, 1, c.current);
        if (c.table != kNoEntry)
            SetTableEntry(number, 2, c.table);
        if (c.recorded != 0)
            SetDword(VersionPath(0x08, number), L"MetadataVersion", c.recorded);
        for (bool majorOnly : {true, false})
        {
            std::vector<EngineEntry> entries(3);
            const ULONG outdated = GetOutdatedEngines(majorOnly, entries, 0xFFFF);
            const bool expected = majorOnly ? c.outdatedMajor : c.outdatedMinor;
            EXPECT_EQ(expected ? 0x08u : 0u, outdated) << c.what << (majorOnly ? ", major" : ", minor");
            EXPECT_EQ(expected ? 1u : 0u, entries.size()) << c.what;
        }
    }
}

// Versions are stored per category of each entry; an entry then holds only the categories still
// out of date.
TEST_F(MetadataVersionsTest, StoredVersionsBringCategoriesUpToDate)
{
    AddEngine(1, 0x09, 1, 0x00020000);
    SetTableEntry(1, 2);
    AddEngine(2, 0x0C, 2, 0x00030001);
    SetTableEntry(2, 3);

    std::vector<EngineEntry> entries;
    ASSERT_EQ(0x0Du, GetOutdatedEngines(false, entries, 0xFFFF));
    EXPECT_EQ(S_FALSE, StoreMetadataVersions(entries, 0x30));
    EXPECT_EQ(S_FALSE, StoreMetadataVersions(entries, 0x40));
    EXPECT_FALSE(KeyExists(SettingsPath()));

    EXPECT_EQ(S_OK, StoreMetadataVersions(entries, 0x08));
    EXPECT_EQ(0x00020000u, ReadDword(VersionPath(0x08, 1), L"MetadataVersion"));
    EXPECT_EQ(L"Engine1", ReadString(VersionPath(0x08, 1), L"Module ID"));
    EXPECT_EQ(0x00030001u, ReadDword(VersionPath(0x08, 2), L"MetadataVersion"));
    EXPECT_FALSE(KeyExists(VersionPath(0x01, 1)));
    EXPECT_EQ(0x04u, GetOutdatedEngines(false, entries, 0x04));
    EXPECT_EQ(0x05u, GetOutdatedEngines(false, entries, 0xFFFF));
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(0x01u, entries[0].categoryMask);
    EXPECT_EQ(0x04u, entries[1].categoryMask);

    // Only a newer major counts for a major update: engine 2 is behind by its minor only.
    SetDword(VersionPath(0x04, 2), L"MetadataVersion", 0x00030000);
    EXPECT_EQ(0x01u, GetOutdatedEngines(true, entries, 0xFFFF));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0x01u, entries[0].categoryMask);

    EXPECT_EQ(S_OK, StoreMetadataVersions(entries, 0xFFFF));
    EXPECT_EQ(0x04u, GetOutdatedEngines(false, entries, 0xFFFF));

    // A key that cannot be created is skipped: nothing recorded, the category stays out of date.
    const std::wstring tooLong = Root() + L"\\" + std::wstring(300, L'x');
    EXPECT_EQ(S_FALSE, StoreMetadataVersions(entries, 0x04, tooLong.c_str()));
    EXPECT_EQ(0x04u, GetOutdatedEngines(false, entries, 0xFFFF));
}
