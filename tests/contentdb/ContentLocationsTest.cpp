#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "contentdb/ContentLocations.h"

namespace
{
std::wstring Text(const CString& s)
{
    return std::wstring(s.GetString(), static_cast<size_t>(s.GetLength()));
}

std::wstring Repeat(wchar_t ch, size_t count)
{
    return std::wstring(count, ch);
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
    const std::wstring longTail = Repeat(L'v', 300);
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

// A fresh folder under the temp path with one writable and one read-only file, removed afterwards.
class ContentLocationFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        wchar_t base[MAX_PATH + 1] = {};
        ASSERT_NE(0u, GetTempPathW(MAX_PATH + 1, base));
        static LONG counter = 0;
        m_folder = std::wstring(base) + L"lumlocations-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(InterlockedIncrement(&counter));
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
        m_longFolder = m_folder + L"\\" + Repeat(L'd', 200);
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + m_longFolder).c_str(), nullptr));

        m_writable = m_folder + L"\\writable.mp4";
        m_readOnly = m_folder + L"\\readonly.mp4";
        m_longWritable = m_longFolder + L"\\" + Repeat(L'w', 100) + L".mp4";
        m_longReadOnly = m_longFolder + L"\\" + Repeat(L'r', 100) + L".mp4";
        for (const std::wstring* path : {&m_writable, &m_readOnly, &m_longWritable, &m_longReadOnly})
        {
            HANDLE file = CreateFileW((L"\\\\?\\" + *path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, file);
            CloseHandle(file);
        }
        ASSERT_TRUE(SetFileAttributesW(m_readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_TRUE(SetFileAttributesW((L"\\\\?\\" + m_longReadOnly).c_str(), FILE_ATTRIBUTE_READONLY));
    }

    void TearDown() override
    {
        for (const std::wstring* path : {&m_writable, &m_readOnly, &m_longWritable, &m_longReadOnly})
        {
            const std::wstring longForm = L"\\\\?\\" + *path;
            SetFileAttributesW(longForm.c_str(), FILE_ATTRIBUTE_NORMAL);
            EXPECT_TRUE(DeleteFileW(longForm.c_str()));
        }
        EXPECT_TRUE(RemoveDirectoryW((L"\\\\?\\" + m_longFolder).c_str()));
        EXPECT_TRUE(RemoveDirectoryW(m_folder.c_str()));
    }

    std::wstring m_folder;
    std::wstring m_longFolder;
    std::wstring m_writable;
    std::wstring m_readOnly;
    std::wstring m_longWritable;  // 300 characters and more
    std::wstring m_longReadOnly;
};

TEST_F(ContentLocationFiles, IsPathReadOnly)
{
    ASSERT_GE(m_longReadOnly.size(), 300u);
    struct Case
    {
        std::wstring path;
        bool expected;
    };
    const Case cases[] = {
        {m_writable, false},
        {m_readOnly, true},
        {m_longWritable, false},  // read through the long form
        {m_longReadOnly, true},
        {m_folder, false},
        {m_folder + L"\\missing.mp4", true},  // attributes unreadable: counts as read-only
        {m_folder + L"\\" + Repeat(L'x', 40000), true},
        {L"", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(c.path.substr(0, 300)));
        EXPECT_EQ(c.expected, IsPathReadOnly(c.path.c_str()));
    }
    EXPECT_TRUE(IsPathReadOnly(nullptr));
}

TEST_F(ContentLocationFiles, ClassifyFileErrorByTable)
{
    constexpr ULONG kGone = 0x80000000;
    constexpr ULONG kPassing = 0x1800FFFF;
    constexpr ULONG kRetry = 0x1800000A;   // the callers' retry base, 10
    constexpr ULONG kRetry4 = 0x18000028;  // four times it
    const std::wstring share = L"\\\\srv\\media\\clip.mp4";
    const std::wstring longShare = L"\\\\?\\UNC\\srv\\media\\clip.mp4";
    const std::wstring missing = m_folder + L"\\missing.mp4";
    struct Case
    {
        HRESULT hr;
        std::wstring path;
        ULONG status;
        bool known;
    };
    const Case cases[] = {
        {S_OK, m_writable, 0x40000000, false},
        {S_FALSE, m_writable, 0x40000000, false},
        {W(2), m_writable, kGone, true},
        {W(2), share, kGone, true},
        {W(3), m_writable, kGone, true},
        {W(3), share, kPassing, true},
        {W(3), longShare, kPassing, true},
        {W(5), m_readOnly, kGone, true},
        {W(5), m_longReadOnly, kGone, true},
        {W(5), m_writable, kPassing, true},
        {W(5), m_longWritable, kPassing, true},
        {W(5), missing, kGone, true},  // attributes unreadable: read-only
        {W(5), share, kPassing, true},
        {W(5), longShare, kPassing, true},
        {W(32), m_writable, kRetry, true},
        {W(33), m_writable, kRetry, true},
        {W(36), share, kRetry, true},
        {W(53), m_writable, kPassing, true},
        {W(54), m_writable, kRetry4, true},
        {W(55), m_writable, kPassing, true},
        {W(56), m_writable, kPassing, true},
        {W(57), m_writable, kPassing, true},
        {W(59), m_writable, kPassing, true},
        {W(64), m_writable, kPassing, true},
        {W(65), share, kGone, true},
        {W(67), m_writable, kPassing, true},
        {W(69), m_writable, kPassing, true},
        {W(88), m_writable, kPassing, true},
        {W(1214), m_writable, kGone, true},
        {W(1219), m_writable, kPassing, true},
        {W(1220), m_writable, kPassing, true},
        {W(1222), m_writable, kPassing, true},
        {W(1225), m_writable, kGone, true},
        {W(1226), m_writable, kPassing, true},
        {W(1227), m_writable, kPassing, true},
        {W(1228), m_writable, kPassing, true},
        {W(1229), m_writable, kPassing, true},
        {W(1230), m_writable, kPassing, true},
        {W(1231), m_writable, kPassing, true},
        {W(1232), m_writable, kPassing, true},
        {W(1233), m_writable, kGone, true},
        {W(1234), m_writable, kGone, true},
        {W(1235), m_writable, kPassing, true},
        {W(1236), m_writable, kPassing, true},
        {W(1237), m_writable, kRetry, true},
        {W(1238), m_writable, kRetry, true},
        {W(1239), m_writable, kRetry4, true},
        {W(1240), m_writable, kGone, true},
        {W(1241), m_writable, kPassing, true},
        {W(1245), m_writable, kPassing, true},
        {W(1255), m_writable, kPassing, true},
        {W(1256), m_writable, kPassing, true},
        {W(1326), m_writable, kPassing, true},
        {W(1707), m_writable, kPassing, true},
        {W(1763), m_writable, kPassing, true},
        {W(1790), m_writable, kPassing, true},
        {W(2250), m_writable, kPassing, true},
        {W(6002), m_writable, kPassing, true},
        // Not in the table: permanent, and unknown.
        {W(4), m_writable, kGone, false},
        {W(1221), m_writable, kGone, false},
        {W(1242), m_writable, kGone, false},
        {W(6003), share, kGone, false},
        {E_FAIL, m_writable, kGone, false},
        {E_OUTOFMEMORY, share, kGone, false},
        {static_cast<HRESULT>(0x80040020), m_writable, kGone, false},  // code 32 of another facility
        {static_cast<HRESULT>(0x80070000), m_writable, kGone, false},
    };
    for (const Case& c : cases)
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
    const std::wstring huge = L"\\\\" + Repeat(L's', 40000);
    EXPECT_TRUE(ClassifyFileError(huge.c_str(), W(3), &status, kFileRetryBase));
    EXPECT_EQ(0x80000000u, status);  // a server name without a share is not a share path
    EXPECT_TRUE(ClassifyFileError((huge + L"\\x").c_str(), W(5), &status, kFileRetryBase));
    EXPECT_EQ(0x1800FFFFu, status);
}

}  // namespace
