#include <vector>
#include "search/PluginConfiguration.h"
#include "tests/search/SearchTestSupport.h"

namespace
{
std::vector<ULONG> Indexes(const std::vector<PluginRecord>& records)
{
    std::vector<ULONG> indexes;
    for (const PluginRecord& record : records)
        indexes.push_back(record.engineIndex);
    return indexes;
}

// Engine numbers, counted from `base`.
std::vector<ULONG> Numbers(const std::vector<PluginRecord>& records, ULONG base = 0)
{
    std::vector<ULONG> numbers;
    for (const PluginRecord& record : records)
        numbers.push_back(SearchTest::EngineNumber(record.classId) - base);
    return numbers;
}
}  // namespace

using PluginConfigurationTest = SearchTest;

TEST_F(PluginConfigurationTest, RecordCarriesTheListedValuesOrTheirDefaults)
{
    AddEngineClass(1, 0x08);
    const std::wstring full = EngineListPath(1);
    SetString(full, L"Module ID", L"%TEMP%\\Engine", REG_EXPAND_SZ);
    DWORD distinct = 0;
    for (const wchar_t* name : {L"Order", L"Type", L"MetadataVersion", L"Input1", L"Input2", L"Output1", L"Output2",
                                L"Loading"})
        SetDword(full, name, ++distinct);
    SetString(full, L"ExcludedEngine",
              (EngineKey(7) + L";not a class id;{00000000-0000-0000-0000-00000000000};;" + EngineKey(8) + L";").c_str());
    SetTableEntry(1, 6, 0x00030002);

    AddEngineClass(2, 0x08);
    const std::wstring bare = EngineListPath(2);
    SetString(bare, L"Loading", L"1");        // another type: as if absent
    const BYTE shortOrder[2] = {1, 0};
    SetValue(bare, L"Order", REG_BINARY, shortOrder, sizeof(shortOrder));  // wrong size: default
    const DWORD binaryType = 9;
    SetValue(bare, L"Type", REG_BINARY, &binaryType, sizeof(binaryType));  // type not looked at
    SetTableEntry(2, 1, 0x00050000);  // below 2: not an index

    std::vector<PluginRecord> records(1);  // appended to
    ASSERT_EQ(S_OK, ReadPluginList(records, 0x10000, Root().c_str()));
    ASSERT_EQ(3u, records.size());

    const PluginRecord& a = records[1];
    EXPECT_TRUE(IsEqualGUID(EngineId(1), a.classId));
    EXPECT_STREQ(EngineKey(1).c_str(), a.classIdText);
    EXPECT_STREQ(L"%TEMP%\\Engine", a.moduleId);
    EXPECT_EQ((std::vector<LONG>{1, 2, 3, 4, 5, 6, 7, 8}),
              (std::vector<LONG>{static_cast<LONG>(a.order), static_cast<LONG>(a.type),
                                 static_cast<LONG>(a.metadataVersion), a.input1, a.input2, a.output1, a.output2,
                                 a.loading}));
    EXPECT_EQ(6u, a.engineIndex);
    EXPECT_EQ(0x00030002u, a.indexTableVersion);
    ASSERT_EQ(2u, a.excludedEngines.size());
    EXPECT_EQ(7u, EngineNumber(a.excludedEngines[0]));
    EXPECT_EQ(8u, EngineNumber(a.excludedEngines[1]));

    const PluginRecord& b = records[2];
    EXPECT_TRUE(b.moduleId.IsEmpty());
    EXPECT_EQ(0x8000u, b.order);
    EXPECT_EQ(9u, b.type);
    EXPECT_EQ(0u, b.metadataVersion);
    EXPECT_EQ((std::vector<LONG>{-1, -1, -1, -1}), (std::vector<LONG>{b.input1, b.input2, b.output1, b.loading}));
    EXPECT_EQ(0u, b.engineIndex);
    EXPECT_EQ(0u, b.indexTableVersion);
    EXPECT_TRUE(b.excludedEngines.empty());
}

TEST_F(PluginConfigurationTest, ListsOnlyEnabledPluginsThatAreEngines)
{
    AddEngine(1, 0x08, 1);
    SetDword(EngineListPath(2), L"Enable", 0);
    AddEngineClass(2, 0x08);
    SetDword(EngineListPath(3), L"Order", 1);                   // listed, never registered
    AddEngine(4, 0x08, 1).answersEngineInterface = false;
    AddEngine(5, 0x08, 1).create.FailWith(E_ACCESSDENIED);
    AddEngine(6, 0x08, 1);
    // Sorts after engine 6 and before engine 9: ends the enumeration.
    SetDword(Root() + L"\\Engine Plugins\\{5E1F7007 not a class id}", L"Order", 1);
    AddEngine(9, 0x08, 1);
    AddEngine(10, 0x08, 1);
    SetDword(Root() + L"\\DB Notify Plugins\\" + EngineKey(10), L"Order", 1);

    std::vector<PluginRecord> records;
    EXPECT_EQ(S_OK, ReadPluginList(records, 0x10000, Root().c_str()));
    EXPECT_EQ((std::vector<ULONG>{1, 6}), Numbers(records));

    records.clear();
    EXPECT_EQ(S_OK, ReadPluginList(records, 0x20000, Root().c_str()));
    EXPECT_EQ(std::vector<ULONG>{10}, Numbers(records));

    // Lists that cannot be read leave the records as they were.
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ReadPluginList(records, 0x40000, Root().c_str()));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ReadPluginList(records, 0x10000, L"Software\\Missing"));
    EXPECT_EQ(E_INVALIDARG, ReadPluginList(records, 0x30000, Root().c_str()));
    EXPECT_EQ(E_INVALIDARG, ReadPluginList(records, 0x10000, nullptr));
    EXPECT_EQ(1u, records.size());
}

TEST_F(PluginConfigurationTest, EngineIndexesFollowOrderAndKeepWhatTheTableHolds)
{
    struct Engine
    {
        ULONG number;
        DWORD order;
        DWORD tableIndex;  // 0: no entry
    };
    struct Case
    {
        const char* what;
        std::vector<Engine> engines;  // in enumeration order
        std::vector<ULONG> unlisted;  // indexes the table holds for engines no longer listed
        std::vector<ULONG> expectedNumbers;
        std::vector<ULONG> expectedIndexes;
    };
    const Case cases[] = {
        {"new engines by order", {{1, 5, 0}, {2, 3, 0}}, {}, {2, 1}, {2, 3}},
        {"index 1 is no index", {{1, 1, 1}, {2, 2, 0}}, {}, {1, 2}, {2, 3}},
        {"lowest free index", {{1, 1, 2}, {2, 2, 4}, {3, 3, 0}}, {}, {1, 2, 3}, {2, 4, 3}},
        {"kept index above a new one", {{1, 1, 0}, {2, 2, 2}}, {}, {1, 2}, {3, 2}},
        {"equal orders keep enumeration order", {{1, 7, 0}, {2, 5, 0}, {3, 7, 0}, {4, 5, 0}}, {}, {2, 4, 1, 3},
         {2, 3, 4, 5}},
        {"unlisted engine keeps its index", {{1, 1, 0}, {2, 2, 0}}, {2, 4}, {1, 2}, {3, 5}},
    };
    ULONG base = 0;
    for (const Case& c : cases)
    {
        // New engines each time, the earlier ones no longer listed.
        registry_probe::DeleteTree(HKEY_LOCAL_MACHINE, Root());
        base += 100;
        for (const Engine& engine : c.engines)
        {
            AddEngine(base + engine.number, 0x08, engine.order);
            if (engine.tableIndex != 0)
                SetTableEntry(base + engine.number, engine.tableIndex);
        }
        ULONG unlistedNumber = base + 20;
        for (ULONG index : c.unlisted)
            SetTableEntry(unlistedNumber++, index);

        std::vector<PluginRecord> records;
        ReadEnginePlugins(records, Root().c_str());
        EXPECT_EQ(c.expectedNumbers, Numbers(records, base)) << c.what;
        EXPECT_EQ(c.expectedIndexes, Indexes(records)) << c.what;
        // What was assigned is in the table, so the next reader finds the same indexes.
        for (const PluginRecord& record : records)
            EXPECT_EQ(record.engineIndex, ReadDword(IndexTablePath(EngineNumber(record.classId)), L"Index")) << c.what;
    }
}

TEST_F(PluginConfigurationTest, IndexTableIsWrittenOnlyWhereItsIndexDiffers)
{
    AddEngine(1, 0x08, 1, 0x00020001);  // new: index, version and module id written
    AddEngine(2, 0x08, 2, 0x00040000);  // stored index equal: key untouched
    SetTableEntry(2, 3, 0x00010000);
    SetString(IndexTablePath(2), L"Module ID", L"Old");
    AddEngine(3, 0x08, 3);  // stored index 1, no version in the list: the table's version stays
    SetTableEntry(3, 1, 0x00070000);

    std::vector<PluginRecord> records;
    ReadEnginePlugins(records, Root().c_str());
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ((std::vector<ULONG>{2, 3, 4}), Indexes(records));

    EXPECT_EQ(2u, ReadDword(IndexTablePath(1), L"Index"));
    EXPECT_EQ(0x00020001u, ReadDword(IndexTablePath(1), L"MetadataVersion"));
    EXPECT_EQ(L"Engine1", ReadString(IndexTablePath(1), L"Module ID"));
    EXPECT_EQ(0x00010000u, ReadDword(IndexTablePath(2), L"MetadataVersion"));
    EXPECT_EQ(L"Old", ReadString(IndexTablePath(2), L"Module ID"));
    EXPECT_EQ(4u, ReadDword(IndexTablePath(3), L"Index"));
    EXPECT_EQ(0x00070000u, ReadDword(IndexTablePath(3), L"MetadataVersion"));

    // The records carry the table as written.
    EXPECT_EQ(0x00020001u, records[0].indexTableVersion);
    EXPECT_EQ(0x00070000u, records[2].indexTableVersion);
}

TEST_F(PluginConfigurationTest, MissingListLeavesTheRegistryAlone)
{
    std::vector<PluginRecord> records(2);
    ReadEnginePlugins(records, Root().c_str());
    EXPECT_TRUE(records.empty());
    EXPECT_FALSE(KeyExists(Root()));

    SetDword(Root() + L"\\Queue Plugins\\" + EngineKey(1), L"Order", 1);
    ReadEnginePlugins(records, Root().c_str());
    EXPECT_TRUE(records.empty());
    EXPECT_FALSE(KeyExists(Root() + L"\\Setting"));
}
