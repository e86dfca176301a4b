#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "tools/lumhost/FileFates.h"

namespace
{
constexpr DWORD kDelivered = CFileFates::kDeliveredMs;

CFileFates::State StateOf(const CFileFates& fates, const std::wstring& path)
{
    for (const CFileFates::Fate& fate : fates.Fates())
    {
        if (fate.path == path)
            return fate.state;
    }
    ADD_FAILURE() << "no fate for the path";
    return CFileFates::State::Waiting;
}

TEST(FileFates, APendingCountOfZeroDropsOnlyFilesNotifiedLongEnoughAgoAndNotHandedOff)
{
    CFileFates fates;
    fates.Notified(L"C:\\m\\handed.jpg", 1, 1000);
    fates.Notified(L"C:\\m\\dropped.jpg", 1, 1000);
    fates.Notified(L"C:\\m\\fresh.jpg", 1, 5000);
    fates.Notified(L"C:\\m\\gone.mp4", 2, 1000);
    fates.HandedOff(L"c:\\M\\HANDED.JPG", 0x08, 4000);  // the plug-in's spelling may differ in case

    EXPECT_TRUE(fates.PendingCountChanged(1, 5000 + kDelivered).empty());
    EXPECT_EQ(std::vector<std::wstring>{L"C:\\m\\dropped.jpg"}, fates.PendingCountChanged(0, 5000 + kDelivered - 1));
    EXPECT_EQ(CFileFates::State::HandedOff, StateOf(fates, L"C:\\m\\handed.jpg"));
    EXPECT_EQ(CFileFates::State::Waiting, StateOf(fates, L"C:\\m\\fresh.jpg"));
    EXPECT_EQ(CFileFates::State::Removed, StateOf(fates, L"C:\\m\\gone.mp4"));

    // Found dropped once only; the fresh one goes once its notification has surely arrived.
    EXPECT_EQ(std::vector<std::wstring>{L"C:\\m\\fresh.jpg"}, fates.PendingCountChanged(0, 5000 + kDelivered));
    EXPECT_TRUE(fates.PendingCountChanged(0, 60000).empty());
}

TEST(FileFates, ANewNotificationAfterAHandOffWaitsAgain)
{
    CFileFates fates;
    fates.Notified(L"C:\\m\\rec.mp4", 1, 0);
    fates.HandedOff(L"C:\\m\\rec.mp4", 0x04, 30000);
    fates.Notified(L"C:\\m\\rec.mp4", 1, 31000);
    EXPECT_EQ(CFileFates::State::Waiting, StateOf(fates, L"C:\\m\\rec.mp4"));
    fates.Withdrawn(L"C:\\m\\rec.mp4");
    fates.HandedOff(L"C:\\m\\rec.mp4", 0x04, 61000);

    const std::vector<CFileFates::Fate> all = fates.Fates();
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(2u, all[0].notifications);
    EXPECT_EQ(2u, all[0].handOffs);
    EXPECT_EQ(1u, all[0].withdrawn);
    EXPECT_EQ(L"handed off as video (0x04); 2 hand-offs in all; 1 older request(s) withdrawn", DescribeFate(all[0]));
}

TEST(FileFates, DescriptionsSayWhatHappened)
{
    CFileFates fates;
    fates.Notified(L"a", 1, 0);
    fates.Notified(L"b", 1, 0);
    fates.HandedOff(L"b", 0x08, 1);
    fates.Notified(L"b", 2, 2);
    fates.Notified(L"c", 1, 0);
    fates.PendingCountChanged(0, 10000);
    fates.Notified(L"d", 1, 20000);

    const std::vector<CFileFates::Fate> all = fates.Fates();
    ASSERT_EQ(4u, all.size());  // in the order first notified
    EXPECT_EQ(L"dropped by the plug-in (no hand-off, nothing pending)", DescribeFate(all[0]));
    EXPECT_EQ(L"removed from the folder; handed off 1 time(s) before", DescribeFate(all[1]));
    EXPECT_EQ(L"dropped by the plug-in (no hand-off, nothing pending)", DescribeFate(all[2]));
    EXPECT_EQ(L"still pending", DescribeFate(all[3]));
}
}  // namespace
