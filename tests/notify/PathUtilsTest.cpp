#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>
#include <string>
#include <vector>
#include "common/Path.h"

namespace
{
std::wstring Repeat(wchar_t ch, size_t count)
{
    return std::wstring(count, ch);
}

std::wstring Text(const CString& s)
{
    return std::wstring(s.GetString(), static_cast<size_t>(s.GetLength()));
}

// Removes a folder and everything in it, through the "\\?\" form so that long and deep paths go
// too. Iterative: trees in these tests may be thousands of levels deep.
void RemoveTree(const std::wstring& root)
{
    std::vector<std::wstring> folders{root};
    for (size_t i = 0; i < folders.size(); ++i)
    {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((folders[i] + L"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            continue;
        do
        {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folders[i] + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                folders.push_back(path);
            else
            {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        RemoveDirectoryW(it->c_str());
}

// A fresh folder under the temp path for each test, removed with its contents afterwards.
class PathUtilsFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        wchar_t base[MAX_PATH + 1] = {};
        ASSERT_NE(0u, GetTempPathW(MAX_PATH + 1, base));
        static LONG counter = 0;
        m_folder = std::wstring(base) + L"lumpaths-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(InterlockedIncrement(&counter));
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
    }
    void TearDown() override
    {
        RemoveTree(L"\\\\?\\" + m_folder);
        EXPECT_FALSE(DirectoryExists(m_folder.c_str()));
    }

    void WriteFile(const std::wstring& path)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        CloseHandle(file);
    }

    std::wstring m_folder;  // no trailing "\"
};

TEST(PathUtils, MakeLongPathPrefixesOnlyLongPaths)
{
    const std::wstring local259 = L"C:\\" + Repeat(L'a', 256);
    const std::wstring local260 = L"C:\\" + Repeat(L'a', 257);
    const std::wstring folder247 = L"C:\\" + Repeat(L'a', 244);
    const std::wstring folder248 = L"C:\\" + Repeat(L'a', 245);
    const std::wstring share300 = L"\\\\srv\\share\\" + Repeat(L'b', 288);
    const std::wstring long300 = L"\\\\?\\C:\\" + Repeat(L'c', 293);
    struct Case
    {
        std::wstring path;
        bool always;
        bool forDirectory;
        std::wstring expected;
    };
    const Case cases[] = {
        {local259, false, false, local259},
        {local260, false, false, L"\\\\?\\" + local260},
        {folder247, false, true, folder247},
        {folder248, false, true, L"\\\\?\\" + folder248},
        {folder248, false, false, folder248},
        {share300, false, false, L"\\\\?\\UNC\\srv\\share\\" + Repeat(L'b', 288)},
        {long300, false, false, long300},
        {long300, true, false, long300},
        {L"C:\\a", true, false, L"\\\\?\\C:\\a"},
        {L"\\\\s\\x", true, true, L"\\\\?\\UNC\\s\\x"},
        {L"rel\\file", true, false, L"\\\\?\\rel\\file"},
        {L"C:\\", true, false, L"C:\\"},
        {L"", true, true, L""},
        {L"\\\\?\\", true, false, L"\\\\?\\"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "length " << c.path.size() << " always " << c.always << " dir "
                                        << c.forDirectory);
        EXPECT_EQ(c.expected, Text(MakeLongPath(CString(c.path.c_str()), c.always, c.forDirectory)));
    }
}

TEST(PathUtils, LongPathPrefixIsStrippedAndMeasured)
{
    struct Case
    {
        const wchar_t* path;
        const wchar_t* stripped;
        int prefixLength;
    };
    const Case cases[] = {
        {L"\\\\?\\UNC\\srv\\share", L"\\\\srv\\share", 7},
        {L"\\\\?\\C:\\x", L"C:\\x", 4},
        {L"\\\\?\\", L"", 4},
        {L"\\\\?\\UNC\\", L"UNC\\", 7},  // nothing after the UNC prefix: only "\\?\" goes
        {L"\\\\?\\UNC", L"UNC", 4},
        {L"\\\\?\\unc\\srv\\share", L"unc\\srv\\share", 4},  // the UNC marker is upper case
        {L"\\\\?", L"\\\\?", 0},
        {L"\\\\.\\C:", L"\\\\.\\C:", 0},
        {L"\\\\srv\\share", L"\\\\srv\\share", 0},
        {L"C:\\x", L"C:\\x", 0},
        {L"", L"", 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "path " << testing::PrintToString(std::wstring(c.path)));
        EXPECT_EQ(std::wstring(c.stripped), Text(StripLongPathPrefix(CString(c.path))));
        EXPECT_EQ(c.prefixLength, GetLongPathPrefixLength(c.path));
    }
    EXPECT_EQ(0, GetLongPathPrefixLength(nullptr));
}

TEST(PathUtils, PathRootOfDrivesSharesAndRelativePaths)
{
    struct Case
    {
        const wchar_t* path;
        const wchar_t* root;
    };
    const Case cases[] = {
        {L"C:\\dir\\file.mp4", L"C:\\"},
        {L"C:", L"C:\\"},
        {L"\\\\?\\C:\\a\\b", L"C:\\"},
        {L"\\\\srv\\share\\dir\\file", L"\\\\srv\\share\\"},
        {L"\\\\srv\\share", L"\\\\srv\\share\\"},
        {L"\\\\srv\\share\\", L"\\\\srv\\share\\"},
        {L"\\\\?\\UNC\\srv\\share\\x", L"\\\\srv\\share\\"},
        {L"\\\\srv", L""},  // a bare server name has no root
        {L"\\\\", L""},
        {L"dir\\file", L""},
        {L"\\dir\\file", L""},
        {L"", L""},
        {L"x", L"x"},  // too short to have a root: returned as it is
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "path " << testing::PrintToString(std::wstring(c.path)));
        EXPECT_EQ(std::wstring(c.root), Text(GetPathRoot(CString(c.path))));
    }
}

TEST(PathUtils, UncSharePathNeedsServerAndShare)
{
    struct Case
    {
        const wchar_t* path;
        bool expected;
    };
    const Case cases[] = {
        {L"\\\\srv\\share", true},
        {L"\\\\srv\\share\\dir\\file", true},
        {L"\\\\srv\\s", true},
        {L"\\\\?\\UNC\\srv\\share", true},
        {L"\\\\srv", false},
        {L"\\\\srv\\", false},
        {L"\\\\?\\UNC\\srv", false},
        {L"\\\\?\\UNC\\srv\\", false},
        {L"\\\\?\\C:\\a\\b", false},
        {L"\\\\\\srv\\share", false},
        {L"C:\\a\\b\\c", false},
        {L"\\\\", false},
        {L"", false},
        {nullptr, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "path " << testing::PrintToString(std::wstring(c.path ? c.path : L"(null)")));
        EXPECT_EQ(c.expected, IsUncSharePath(c.path));
    }
}

TEST(PathUtils, HugeTextsAreHandledWhole)
{
    const std::wstring tail = Repeat(L'x', 40000);
    EXPECT_EQ(L"\\\\?\\C:\\" + tail, Text(MakeLongPath(CString((L"C:\\" + tail).c_str()), false, false)));
    EXPECT_EQ(L"\\\\?\\UNC\\srv\\" + tail, Text(MakeLongPath(CString((L"\\\\srv\\" + tail).c_str()), false, false)));
    EXPECT_EQ(L"C:\\" + tail, Text(StripLongPathPrefix(CString((L"\\\\?\\C:\\" + tail).c_str()))));
    EXPECT_EQ(L"\\\\srv\\" + tail + L"\\", Text(GetPathRoot(CString((L"\\\\srv\\" + tail).c_str()))));
    EXPECT_EQ(L"", Text(GetPathRoot(CString((L"\\\\" + tail).c_str()))));
    EXPECT_FALSE(IsUncSharePath((L"\\\\" + tail).c_str()));
    EXPECT_TRUE(IsUncSharePath((L"\\\\" + tail + L"\\s").c_str()));
    EXPECT_FALSE(IsUncSharePath((L"\\\\" + tail + L"\\").c_str()));
}

TEST(PathUtils, SpecialFolderGetsInnerAndSubPaths)
{
    wchar_t folder[MAX_PATH] = {};
    ASSERT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder));
    const std::wstring base = std::wstring(folder) + L"\\";
    struct Case
    {
        const wchar_t* subPath;
        const wchar_t* innerPath;
        std::wstring expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, base},
        {L"Tessaly Corporation\\LUM Siftwell\\", nullptr, base + L"Tessaly Corporation\\LUM Siftwell\\"},
        {L"Sub", nullptr, base + L"Sub\\"},
        {L"Sub", L"Inner", base + L"Inner\\Sub\\"},
        {L"Sub\\", L"Inner\\", base + L"Inner\\Sub\\"},
        {nullptr, L"Inner", base + L"Inner\\"},
        {L"", L"", base},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "expected " << testing::PrintToString(c.expected));
        CString out(L"before");
        EXPECT_TRUE(GetSpecialFolderPath(CSIDL_COMMON_APPDATA, out, c.subPath, c.innerPath));
        EXPECT_EQ(c.expected, Text(out));
    }
}

TEST(PathUtils, SpecialFolderFallsBackToTheCurrentDirectory)
{
    wchar_t current[MAX_PATH] = {};
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, current));
    std::wstring expected = current;
    if (expected.back() != L'\\')
        expected += L'\\';
    CString out(L"before");
    // No such special folder.
    EXPECT_FALSE(GetSpecialFolderPath(0x7F, out, L"Sub", L"Inner"));
    EXPECT_EQ(expected, Text(out));
}

TEST_F(PathUtilsFiles, ExistenceOfFilesAndFolders)
{
    const std::wstring file = m_folder + L"\\clip.mp4";
    WriteFile(file);
    const std::wstring longFolder = m_folder + L"\\" + Repeat(L'd', 200);
    const std::wstring longFile = longFolder + L"\\" + Repeat(L'f', 100) + L".mp4";
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + longFolder).c_str(), nullptr));
    WriteFile(L"\\\\?\\" + longFile);
    ASSERT_GE(longFile.size(), 300u);

    struct Case
    {
        std::wstring path;
        bool file;
        bool folder;
    };
    const Case cases[] = {
        {file, true, false},
        {m_folder, false, true},
        {m_folder + L"\\", false, true},
        {m_folder + L"\\missing.mp4", false, false},
        {m_folder + L"\\missing\\clip.mp4", false, false},
        {file + L"\\below", false, false},
        {L"\\\\?\\" + longFolder, false, true},
        {L"\\\\?\\" + longFile, true, false},
        {Text(MakeLongPath(CString(longFile.c_str()), false, false)), true, false},
        {Text(MakeLongPath(CString(longFolder.c_str()), false, true)), false, true},
        {m_folder + L"\\" + Repeat(L'x', 40000), false, false},
        {L"", false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "path " << testing::PrintToString(c.path.substr(0, 300)));
        EXPECT_EQ(c.file, FileExists(c.path.c_str()));
        EXPECT_EQ(c.folder, DirectoryExists(c.path.c_str()));
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
    const std::wstring l = L"\\\\?\\" + m_folder + L"\\" + Repeat(L'l', 120);
    const std::wstring l2 = l + L"\\" + Repeat(L'm', 120);
    const std::wstring l3 = l2 + L"\\" + Repeat(L'n', 120);
    const Case cases[] = {
        {"three levels", a + L"\\b\\c", {a, a + L"\\b", a + L"\\b\\c"}},
        {"one more under an existing one", a + L"\\b\\c\\d", {a + L"\\b\\c\\d"}},
        {"trailing backslash", m_folder + L"\\t\\u\\", {m_folder + L"\\t", m_folder + L"\\t\\u"}},
        {"doubled backslash", m_folder + L"\\v\\\\w", {m_folder + L"\\v", m_folder + L"\\v\\\\w"}},
        {"long form, 360 characters and more", l3, {l, l2, l3}},
        {"existing", m_folder, {m_folder}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(CreateDirectoryTree(c.path.c_str()));
        for (const std::wstring& level : c.levels)
            EXPECT_TRUE(DirectoryExists(level.c_str())) << testing::PrintToString(level);
    }
    EXPECT_TRUE(CreateDirectoryTree((a + L"\\b\\c").c_str()));
}

TEST_F(PathUtilsFiles, CreateDirectoryTreeOfARelativePath)
{
    wchar_t previous[MAX_PATH] = {};
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, previous));
    ASSERT_TRUE(SetCurrentDirectoryW(m_folder.c_str()));
    const BOOL created = CreateDirectoryTree(L"rel\\a\\b");
    SetCurrentDirectoryW(previous);
    EXPECT_TRUE(created);
    EXPECT_TRUE(DirectoryExists((m_folder + L"\\rel\\a\\b").c_str()));
}

TEST_F(PathUtilsFiles, CreateDirectoryTreeFailsWhereAFileIsInTheWay)
{
    const std::wstring file = m_folder + L"\\clip.mp4";
    WriteFile(file);

    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryTree(file.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_TRUE(FileExists(file.c_str()));

    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryTree((file + L"\\sub\\leaf").c_str()));
    EXPECT_NE(0u, GetLastError());
    EXPECT_FALSE(DirectoryExists((file + L"\\sub").c_str()));
}

TEST_F(PathUtilsFiles, CreateDirectoryTreeRejectsEmptyAndHugePaths)
{
    EXPECT_FALSE(CreateDirectoryTree(nullptr));
    EXPECT_FALSE(CreateDirectoryTree(L""));

    // One level of 40000 characters: nothing can be created.
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryTree((m_folder + L"\\" + Repeat(L'x', 40000)).c_str()));
    EXPECT_NE(0u, GetLastError());
    EXPECT_FALSE(CreateDirectoryTree((L"\\\\?\\" + m_folder + L"\\" + Repeat(L'x', 40000)).c_str()));

    // Ten thousand levels, most of them beyond the longest path the system takes: the walk must not
    // exhaust the stack, and the levels the file system holds are created on the way.
    const std::wstring first = L"\\\\?\\" + m_folder + L"\\" + Repeat(L'n', 250);
    std::wstring deep = first;
    for (int i = 1; i < 130; ++i)
        deep += L"\\" + Repeat(L'n', 250);
    for (int i = 0; i < 10000; ++i)
        deep += L"\\a";
    ASSERT_GT(deep.size(), 50000u);
    EXPECT_FALSE(CreateDirectoryTree(deep.c_str()));
    EXPECT_TRUE(DirectoryExists(first.c_str()));
}

}  // namespace
