#include <gtest/gtest.h>
#include <string>
#include "tools/lumhost/MediaTypes.h"
#include "tools/lumhost/Timeline.h"

namespace
{
TEST(LumHostText, ElapsedTimeInTenthsAcrossTheTickWrap)
{
    EXPECT_EQ(L"+0.0s", FormatElapsed(1000, 1000));
    EXPECT_EQ(L"+0.0s", FormatElapsed(1000, 1099));
    EXPECT_EQ(L"+31.2s", FormatElapsed(5000, 36299));
    EXPECT_EQ(L"+3600.0s", FormatElapsed(0, 3600000));
    EXPECT_EQ(L"+0.5s", FormatElapsed(0xFFFFFF00u, 0x100u));  // 512 ms across the wrap
}

TEST(LumHostText, Sizes)
{
    EXPECT_EQ(L"0 bytes", FormatSize(0));
    EXPECT_EQ(L"1023 bytes", FormatSize(1023));
    EXPECT_EQ(L"1.0 KB", FormatSize(1024));
    EXPECT_EQ(L"1023.9 KB", FormatSize(1024 * 1024 - 1));
    EXPECT_EQ(L"1.9 MB", FormatSize(2000000));
    EXPECT_EQ(L"5120.0 MB", FormatSize(5ULL << 30));  // beyond 32 bits
}

TEST(LumHostText, CategoriesByNameAndBit)
{
    EXPECT_EQ(L"none (0x00)", DescribeCategory(0));
    EXPECT_EQ(L"video, analogue source (0x01)", DescribeCategory(0x01));
    EXPECT_EQ(L"video, digital source (0x02)", DescribeCategory(0x02));
    EXPECT_EQ(L"video (0x04)", DescribeCategory(0x04));
    EXPECT_EQ(L"image (0x08)", DescribeCategory(0x08));
    EXPECT_EQ(L"audio (0x10)", DescribeCategory(0x10));
    EXPECT_EQ(L"audio, marked (0x20)", DescribeCategory(0x20));
    EXPECT_EQ(L"0x40", DescribeCategory(0x40));
    EXPECT_EQ(L"0x0C", DescribeCategory(0x0C));  // never one category
}

struct TypeCase
{
    const wchar_t* path;
    LONG itemClass;
    const wchar_t* mimePrefix;  // the MIME type starts with it
};

class LumHostMediaTypes : public ::testing::TestWithParam<TypeCase>
{
};

TEST_P(LumHostMediaTypes, ClassAndMimeTypeFromTheName)
{
    const CMediaType type = GetMediaTypeOfFile(GetParam().path);
    EXPECT_EQ(GetParam().itemClass, type.itemClass);
    EXPECT_EQ(0u, type.mimeType.find(GetParam().mimePrefix)) << std::string(type.mimeType.begin(), type.mimeType.end());
}

INSTANTIATE_TEST_SUITE_P(
    Table, LumHostMediaTypes,
    ::testing::Values(TypeCase{L"C:\\m\\clip.mp4", 300, L"video/"}, TypeCase{L"C:\\m\\CLIP.MP4", 300, L"video/"},
                      TypeCase{L"C:\\m\\show.ts", 300, L"video/"}, TypeCase{L"C:\\m\\a.vdq", 300, L"video/Vidrane"},
                      TypeCase{L"C:\\m\\rec.dvr-ms", 300, L"video/dvr-ms"},
                      TypeCase{L"C:\\m\\photo.jpeg", 200, L"image/"}, TypeCase{L"C:\\m\\Été 2024.JPG", 200, L"image/"},
                      TypeCase{L"C:\\m\\song.mp3", 100, L"audio/"}, TypeCase{L"C:\\m\\notes.txt", 0, L""},
                      TypeCase{L"C:\\m\\no extension", 0, L"application/octet-stream"},
                      TypeCase{L"C:\\m.jpg\\no extension", 0, L"application/octet-stream"},
                      TypeCase{L"C:\\m\\trailing dot.", 0, L""}, TypeCase{L"", 0, L""}));

TEST(LumHostMediaTypes, AnOverlongExtensionIsNoMediaFileAndThrowsNothing)
{
    const std::wstring path = L"C:\\m\\x." + std::wstring(300, L'a');
    CMediaType type;
    EXPECT_NO_THROW(type = GetMediaTypeOfFile(path));
    EXPECT_EQ(0, type.itemClass);
}
}  // namespace
