#include <gtest/gtest.h>
#include <algorithm>
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

std::wstring NameOnly(const std::wstring& path)
{
    return path.substr(path.rfind(L'\\') + 1);
}

// Fates of `count` files: every third dropped, every other handed off as an image, the rest pending.
std::vector<CFileFates::Fate> MixedFates(size_t count)
{
    CFileFates fates;
    for (size_t i = 0; i < count; ++i)
    {
        const std::wstring path = L"C:\\m\\f" + std::to_wstring(i) + L".jpg";
        fates.Notified(path, 1, 0);
        if (i % 3 != 0 && i % 2 == 0)
            fates.HandedOff(path, 0x08, 100);
    }
    fates.PendingCountChanged(0, kDelivered);  // every file still waiting: dropped
    fates.Notified(L"C:\\m\\late.jpg", 1, kDelivered);  // still pending
    return fates.Fates();
}

TEST(FileFates, TheSummaryCountsEachKindWithExamplesAndListsEveryFileOnlyWhenFewOrAsked)
{
    const struct
    {
        size_t files;
        bool everyFile;
        bool listed;
    } cases[] = {{kListEveryUpTo - 1, false, true}, {kListEveryUpTo + 10, false, false}, {kListEveryUpTo + 10, true, true}};
    for (const auto& c : cases)
    {
        const std::vector<CFileFates::Fate> fates = MixedFates(c.files);
        const std::vector<std::wstring> lines = SummariseFates(fates, NameOnly, c.everyFile);
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(L"What the plug-in did with the " + std::to_wstring(c.files + 1) + L" file(s) it was told about:", lines[0]);
        size_t handed = 0;
        for (const CFileFates::Fate& fate : fates)
            handed += fate.state == CFileFates::State::HandedOff;
        const auto kindLine = [&](const std::wstring& kind) {
            const auto found = std::find_if(lines.begin(), lines.end(),
                                            [&](const std::wstring& line) { return line.find(L"  " + kind) == 0; });
            return found == lines.end() ? std::wstring() : *found;
        };
        const std::wstring handedLine = kindLine(L"handed off as image (0x08)");
        EXPECT_NE(std::wstring::npos, handedLine.find(L" " + std::to_wstring(handed) + L"  e.g. f2.jpg, f4.jpg, f8.jpg, ..."))
            << std::string(handedLine.begin(), handedLine.end());
        EXPECT_NE(std::wstring::npos, kindLine(L"dropped by the plug-in").find(L"e.g. f0.jpg, f1.jpg, f3.jpg, ..."));
        EXPECT_NE(std::wstring::npos, kindLine(L"still pending").find(L"  " + std::wstring(5, L' ') + L"1  late.jpg"));  // alone: no "e.g."

        const bool each = std::find(lines.begin(), lines.end(), L"Each file:") != lines.end();
        EXPECT_EQ(c.listed, each) << c.files;
        EXPECT_EQ(c.listed ? 4 + 1 + c.files + 1 : 5u, lines.size()) << c.files;
    }
    EXPECT_EQ(std::vector<std::wstring>{L"No file was notified to the plug-in."}, SummariseFates({}, NameOnly, true));
}
}  // namespace
