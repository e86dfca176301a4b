#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "common/RegKey.h"
#include "host/PluginRegistration.h"
#include "tests/support/RegistryProbe.h"

using namespace registry_probe;

namespace
{
// A root of the tests' own, so that nothing the product or other tests keep is touched.
const wchar_t kRoot[] = L"Software\\LumTest\\PluginRegistration";
// {3F2A1B0C-1111-4222-8333-944455556666} and a neighbour.
const CLSID kClassA = {0x3f2a1b0c, 0x1111, 0x4222, {0x83, 0x33, 0x94, 0x44, 0x55, 0x55, 0x66, 0x66}};
const CLSID kClassB = {0x3f2a1b0c, 0x1111, 0x4222, {0x83, 0x33, 0x94, 0x44, 0x55, 0x55, 0x66, 0x67}};

const std::wstring kDbNotifyList = std::wstring(kRoot) + L"\\DB Notify Plugins";

std::wstring EntryPath(const std::wstring& list, REFCLSID id)
{
    return list + L"\\" + GuidToString(id).GetString();
}

class PluginRegistrationTest : public ::testing::Test
{
protected:
    void SetUp() override { DeleteTree(HKEY_LOCAL_MACHINE, kRoot); }
    void TearDown() override { DeleteTree(HKEY_LOCAL_MACHINE, kRoot); }
};
}  // namespace

TEST_F(PluginRegistrationTest, TypeChoosesTheList)
{
    const struct
    {
        DWORD type;
        const wchar_t* list;  // null: refused
    } types[] = {
        {0x00010007, L"Engine Plugins"}, {0x00020001, L"DB Notify Plugins"}, {0xFF040000, L"Queue Plugins"},
        {0x00080005, L"Timer Plugins"},  {0x00000001, nullptr},              {0x00030000, nullptr},
        {0x00100000, nullptr},
    };
    for (const auto& t : types)
    {
        SCOPED_TRACE(t.type);
        DeleteTree(HKEY_LOCAL_MACHINE, kRoot);
        const HRESULT hr = RegisterPlugin(kRoot, kClassA, t.type, L"Mod", 5, 1);
        if (!t.list)
        {
            EXPECT_EQ(E_INVALIDARG, hr);
            const auto counts = Counts(HKEY_LOCAL_MACHINE, kRoot);
            ASSERT_TRUE(counts.has_value());
            EXPECT_EQ(0u, counts->subkeys);  // no list written
            EXPECT_EQ(E_INVALIDARG, UnregisterPlugin(kRoot, kClassA, t.type));
            continue;
        }
        ASSERT_EQ(S_OK, hr);
        const std::wstring list = std::wstring(kRoot) + L"\\" + t.list;
        EXPECT_EQ(t.type, ReadDword(HKEY_LOCAL_MACHINE, EntryPath(list, kClassA), L"Type"));
        EXPECT_EQ(S_OK, UnregisterPlugin(kRoot, kClassA, t.type));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, list));
    }
}

// One entry, named by the braced upper-case class id, with the latest values; a missing module
// id is written empty.
TEST_F(PluginRegistrationTest, RegisteringAgainLeavesOneEntryWithTheLatestValues)
{
    const std::wstring entry = kDbNotifyList + L"\\{3F2A1B0C-1111-4222-8333-944455556666}";
    ASSERT_EQ(S_OK, RegisterPlugin(kRoot, kClassA, kPluginTypeDbNotify, nullptr, 1, 0));
    EXPECT_EQ(L"", ReadString(HKEY_LOCAL_MACHINE, entry, L"Module ID"));
    ASSERT_EQ(S_OK, RegisterPlugin(kRoot, kClassA, kPluginTypeDbNotify, L"Module", 2, 3));
    EXPECT_EQ(L"Module", ReadString(HKEY_LOCAL_MACHINE, entry, L"Module ID"));
    EXPECT_EQ(2u, ReadDword(HKEY_LOCAL_MACHINE, entry, L"Order"));
    EXPECT_EQ(3u, ReadDword(HKEY_LOCAL_MACHINE, entry, L"Enable"));
    EXPECT_EQ(4u, Counts(HKEY_LOCAL_MACHINE, entry).value_or(KeyCounts{}).values);
    EXPECT_EQ(1u, Counts(HKEY_LOCAL_MACHINE, kDbNotifyList).value_or(KeyCounts{}).subkeys);
}

// The list key goes with its last entry, unless it holds a value of its own; the root always stays.
TEST_F(PluginRegistrationTest, ListKeyStaysWhileItHoldsAnythingAndTheRootAlways)
{
    ASSERT_EQ(S_OK, RegisterPlugin(kRoot, kClassA, kPluginTypeDbNotify, L"A", 1, 1));
    ASSERT_EQ(S_OK, RegisterPlugin(kRoot, kClassB, kPluginTypeDbNotify, L"B", 2, 1));
    // Anything below the entry goes with it.
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, EntryPath(kDbNotifyList, kClassA) + L"\\Sub\\Deeper"));

    EXPECT_EQ(S_OK, UnregisterPlugin(kRoot, kClassA, kPluginTypeDbNotify));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, EntryPath(kDbNotifyList, kClassA)));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, EntryPath(kDbNotifyList, kClassB)));

    EXPECT_EQ(S_OK, UnregisterPlugin(kRoot, kClassB, kPluginTypeDbNotify));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kDbNotifyList));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kRoot));

    // Unregistering what is not there: the list key is made, found empty and removed again.
    EXPECT_EQ(S_OK, UnregisterPlugin(kRoot, kClassB, kPluginTypeDbNotify));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kDbNotifyList));

    ASSERT_EQ(S_OK, RegisterPlugin(kRoot, kClassA, kPluginTypeDbNotify, L"A", 1, 1));
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, kDbNotifyList, L"Note", L"kept"));
    EXPECT_EQ(S_OK, UnregisterPlugin(kRoot, kClassA, kPluginTypeDbNotify));
    EXPECT_EQ(L"kept", ReadString(HKEY_LOCAL_MACHINE, kDbNotifyList, L"Note"));
}

TEST_F(PluginRegistrationTest, MissingRootIsReportedOnUnregister)
{
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), UnregisterPlugin(kRoot, kClassA, kPluginTypeDbNotify));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kRoot));
}
