#include <gtest/gtest.h>
#include <string>
#include "tools/lumhost/MediaTypes.h"
#include "tools/lumhost/Timeline.h"

namespace
{
TEST(LumHostText, ElapsedTimeSizesAndCategories)
{
    EXPECT_EQ(L"+0.0s", FormatElapsed(1000, 1099));
    EXPECT_EQ(L"+31.2s", FormatElapsed(5000, 36299));
    EXPECT_EQ(L"+3600.0s", FormatElapsed(0, 3600000));
    EXPECT_EQ(L"+0.5s", FormatElapsed(0xFFFFFF00u, 0x100u));  // 512 ms across the tick wrap

    EXPECT_EQ(L"0 bytes", FormatSize(0));
    EXPECT_EQ(L"1023 bytes", FormatSize(1023));
    EXPECT_EQ(L"1.0 KB", FormatSize(1024));
    EXPECT_EQ(L"1023.9 KB", FormatSize(1024 * 1024 - 1));
    EXPECT_EQ(L"1.9 MB", FormatSize(2000000));
    EXPECT_EQ(L"5120.0 MB", FormatSize(5ULL << 30));  // beyond 32 bits

    EXPECT_EQ(L"none (0x00)", DescribeCategory(0));
    EXPECT_EQ(L"video, analogue source (0x01)", DescribeCategory(0x01));
    EXPECT_EQ(L"video, digital source (0x02)", DescribeCategory(0x02));
    EXPECT_EQ(L"video (0x04)", DescribeCategory(0x04));
    EXPECT_EQ(L"image (0x08)", DescribeCategory(0x08));
    EXPECT_EQ(L"audio (0x10)", DescribeCategory(0x10));
    EXPECT_EQ(L"audio, marked (0x20)", DescribeCategory(0x20));
    EXPECT_EQ(L"0x0C", DescribeCategory(0x0C));  // never one category
}

TEST(LumHostMediaTypes, ClassAndMimeTypeFromTheName)
{
    const struct
    {
        std::wstring path;
        LONG itemClass;
        const wchar_t* mimePrefix;  // the MIME type starts with it
    } cases[] = {
        {L"C:\\m\\CLIP.MP4", 300, L"video/"},
        {L"C:\\m\\show.ts", 300, L"video/"},
        {L"C:\\m\\a.vdq", 300, L"video/Vidrane"},
        {L"C:\\m\\rec.dvr-ms", 300, L"video/dvr-ms"},
        {L"C:\\m\\Été 2024.JPG", 200, L"image/"},
        {L"C:\\m\\song.mp3", 100, L"audio/"},
        {L"C:\\m\\notes.txt", 0, L""},
        {L"C:\\m\\no extension", 0, L"application/octet-stream"},
        {L"C:\\m.jpg\\no extension", 0, L"application/octet-stream"},
        {L"C:\\m\\trailing dot.", 0, L""},
        {L"", 0, L""},
        {L"C:\\m\\x." + std::wstring(300, L'a'), 0, L""},  // overlong: no media file, and nothing thrown
    };
    for (const auto& c : cases)
    {
        const CMediaType type = GetMediaTypeOfFile(c.path);
        EXPECT_EQ(c.itemClass, type.itemClass) << std::string(c.path.begin(), c.path.end());
        EXPECT_EQ(0u, type.mimeType.find(c.mimePrefix)) << std::string(type.mimeType.begin(), type.mimeType.end());
    }
}
}  // namespace
