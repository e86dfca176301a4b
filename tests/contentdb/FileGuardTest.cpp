// The file guard on the clean-up's deletions and the repair's overwrite: what it refuses, that a
// refusal is a failed deletion the host can see, and that ordinary files still go. The protected
// list is pointed at a test folder; the system's own list is only opened against, never deleted in.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "common/GuardedFile.h"
#include "common/Path.h"
#include "common/ProtectedLocations.h"
#include "contentdb/KdCdbMgr.h"
#include "contentdb/RefusedFileChanges.h"
#include "standins/DirectoryLink.h"
#include "tests/support/TempFolder.h"

namespace
{
bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

FileGuardRefusal OpenForDelete(const std::wstring& path)
{
    CScopedHandle file;
    return OpenGuardedFile(path.c_str(), GuardedAccess::Delete, file);
}

std::string Content(const std::wstring& path)
{
    CScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    char buffer[256];
    DWORD read = 0;
    ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr);
    return std::string(buffer, read);
}

void WriteContent(const std::wstring& path, const std::string& text)
{
    CScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
}

class FileGuardTest : public testing::Test
{
protected:
    void SetUp() override
    {
        const std::vector<CString> folders{CString(m_protected.Path().c_str())};
        SetProtectedFoldersForTest(&folders);
        WriteContent(m_protected / L"keep.txt", "system");
        WriteContent(m_media / L"clip.mp4", "clip");
        CreateDirectoryW((m_media / L"sub").c_str(), nullptr);
    }
    void TearDown() override { SetProtectedFoldersForTest(nullptr); }

    CTempFolder m_media{L"lumguard"};
    CTempFolder m_protected{L"lumprotected"};
};
}  // namespace

TEST_F(FileGuardTest, RefusesProtectedPlacesDevicesStreamsDirectoriesAndVolumeRoots)
{
    const std::wstring clip = m_media / L"clip.mp4";
    const std::wstring inRoot = L"C:\\lumguard-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    WriteContent(inRoot, "root");
    const struct
    {
        std::wstring path;
        FileGuardRefusal refusal;
    } cases[] = {
        {m_protected / L"keep.txt", FileGuardRefusal::ProtectedLocation},
        {m_media / L"sub\\..\\..\\" + m_protected.Path().substr(m_protected.Path().rfind(L'\\') + 1) + L"\\keep.txt",
         FileGuardRefusal::ProtectedLocation},
        {L"\\\\.\\" + clip, FileGuardRefusal::DeviceNamespace},
        {L"//./" + clip, FileGuardRefusal::DeviceNamespace},
        {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x.mp4", FileGuardRefusal::DeviceNamespace},
        {L"\\??\\" + clip, FileGuardRefusal::DeviceNamespace},
        {clip + L":hidden", FileGuardRefusal::AlternateStream},
        {clip + L"::$DATA", FileGuardRefusal::AlternateStream},
        {L"\\\\?\\" + clip + L":hidden", FileGuardRefusal::AlternateStream},
        {m_media / L"sub", FileGuardRefusal::Directory},
        {L"C:\\", FileGuardRefusal::VolumeRoot},
        {inRoot, FileGuardRefusal::VolumeRoot},
        {L"", FileGuardRefusal::EmptyPath},
        {m_media / L"missing.mp4", FileGuardRefusal::OpenFailed},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::string(c.path.begin(), c.path.end()));
        EXPECT_EQ(c.refusal, OpenForDelete(c.path)) << "expected: " << static_cast<int>(c.refusal);
    }
    EXPECT_TRUE(Exists(m_protected / L"keep.txt"));
    EXPECT_TRUE(Exists(clip));
    EXPECT_TRUE(Exists(inRoot));
    DeleteFileW(inRoot.c_str());

    // The system's own list, only opened against.
    SetProtectedFoldersForTest(nullptr);
    wchar_t windows[MAX_PATH];
    ASSERT_NE(0u, GetWindowsDirectoryW(windows, MAX_PATH));
    wchar_t system[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    EXPECT_EQ(FileGuardRefusal::ProtectedLocation, OpenForDelete(std::wstring(windows) + L"\\win.ini"));
    EXPECT_EQ(FileGuardRefusal::ProtectedLocation, OpenForDelete(std::wstring(system) + L"\\kernel32.dll"));
    EXPECT_TRUE(IsProtectedLocation(GetProductDataFolder() + L"DbWexDelayQueue.dat"));
    EXPECT_FALSE(IsProtectedLocation(CString(clip.c_str())));
}

TEST_F(FileGuardTest, RefusedDeletionFailsLikeAnyOtherAndIsRecordedWhileOrdinaryFilesGo)
{
    const ULONG before = RefusedFileChangeCount();
    const std::wstring kept = m_protected / L"keep.txt";
    EXPECT_FALSE(DeleteFileAsUser(kept.c_str()));
    EXPECT_TRUE(Exists(kept));
    EXPECT_EQ(before + 1, RefusedFileChangeCount());
    ASSERT_FALSE(RecentRefusedFileChanges().empty());
    EXPECT_EQ(CString(L"deletion refused, a protected location: ") + kept.c_str(), RecentRefusedFileChanges().back());

    // A file that is simply not there is a failed deletion, not a refusal.
    EXPECT_FALSE(DeleteFileAsUser((m_media / L"missing.mp4").c_str()));
    EXPECT_EQ(before + 1, RefusedFileChangeCount());

    // Ordinary files go, long paths included.
    const std::wstring deep = m_media.Path() + L"\\" + std::wstring(240, L'd');
    ASSERT_TRUE(CreateDirectoryW(LongForm(deep).c_str(), nullptr));
    const std::wstring longFile = deep + L"\\" + std::wstring(40, L'f') + L".mp4";
    WriteContent(LongForm(longFile), "long");
    for (const std::wstring& path : {m_media / L"clip.mp4", longFile})
    {
        EXPECT_TRUE(DeleteFileAsUser(path.c_str()));
        EXPECT_FALSE(Exists(LongForm(path)));
    }
    EXPECT_EQ(before + 1, RefusedFileChangeCount());
}

TEST_F(FileGuardTest, OverwriteIsGuardedAsADeletionIs)
{
    const std::wstring source = m_media / L"member.mp4";
    const std::wstring target = m_media / L"container.mp4";
    WriteContent(source, "member");
    WriteContent(target, "a longer container");
    EXPECT_TRUE(OverwriteFileGuarded(source.c_str(), target.c_str()));
    EXPECT_EQ("member", Content(target));

    const ULONG before = RefusedFileChangeCount();
    EXPECT_FALSE(OverwriteFileGuarded(source.c_str(), (m_protected / L"keep.txt").c_str()));
    EXPECT_EQ("system", Content(m_protected / L"keep.txt"));
    EXPECT_FALSE(OverwriteFileGuarded((m_protected / L"keep.txt").c_str(), target.c_str()));
    EXPECT_EQ("member", Content(target));
    EXPECT_EQ(before + 2, RefusedFileChangeCount());
}

TEST_F(FileGuardTest, FileReachedThroughADirectoryLinkIntoAProtectedFolderIsRefused)
{
    const std::wstring link = m_media / L"link";
    const CDirectoryLink made(link, m_protected.Path());
    if (!made.IsMade())
        GTEST_SKIP() << "no directory link could be made here: " << made.Why();
    const std::wstring throughLink = link + L"\\keep.txt";
    ASSERT_TRUE(Exists(throughLink));
    EXPECT_EQ(FileGuardRefusal::ProtectedLocation, OpenForDelete(throughLink));
    EXPECT_FALSE(DeleteFileAsUser(throughLink.c_str()));
    EXPECT_TRUE(Exists(m_protected / L"keep.txt"));

    // A link that is itself the file asked for goes as a link; what it points at stays.
    const std::wstring fileLink = m_media / L"file-link.txt";
    const CDirectoryLink fileMade(fileLink, m_protected / L"keep.txt", false);
    ASSERT_TRUE(fileMade.IsMade()) << fileMade.Why();
    DeleteFileAsUser(fileLink.c_str());
    EXPECT_EQ("system", Content(m_protected / L"keep.txt"));
}
