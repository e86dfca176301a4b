#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "tools/lumhost/FileFates.h"

namespace
{
constexpr DWORD kDelivered = CFileFates::kDeliveredMs;

TEST(FileFates, APendingCountOfZeroDropsOnlyFilesNotifiedLongEnoughAgoAndNotHandedOff)
{
    CFileFates fates;
    fates.Notified(L"C:\\m\\handed.jpg", 1, 1000);
    fates.Notified(L"C:\\m\\dropped.jpg", 1, 1000);
    fates.Notified(L"C:\\m\\fresh.jpg", 1, 5000);
    fates.Notified(L"C:\\m\\gone.mp4", 1, 1000);
    fates.HandedOff(L"c:\\M\\HANDED.JPG", 0x08, 4000);  // the plug-in's spelling may differ in case
    fates.HandedOff(L"C:\\m\\gone.mp4", 0x04, 2000);
    fates.Notified(L"C:\\m\\gone.mp4", 2, 3000);

    EXPECT_TRUE(fates.PendingCountChanged(1, 5000 + kDelivered).empty());
    EXPECT_EQ(std::vector<std::wstring>{L"C:\\m\\dropped.jpg"}, fates.PendingCountChanged(0, 5000 + kDelivered - 1));
    const std::vector<CFileFates::Fate> all = fates.Fates();
    ASSERT_EQ(4u, all.size());  // in the order first notified
    EXPECT_EQ(L"handed off as image (0x08)", DescribeFate(all[0]));
    EXPECT_EQ(L"dropped by the plug-in (no hand-off, nothing pending)", DescribeFate(all[1]));
    EXPECT_EQ(L"still pending", DescribeFate(all[2]));
    EXPECT_EQ(L"removed from the folder; handed off 1 time(s) before", DescribeFate(all[3]));

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
    EXPECT_EQ(CFileFates::State::Waiting, fates.Fates()[0].state);
    fates.Withdrawn(L"C:\\m\\rec.mp4");
    fates.HandedOff(L"C:\\m\\rec.mp4", 0x04, 61000);

    const std::vector<CFileFates::Fate> all = fates.Fates();
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(2u, all[0].notifications);
    EXPECT_EQ(L"handed off as video (0x04); 2 hand-offs in all; 1 older request(s) withdrawn", DescribeFate(all[0]));
}
}  // namespace
