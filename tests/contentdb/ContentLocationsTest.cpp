#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "contentdb/ContentLocations.h"
#include "tests/support/TempFolder.h"

namespace
{
std::wstring Text(const CString& s)
{
    return std::wstring(s.GetString(), static_cast<size_t>(s.GetLength()));
}

constexpr HRESULT W(DWORD error)
{
    return static_cast<HRESULT>(0x80070000u | error);
}

TEST(ContentLocations, PathFromLumfileUrl)
{
    struct Case
    {
        const wchar_t* text;
        const wchar_t* path;
    };
    const Case cases[] = {
        {L"lumfile:D:\\Media\\Box.lumf?track=2", L"D:\\Media\\Box.lumf"},
        {L"lumfile:D:\\Media\\Box.lumf", L"D:\\Media\\Box.lumf"},
        {L"lumfile:D:\\Why?\\Box.lumf?x", L"D:\\Why"},  // the first "?" ends the path
        {L"lumfile:", L""},
        {L"lumfile:?x", L""},
        {L"LUMFILE:D:\\Box.lumf?x", L"LUMFILE:D:\\Box.lumf?x"},  // the scheme is case-sensitive
        {L"lumfile D:\\Box.lumf", L"lumfile D:\\Box.lumf"},
        {L"D:\\Media\\What?.mp4", L"D:\\Media\\What?.mp4"},  // not a URL: "?" kept
        {L"lumfil", L"lumfil"},
        {L"", L""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        EXPECT_EQ(std::wstring(c.path), Text(PathFromLumfileUrl(c.text)));
    }
    EXPECT_EQ(L"", Text(PathFromLumfileUrl(nullptr)));
}

TEST(ContentLocations, IsLumFile)
{
    struct Case
    {
        const wchar_t* location;
        bool expected;
    };
    const Case cases[] = {
        {L"D:\\Media\\a.LUMF", true},
        {L"D:\\Media\\a.lumf", true},
        {L"lumfile:D:\\Media\\a.lumfe?x", true},
        {L"lumfile:D:\\Media\\a.LumFe", true},
        {L"lumfile:D:\\Media\\a.lumf?part.mp4", true},  // the query part is not the path
        {L"D:\\Media\\a.lumfx", false},
        {L"D:\\Media\\a.lum", false},
        {L"D:\\Media\\noextension", false},
        {L"D:\\Media.lumf\\clip", false},  // the last "." decides
        {L"D:\\Media\\a.mp4", false},
        {L"LUMFILE:D:\\a.lumf?x", false},  // not a URL, so its extension is "lumf?x"
        {L".lumf", true},
        {L"", false},
        {nullptr, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.location ? c.location : L"(null)")));
        EXPECT_EQ(c.expected, IsLumFile(c.location));
    }
}

TEST(ContentLocations, LumfileUrlFromPath)
{
    const std::wstring longTail = std::wstring(300, L'v');
    struct Case
    {
        std::wstring location;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"C:\\lumfile%3aVideos\\Box.lumf", L"lumfile:C:\\Videos\\Box.lumf"},
        {L"\\\\srv\\media\\lumfile%3aX%3A\\b.lumf", L"lumfile:\\\\srv\\media\\X:\\b.lumf"},
        {L"C:\\lumfile%3aX%3a\\y%3Az.lumf?p", L"lumfile:C:\\X:\\y:z.lumf?p"},
        {L"\\\\?\\C:\\lumfile%3aVideos\\Box.lumf", L"lumfile:C:\\Videos\\Box.lumf"},
        {L"\\\\?\\UNC\\srv\\media\\lumfile%3aX%3A\\b.lumf", L"lumfile:\\\\srv\\media\\X:\\b.lumf"},
        {L"\\\\?\\C:\\" + longTail, L"C:\\" + longTail},  // no URL: only the prefix goes
        {L"C:\\lumfile%3Avideos\\Box.lumf", L"C:\\lumfile%3Avideos\\Box.lumf"},  // the scheme's escape is lower case
        {L"C:\\LUMFILE%3aVideos\\Box.lumf", L"C:\\LUMFILE%3aVideos\\Box.lumf"},
        {L"C:\\dir\\lumfile%3aVideos\\Box.lumf", L"C:\\dir\\lumfile%3aVideos\\Box.lumf"},  // only right after the root
        {L"C:\\Videos\\Box.lumf", L"C:\\Videos\\Box.lumf"},
        {L"lumfile%3aVideos\\Box.lumf", L"lumfile%3aVideos\\Box.lumf"},  // no root: unchanged
        {L"\\\\srv", L"\\\\srv"},
        {L"", L""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(c.location.substr(0, 80)));
        EXPECT_EQ(c.expected, Text(LumfileUrlFromPath(CString(c.location.c_str()))));
    }
}

// A folder with a writable and a read-only file, each also under a path of 300 characters and more.
class ContentLocationFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(MakeFolder(m_folder / std::wstring(200, L'd')));
        for (const std::wstring* path : {&m_writable, &m_readOnly, &m_longWritable, &m_longReadOnly})
            ASSERT_TRUE(WriteTestFile(*path, 0));
        for (const std::wstring* path : {&m_readOnly, &m_longReadOnly})
            ASSERT_TRUE(SetFileAttributesW(LongForm(*path).c_str(), FILE_ATTRIBUTE_READONLY));
    }
    void TearDown() override
    {
        for (const std::wstring* path : {&m_readOnly, &m_longReadOnly})
            SetFileAttributesW(LongForm(*path).c_str(), FILE_ATTRIBUTE_NORMAL);
    }

    CTempFolder m_folder{L"lumlocations"};
    const std::wstring m_writable = m_folder / L"writable.mp4";
    const std::wstring m_readOnly = m_folder / L"readonly.mp4";
    const std::wstring m_longWritable = m_folder / (std::wstring(200, L'd') + L"\\" + std::wstring(100, L'w') + L".mp4");
    const std::wstring m_longReadOnly = m_folder / (std::wstring(200, L'd') + L"\\" + std::wstring(100, L'r') + L".mp4");
};

TEST_F(ContentLocationFiles, ClassifyFileErrorByTable)
{
    constexpr ULONG kGone = 0x80000000;
    constexpr ULONG kPassing = 0x1800FFFF;
    constexpr ULONG kRetry = 0x1800000A;   // the callers' retry base, 10
    constexpr ULONG kRetry4 = 0x18000028;  // four times it
    const std::wstring share = L"\\\\srv\\media\\clip.mp4";
    const std::wstring longShare = L"\\\\?\\UNC\\srv\\media\\clip.mp4";
    // Errors whose answer does not depend on the path, as the table has them.
    const struct
    {
        ULONG status;
        std::vector<DWORD> errors;
    } byError[] = {
        {kGone, {2, 1214, 1225, 1233, 1234, 1240}},
        {kRetry, {32, 33, 36, 1237, 1238}},
        {kRetry4, {54, 1239}},
        {kPassing, {53, 55, 56, 57, 59, 64, 67, 69, 88, 1219, 1220, 1222, 1226, 1227, 1228, 1229, 1230, 1231, 1232,
                    1235, 1236, 1241, 1245, 1255, 1256, 1326, 1707, 1763, 1790, 2250, 6002}},
    };
    for (const auto& row : byError)
        for (DWORD error : row.errors)
            for (const std::wstring& path : {m_writable, share})
            {
                SCOPED_TRACE(testing::Message() << "error " << error << " path " << testing::PrintToString(path));
                ULONG status = 0x12345678;
                EXPECT_TRUE(ClassifyFileError(path.c_str(), W(error), &status, kFileRetryBase));
                EXPECT_EQ(row.status, status);
            }

    // Errors whose answer depends on the path (access denied only lasts for a read-only local file,
    // and a file whose attributes cannot be read counts as read-only), results that are no errors,
    // and errors not in the table (permanent, and unknown).
    const std::wstring missing = m_folder / L"missing.mp4";
    ASSERT_GE(m_longReadOnly.size(), 300u);
    const struct
    {
        HRESULT hr;
        std::wstring path;
        ULONG status;
        bool known;
    } cases[] = {
        {S_OK, m_writable, 0x40000000, false},
        {S_FALSE, m_writable, 0x40000000, false},
        {W(3), m_writable, kGone, true},
        {W(3), share, kPassing, true},
        {W(3), longShare, kPassing, true},
        {W(5), m_readOnly, kGone, true},
        {W(5), m_longReadOnly, kGone, true},
        {W(5), m_writable, kPassing, true},
        {W(5), m_longWritable, kPassing, true},
        {W(5), missing, kGone, true},
        {W(5), m_folder / std::wstring(40000, L'x'), kGone, true},
        {W(5), m_folder.Path(), kPassing, true},
        {W(5), share, kPassing, true},
        {W(5), longShare, kPassing, true},
        {W(65), share, kGone, true},
        {W(4), m_writable, kGone, false},
        {W(1221), m_writable, kGone, false},
        {W(1242), m_writable, kGone, false},
        {W(6003), share, kGone, false},
        {E_FAIL, m_writable, kGone, false},
        {E_OUTOFMEMORY, share, kGone, false},
        {static_cast<HRESULT>(0x80040020), m_writable, kGone, false},  // code 32 of another facility
        {static_cast<HRESULT>(0x80070000), m_writable, kGone, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << "hr 0x" << static_cast<ULONG>(c.hr) << " path "
                                        << testing::PrintToString(c.path.substr(0, 120)));
        ULONG status = 0x12345678;
        EXPECT_EQ(c.known, ClassifyFileError(c.path.c_str(), c.hr, &status, kFileRetryBase));
        EXPECT_EQ(c.status, status);
        EXPECT_EQ(c.known, ClassifyFileError(c.path.c_str(), c.hr, nullptr, kFileRetryBase));
    }
}

TEST(ContentLocations, ClassifyFileErrorCutsRetryValuesTo16Bits)
{
    struct Case
    {
        HRESULT hr;
        ULONG retryBase;
        ULONG status;
    };
    const Case cases[] = {
        {W(32), 0, 0x18000000},
        {W(54), 0, 0x18000000},
        {W(32), 0x4001, 0x18004001},
        {W(54), 0x4001, 0x18000004},   // 0x10004 cut to 16 bits
        {W(1237), 0x12345, 0x18002345},
        {W(1239), 0xFFFF, 0x1800FFFC},
        {W(53), 7, 0x1800FFFF},        // 0xFFFF whatever the base
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << "hr 0x" << static_cast<ULONG>(c.hr) << " base 0x" << c.retryBase);
        ULONG status = 0;
        EXPECT_TRUE(ClassifyFileError(L"C:\\clip.mp4", c.hr, &status, c.retryBase));
        EXPECT_EQ(c.status, status);
        EXPECT_NE(0u, status & kFileStatusPassingBit);
    }
}

TEST(ContentLocations, ClassifyFileErrorTakesMissingPaths)
{
    ULONG status = 0;
    // No path is neither a share nor a readable file: permanent.
    EXPECT_TRUE(ClassifyFileError(nullptr, W(3), &status, kFileRetryBase));
    EXPECT_EQ(0x80000000u, status);
    EXPECT_TRUE(ClassifyFileError(nullptr, W(5), &status, kFileRetryBase));
    EXPECT_EQ(0x80000000u, status);
    EXPECT_TRUE(ClassifyFileError(L"", W(5), &status, kFileRetryBase));
    EXPECT_EQ(0x80000000u, status);
    const std::wstring huge = L"\\\\" + std::wstring(40000, L's');
    EXPECT_TRUE(ClassifyFileError(huge.c_str(), W(3), &status, kFileRetryBase));
    EXPECT_EQ(0x80000000u, status);  // a server name without a share is not a share path
    EXPECT_TRUE(ClassifyFileError((huge + L"\\x").c_str(), W(5), &status, kFileRetryBase));
    EXPECT_EQ(0x1800FFFFu, status);
}

}  // namespace
