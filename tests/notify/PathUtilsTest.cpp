#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>
#include <string>
#include <tuple>
#include <utility>
#include <vector>
#include "common/Path.h"
#include "tests/support/TempFolder.h"

namespace
{
std::wstring Text(const CString& s)
{
    return std::wstring(s.GetString(), static_cast<size_t>(s.GetLength()));
}

// A fresh folder under the temp path for each test, removed with its contents afterwards.
class PathUtilsFiles : public ::testing::Test
{
protected:
    CTempFolder m_temp{L"lumpaths"};
    const std::wstring m_folder = m_temp.Path();  // no trailing "\"
};

TEST(PathUtils, MakeLongPathPrefixesOnlyLongPaths)
{
    const std::wstring local259 = L"C:\\" + std::wstring(256, L'a');
    const std::wstring local260 = L"C:\\" + std::wstring(257, L'a');
    const std::wstring folder247 = L"C:\\" + std::wstring(244, L'a');
    const std::wstring folder248 = L"C:\\" + std::wstring(245, L'a');
    const std::wstring share300 = L"\\\\srv\\share\\" + std::wstring(288, L'b');
    const std::wstring long300 = L"\\\\?\\C:\\" + std::wstring(293, L'c');
    const std::tuple<std::wstring, bool, bool, std::wstring> cases[] = {  // path, always, for a folder, result
        {local259, false, false, local259},
        {local260, false, false, L"\\\\?\\" + local260},
        {folder247, false, true, folder247},
        {folder248, false, true, L"\\\\?\\" + folder248},
        {folder248, false, false, folder248},
        {share300, false, false, L"\\\\?\\UNC\\srv\\share\\" + std::wstring(288, L'b')},
        {long300, true, false, long300},
        {L"C:\\a", true, false, L"\\\\?\\C:\\a"},
        {L"\\\\s\\x", true, true, L"\\\\?\\UNC\\s\\x"},
        {L"C:\\", true, false, L"C:\\"},
    };
    for (const auto& [path, always, forDirectory, expected] : cases)
        EXPECT_EQ(expected, Text(MakeLongPath(CString(path.c_str()), always, forDirectory)))
            << "length " << path.size() << " always " << always << " folder " << forDirectory;
}

TEST(PathUtils, LongPathPrefixIsStrippedAndMeasured)
{
    const std::tuple<const wchar_t*, const wchar_t*, int> cases[] = {  // path, stripped, prefix length
        {L"\\\\?\\UNC\\srv\\share", L"\\\\srv\\share", 7},
        {L"\\\\?\\C:\\x", L"C:\\x", 4},
        {L"\\\\?\\", L"", 4},
        {L"\\\\?\\UNC\\", L"UNC\\", 7},  // nothing after the UNC prefix: only "\\?\" goes
        {L"\\\\?\\UNC", L"UNC", 4},
        {L"\\\\?\\unc\\srv\\share", L"unc\\srv\\share", 4},  // the UNC marker is upper case
        {L"\\\\?", L"\\\\?", 0},
        {L"\\\\.\\C:", L"\\\\.\\C:", 0},
    };
    for (const auto& [path, stripped, prefixLength] : cases)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(path)));
        EXPECT_EQ(std::wstring(stripped), Text(StripLongPathPrefix(CString(path))));
        EXPECT_EQ(prefixLength, GetLongPathPrefixLength(path));
    }
    EXPECT_EQ(0, GetLongPathPrefixLength(nullptr));
}

TEST(PathUtils, PathRootOfDrivesSharesAndRelativePaths)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\dir\\file.mp4", L"C:\\"},
        {L"\\\\?\\C:\\a\\b", L"C:\\"},
        {L"\\\\srv\\share\\dir\\file", L"\\\\srv\\share\\"},
        {L"\\\\srv\\share", L"\\\\srv\\share\\"},
        {L"\\\\?\\UNC\\srv\\share\\x", L"\\\\srv\\share\\"},
        {L"\\\\srv", L""},  // a bare server name has no root
        {L"\\dir\\file", L""},
        {L"x", L"x"},  // too short to have a root: returned as it is
    };
    for (const auto& [path, root] : cases)
        EXPECT_EQ(std::wstring(root), Text(GetPathRoot(CString(path)))) << testing::PrintToString(std::wstring(path));
}

TEST(PathUtils, UncSharePathNeedsServerAndShare)
{
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"\\\\srv\\s", true},
        {L"\\\\?\\UNC\\srv\\share", true},
        {L"\\\\srv", false},
        {L"\\\\srv\\", false},
        {L"\\\\?\\UNC\\srv", false},
        {L"\\\\?\\C:\\a\\b", false},
        {L"\\\\\\srv\\share", false},
        {L"", false},
        {nullptr, false},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(expected, IsUncSharePath(path)) << testing::PrintToString(std::wstring(path ? path : L"(null)"));
}

TEST(PathUtils, SpecialFolderGetsInnerAndSubPathsOrFallsBackToTheCurrentDirectory)
{
    wchar_t folder[MAX_PATH] = {};
    ASSERT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder));
    const std::wstring base = std::wstring(folder) + L"\\";
    wchar_t current[MAX_PATH] = {};
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, current));
    const std::wstring here = std::wstring(current) + (current[wcslen(current) - 1] == L'\\' ? L"" : L"\\");
    const struct
    {
        int csidl;
        const wchar_t* subPath;
        const wchar_t* innerPath;
        std::wstring expected;
    } cases[] = {
        {CSIDL_COMMON_APPDATA, nullptr, nullptr, base},
        {CSIDL_COMMON_APPDATA, L"Sub", nullptr, base + L"Sub\\"},
        {CSIDL_COMMON_APPDATA, L"Sub", L"Inner", base + L"Inner\\Sub\\"},
        {CSIDL_COMMON_APPDATA, L"Sub\\", L"Inner\\", base + L"Inner\\Sub\\"},
        {CSIDL_COMMON_APPDATA, nullptr, L"Inner", base + L"Inner\\"},
        {CSIDL_COMMON_APPDATA, L"", L"", base},
        {0x7F, L"Sub", L"Inner", here},  // no such special folder
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "expected " << testing::PrintToString(c.expected));
        CString out(L"before");
        EXPECT_EQ(c.csidl == CSIDL_COMMON_APPDATA, GetSpecialFolderPath(c.csidl, out, c.subPath, c.innerPath));
        EXPECT_EQ(c.expected, Text(out));
    }
}

TEST_F(PathUtilsFiles, ExistenceOfFilesAndFolders)
{
    const std::wstring file = m_folder + L"\\clip.mp4";
    ASSERT_TRUE(WriteTestFile(file, 0));
    const std::wstring longFolder = m_folder + L"\\" + std::wstring(200, L'd');
    const std::wstring longFile = longFolder + L"\\" + std::wstring(100, L'f') + L".mp4";
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + longFolder).c_str(), nullptr));
    ASSERT_TRUE(WriteTestFile(longFile, 0));
    ASSERT_GE(longFile.size(), 300u);

    const std::tuple<std::wstring, bool, bool> cases[] = {  // path, a file, a folder
        {file, true, false},
        {m_folder, false, true},
        {m_folder + L"\\missing.mp4", false, false},
        {file + L"\\below", false, false},
        {L"\\\\?\\" + longFolder, false, true},
        {L"\\\\?\\" + longFile, true, false},
        {m_folder + L"\\" + std::wstring(40000, L'x'), false, false},
        {L"", false, false},
    };
    for (const auto& [path, file, folder] : cases)
    {
        SCOPED_TRACE(testing::PrintToString(path.substr(0, 300)));
        EXPECT_EQ(file, FileExists(path.c_str()));
        EXPECT_EQ(folder, DirectoryExists(path.c_str()));
    }
    EXPECT_FALSE(FileExists(nullptr));
    EXPECT_FALSE(DirectoryExists(nullptr));
}

// A wide name the ANSI code page writes with a look-alike character: the wide call misses the
// folder, and the ANSI call finds the folder with the look-alike name.
TEST_F(PathUtilsFiles, DirectoryExistsFallsBackToTheAnsiName)
{
    const wchar_t fullWidthA = 0xFF41;
    char converted[4] = {};
    BOOL lossy = FALSE;
    if (WideCharToMultiByte(CP_ACP, 0, &fullWidthA, 1, converted, sizeof(converted), nullptr, &lossy) != 1 ||
        converted[0] != 'a')
        GTEST_SKIP() << "the ANSI code page has no look-alike for U+FF41";
    const std::wstring folder = m_folder + L"\\dat";
    ASSERT_TRUE(CreateDirectoryW((folder + L"a").c_str(), nullptr));
    const std::wstring wide = folder + fullWidthA;
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(wide.c_str()));
    EXPECT_TRUE(DirectoryExists(wide.c_str()));
    EXPECT_FALSE(FileExists(wide.c_str()));
}

TEST_F(PathUtilsFiles, CreateDirectoryTreeCreatesEveryMissingLevel)
{
    struct Case
    {
        const char* name;
        std::wstring path;
        std::vector<std::wstring> levels;  // must exist afterwards
    };
    const std::wstring a = m_folder + L"\\a";
    const std::wstring l = L"\\\\?\\" + m_folder + L"\\" + std::wstring(120, L'l');
    const std::wstring l2 = l + L"\\" + std::wstring(120, L'm');
    const std::wstring l3 = l2 + L"\\" + std::wstring(120, L'n');
    const Case cases[] = {
        {"three levels", a + L"\\b\\c", {a, a + L"\\b", a + L"\\b\\c"}},
        {"one more under an existing one", a + L"\\b\\c\\d", {a + L"\\b\\c\\d"}},
        {"trailing backslash", m_folder + L"\\t\\u\\", {m_folder + L"\\t", m_folder + L"\\t\\u"}},
        {"doubled backslash", m_folder + L"\\v\\\\w", {m_folder + L"\\v", m_folder + L"\\v\\\\w"}},
        {"long form, 360 characters and more", l3, {l, l2, l3}},
        {"existing", m_folder, {m_folder}},
        {"relative to the current directory", L"rel\\a\\b", {m_folder + L"\\rel\\a\\b"}},
    };
    wchar_t previous[MAX_PATH] = {};
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, previous));
    ASSERT_TRUE(SetCurrentDirectoryW(m_folder.c_str()));
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(CreateDirectoryTree(c.path.c_str()));
        for (const std::wstring& level : c.levels)
            EXPECT_TRUE(DirectoryExists(level.c_str())) << testing::PrintToString(level);
    }
    SetCurrentDirectoryW(previous);
}

// The file-system calls of CreateDirectoryTree, counted; creation refused with ERROR_ACCESS_DENIED
// while `refuse` is set.
struct CountedCalls
{
    static inline LONG lookups = 0;
    static inline LONG creations = 0;
    static inline bool refuse = false;

    static bool Exists(LPCWSTR path)
    {
        ++lookups;
        return DirectoryExists(path);
    }
    static BOOL Create(LPCWSTR path, SECURITY_ATTRIBUTES*)
    {
        ++creations;
        if (!refuse)
            return CreateDirectoryW(path, nullptr);
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
};

// A path of thousands of levels costs a handful of look-ups, and a level that cannot be created
// ends the walk: looking up every level, each as long as its path, took half a minute.
TEST_F(PathUtilsFiles, CreateDirectoryTreeFindsTheDeepestLevelByHalving)
{
    const CDirectoryCalls counted = {&CountedCalls::Exists, &CountedCalls::Create};
    std::wstring deep = m_folder;
    for (int i = 0; i < 4000; ++i)
        deep += L"\\d";
    const struct
    {
        const char* name;
        std::wstring path;
        bool refuse;
        BOOL created;
        LONG maxLookups;
        LONG creations;
    } cases[] = {
        {"4000 levels, creation refused", deep, true, FALSE, 15, 1},
        {"three of five levels missing", m_folder + L"\\a\\b\\c", false, TRUE, 6, 3},
        {"then two more", m_folder + L"\\a\\b\\c\\d\\e", false, TRUE, 6, 2},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CountedCalls::lookups = 0;
        CountedCalls::creations = 0;
        CountedCalls::refuse = c.refuse;
        SetLastError(0);
        EXPECT_EQ(c.created, CreateDirectoryTree(c.path.c_str(), counted));
        EXPECT_LE(CountedCalls::lookups, c.maxLookups);
        EXPECT_EQ(c.creations, CountedCalls::creations);
        if (!c.created)
        {
            EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
        }
        EXPECT_EQ(c.created != FALSE, DirectoryExists(c.path.c_str()));
    }
}

TEST_F(PathUtilsFiles, CreateDirectoryTreeFailsWhereNothingCanBeCreated)
{
    EXPECT_FALSE(CreateDirectoryTree(nullptr));
    EXPECT_FALSE(CreateDirectoryTree(L""));
    const std::wstring file = m_folder + L"\\clip.mp4";
    ASSERT_TRUE(WriteTestFile(file, 0));
    const std::pair<std::wstring, DWORD> cases[] = {  // path, error (0: any)
        {file, ERROR_ALREADY_EXISTS},
        {file + L"\\sub\\leaf", 0},
        {m_folder + L"\\" + std::wstring(40000, L'x'), 0},  // one level of 40000 characters
        {LongForm(m_folder + L"\\" + std::wstring(40000, L'x')), 0},
    };
    for (const auto& [path, error] : cases)
    {
        SCOPED_TRACE(testing::PrintToString(path.substr(0, 300)));
        SetLastError(0);
        EXPECT_FALSE(CreateDirectoryTree(path.c_str()));
        EXPECT_TRUE(error ? GetLastError() == error : GetLastError() != 0) << GetLastError();
    }
    EXPECT_TRUE(FileExists(file.c_str()));
    EXPECT_FALSE(DirectoryExists((file + L"\\sub").c_str()));

    // Ten thousand levels, most of them beyond the longest path the system takes: the walk must not
    // exhaust the stack, and the levels the file system holds are created on the way.
    const std::wstring first = LongForm(m_folder + L"\\" + std::wstring(250, L'n'));
    std::wstring deep = first;
    for (int i = 1; i < 130; ++i)
        deep += L"\\" + std::wstring(250, L'n');
    for (int i = 0; i < 10000; ++i)
        deep += L"\\a";
    EXPECT_FALSE(CreateDirectoryTree(deep.c_str()));
    EXPECT_TRUE(DirectoryExists(first.c_str()));
}

}  // namespace
