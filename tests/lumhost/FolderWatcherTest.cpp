#include <gtest/gtest.h>
#include <algorithm>
#include <windows.h>
#include <string>
#include <vector>
#include "tests/support/TempFolder.h"
#include "tests/support/WaitableLog.h"
#include "standins/ContentDbCatalogue.h"
#include "tools/lumhost/FolderWatcher.h"
#include "tools/lumhost/MediaCatalogue.h"

namespace
{
// The watcher over a real folder: what the file system reports reaches the catalogue.
class FolderWatcherTest : public ::testing::Test
{
protected:
    FolderWatcherTest() : catalogue(database), watcher(catalogue, nullptr)
    {
        catalogue.SetListener([this](const CatalogueEvent& event) { events.Add(event); });
    }
    ~FolderWatcherTest() override { watcher.Stop(); }

    // Waits until the listener has heard `change` for `path`.
    bool WaitFor(CatalogueChange change, const std::wstring& path)
    {
        return events.WaitUntil([&](const std::vector<CatalogueEvent>& heard) {
            return std::any_of(heard.begin(), heard.end(), [&](const auto& e) { return e.change == change && e.path == path; });
        });
    }

    CTempFolder folder;
    CContentDbCatalogue database;
    CMediaCatalogue catalogue;
    CFolderWatcher watcher;
    CWaitableLog<CatalogueEvent> events;
};

TEST_F(FolderWatcherTest, FilesThatAppearChangeAndGoReachTheCatalogue)
{
    ASSERT_EQ(S_OK, watcher.Start(folder.Path()));
    const std::wstring clip = folder / L"new clip.mp4";
    ASSERT_TRUE(WriteTestFile(clip, 10));
    ASSERT_TRUE(WaitFor(CatalogueChange::Added, clip));

    // The change is reported once the file has settled; the watcher flushes by itself.
    ASSERT_TRUE(WriteTestFile(clip, 20000));
    ASSERT_TRUE(WaitFor(CatalogueChange::Changed, clip));

    ASSERT_TRUE(MakeFolder(folder / L"sub"));
    const std::wstring photo = folder / L"sub\\été.jpg";
    ASSERT_TRUE(WriteTestFile(photo, 1));
    ASSERT_TRUE(WaitFor(CatalogueChange::Added, photo));

    const std::wstring renamed = folder / L"renamed clip.mp4";
    ASSERT_TRUE(MoveFileW(clip.c_str(), renamed.c_str()));
    ASSERT_TRUE(WaitFor(CatalogueChange::Removed, clip));
    ASSERT_TRUE(WaitFor(CatalogueChange::Added, renamed));

    ASSERT_TRUE(DeleteFileW(photo.c_str()));
    ASSERT_TRUE(WaitFor(CatalogueChange::Removed, photo));
    EXPECT_EQ(1u, catalogue.Count());
}

TEST_F(FolderWatcherTest, AMissingFolderCannotBeWatched)
{
    const HRESULT hr = watcher.Start(folder / L"missing");
    EXPECT_TRUE(hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
        << std::hex << hr;
}
}  // namespace
