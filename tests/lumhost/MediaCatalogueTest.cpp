#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>
#include "tests/support/TempFolder.h"
#include "tests/support/TestSync.h"
#include "contentdb/ContentConstants.h"
#include "standins/ContentDbCatalogue.h"
#include "tools/lumhost/MediaCatalogue.h"

namespace
{
struct Notification
{
    std::wstring id;
    LONG itemClass;
    LONG kind;
};

// A catalogue over a fresh folder, with what its listener heard and what the database notified.
class MediaCatalogueTest : public ::testing::Test
{
protected:
    static constexpr DWORD kSettle = CMediaCatalogue::kSettleMs;

    MediaCatalogueTest() : catalogue(database)
    {
        database.SetChangeHook([this](const std::wstring& id, LONG itemClass, LONG kind) {
            notifications.push_back({id, itemClass, kind});
        });
        catalogue.SetListener([this](const CatalogueEvent& event) { events.push_back(event); });
    }

    std::vector<CatalogueChange> Changes() const
    {
        std::vector<CatalogueChange> changes;
        for (const CatalogueEvent& event : events)
            changes.push_back(event.change);
        return changes;
    }

    CTempFolder folder;
    CContentDbCatalogue database;
    CMediaCatalogue catalogue;
    std::vector<CatalogueEvent> events;
    std::vector<Notification> notifications;
};

TEST_F(MediaCatalogueTest, ScanCataloguesOddNamesEmptyLockedAndDeepFilesAndLeavesOthersOut)
{
    // Deep enough that the file's path is well past MAX_PATH.
    std::wstring deep = folder.Path();
    for (int level = 0; level < 4; ++level)
    {
        deep += L"\\" + std::wstring(70, static_cast<wchar_t>(L'a' + level));
        ASSERT_TRUE(MakeFolder(deep));
    }
    const std::wstring deepFile = deep + L"\\deep clip.MP4";
    ASSERT_GT(deepFile.size(), static_cast<size_t>(MAX_PATH));

    const struct Expected { std::wstring path; LONG itemClass; const wchar_t* mimePrefix; } media[] = {
        {folder / L"holiday clip (1).mp4", kItemClassVideo, L"video/"},
        {folder / L"Ünïcödé été – 日本.jpg", kItemClassImage, L"image/"},
        {folder / L"empty.png", kItemClassImage, L"image/"},
        {folder / L"locked song.mp3", kItemClassAudio, L"audio/"},
        {deepFile, kItemClassVideo, L"video/"},
    };
    for (const Expected& file : media)
        ASSERT_TRUE(WriteTestFile(file.path, file.path == folder / L"empty.png" ? 0 : 10));
    ASSERT_TRUE(WriteTestFile(folder / L"notes.txt", 5));
    ASSERT_TRUE(WriteTestFile(folder / L"README", 5));
    // Held open with no sharing at all: only its name and size are looked at.
    CScopedHandle locked(CreateFileW((folder / L"locked song.mp3").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked.IsValid());

    const CMediaCatalogue::ScanResult scan = catalogue.Scan(folder.Path(), false, 1000);
    EXPECT_EQ(5u, scan.mediaFiles);
    EXPECT_EQ(2u, scan.otherFiles);
    EXPECT_EQ(0u, scan.unreadableFolders);
    EXPECT_TRUE(events.empty());  // a silent scan
    EXPECT_EQ(5u, catalogue.Count());
    EXPECT_EQ(5u, notifications.size());

    CatalogueEvent item;
    for (const Expected& file : media)
    {
        ASSERT_TRUE(catalogue.Find(file.path, item)) << std::string(file.path.begin(), file.path.end());
        EXPECT_EQ(0u, item.mimeType.find(file.mimePrefix));
        EXPECT_EQ(file.path, catalogue.PathOfItem(item.itemId));
        // The database item carries the class, the path and the MIME type.
        const ContentDbItemPtr stored = database.Find(item.itemId);
        ASSERT_TRUE(stored);
        EXPECT_EQ(file.itemClass, stored->itemClass);
        std::wstring path, mimeType;
        stored->GetText(kPropPath, path);
        stored->GetText(kPropMimeType, mimeType);
        EXPECT_EQ(file.path, path);
        EXPECT_EQ(item.mimeType, mimeType);
    }
    EXPECT_FALSE(catalogue.Find(folder / L"notes.txt", item));
    // Any letter case finds the file, as Windows paths go.
    EXPECT_TRUE(catalogue.Find(folder / L"EMPTY.PNG", item));
}

TEST_F(MediaCatalogueTest, NewFilesAreReportedAtOnceAndChangesOnceTheFileHasSettled)
{
    const std::wstring clip = folder / L"rec.mp4";
    ASSERT_TRUE(WriteTestFile(clip, 0));
    catalogue.PathAppeared(clip, 10000);
    ASSERT_EQ(std::vector<CatalogueChange>{CatalogueChange::Added}, Changes());
    ASSERT_EQ(1u, notifications.size());
    EXPECT_EQ(1, notifications[0].kind);

    // A recording grows: each change pushes the report back.
    size_t bytes = 100;
    for (DWORD now : {11000, 12500, 14000})
    {
        ASSERT_TRUE(WriteTestFile(clip, bytes += 100));
        catalogue.PathChanged(clip, now);
        catalogue.FlushChanges(now + kSettle - 1);
    }
    EXPECT_EQ(1u, events.size());
    EXPECT_EQ(1u, notifications.size());

    catalogue.FlushChanges(14000 + kSettle);
    ASSERT_EQ((std::vector<CatalogueChange>{CatalogueChange::Added, CatalogueChange::Changed}), Changes());
    EXPECT_EQ(bytes, events.back().size);
    ASSERT_EQ(2u, notifications.size());
    EXPECT_EQ(1, notifications[1].kind);
    EXPECT_EQ(notifications[0].id, notifications[1].id);  // the same item

    // An event that changed nothing (same size, same time) is no change.
    catalogue.PathChanged(clip, 20000);
    catalogue.FlushChanges(30000);
    EXPECT_EQ(2u, notifications.size());
}

TEST_F(MediaCatalogueTest, RemovalOfAFileOrAFolderNotifiesEachMediaItemOnce)
{
    ASSERT_TRUE(MakeFolder(folder / L"sub"));
    ASSERT_TRUE(WriteTestFile(folder / L"sub\\a.jpg", 1));
    ASSERT_TRUE(WriteTestFile(folder / L"sub\\b.mp4", 1));
    ASSERT_TRUE(WriteTestFile(folder / L"sub\\c.txt", 1));
    ASSERT_TRUE(WriteTestFile(folder / L"subway.jpg", 1));  // same prefix, not in the folder
    catalogue.Scan(folder.Path(), false, 0);
    notifications.clear();

    catalogue.PathRemoved(folder / L"sub");
    EXPECT_EQ((std::vector<CatalogueChange>{CatalogueChange::Removed, CatalogueChange::Removed}), Changes());
    ASSERT_EQ(2u, notifications.size());
    EXPECT_EQ(2, notifications[1].kind);
    EXPECT_EQ(1u, catalogue.Count());

    catalogue.PathRemoved(folder / L"SUBWAY.JPG");
    EXPECT_EQ(0u, catalogue.Count());
    EXPECT_EQ(0u, database.Count());
    // Gone already: nothing more to tell.
    catalogue.PathRemoved(folder / L"subway.jpg");
    EXPECT_EQ(3u, notifications.size());
}

TEST_F(MediaCatalogueTest, AFolderThatAppearsIsScannedWithItsFiles)
{
    ASSERT_TRUE(MakeFolder(folder / L"moved in"));
    ASSERT_TRUE(MakeFolder(folder / L"moved in\\deeper"));
    ASSERT_TRUE(WriteTestFile(folder / L"moved in\\deeper\\x.png", 4));
    ASSERT_TRUE(WriteTestFile(folder / L"moved in\\y.txt", 4));
    catalogue.PathAppeared(folder / L"moved in", 500);
    EXPECT_EQ((std::vector<CatalogueChange>{CatalogueChange::NotMedia, CatalogueChange::Added}), Changes());
    EXPECT_EQ(1u, catalogue.Count());

    // A name that is gone again by the time it is looked at is left to its removal event. Other
    // files are mentioned once, and never notified.
    catalogue.PathAppeared(folder / L"vanished.jpg", 600);
    ASSERT_TRUE(WriteTestFile(folder / L"moved in\\y.txt", 8));
    catalogue.PathChanged(folder / L"moved in\\y.txt", 700);
    catalogue.FlushChanges(100000);
    catalogue.PathRemoved(folder / L"moved in\\y.txt");
    EXPECT_EQ(2u, events.size());
    EXPECT_EQ(1u, notifications.size());
}

TEST_F(MediaCatalogueTest, ARescanFindsWhatHappenedUnseen)
{
    ASSERT_TRUE(WriteTestFile(folder / L"kept.jpg", 1));
    ASSERT_TRUE(WriteTestFile(folder / L"deleted.jpg", 1));
    ASSERT_TRUE(WriteTestFile(folder / L"grown.mp4", 1));
    catalogue.Scan(folder.Path(), false, 0);
    notifications.clear();

    ASSERT_TRUE(DeleteFileW((folder / L"deleted.jpg").c_str()));
    ASSERT_TRUE(WriteTestFile(folder / L"grown.mp4", 50));
    ASSERT_TRUE(WriteTestFile(folder / L"new.mp3", 1));
    const CMediaCatalogue::ScanResult scan = catalogue.Scan(folder.Path(), true, 5000);
    EXPECT_EQ(3u, scan.mediaFiles);
    catalogue.FlushChanges(5000 + kSettle);

    std::vector<CatalogueChange> changes = Changes();
    std::sort(changes.begin(), changes.end());
    EXPECT_EQ((std::vector<CatalogueChange>{CatalogueChange::Added, CatalogueChange::Changed, CatalogueChange::Removed}),
              changes);
    EXPECT_EQ(3u, notifications.size());
    CatalogueEvent item;
    EXPECT_FALSE(catalogue.Find(folder / L"deleted.jpg", item));
    EXPECT_TRUE(catalogue.Find(folder / L"new.mp3", item));
}
}  // namespace
