#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "common/ComCall.h"
#include "common/RegKey.h"
#include "contentdb/ContentClassification.h"
#include "contentdb/ContentConstants.h"

namespace
{
const wchar_t kOctetStream[] = L"application/octet-stream";

// A file-type registration under HKEY_CLASSES_ROOT for the life of the object. The extensions are
// made up, so nothing of the machine's own registrations is touched.
class CTestFileType
{
public:
    CTestFileType(const wchar_t* extension) : m_extension(extension)
    {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, extension);
        m_created = m_key.Create(HKEY_CLASSES_ROOT, extension) == ERROR_SUCCESS;
    }
    ~CTestFileType()
    {
        m_key.Close();
        RegDeleteTreeW(HKEY_CLASSES_ROOT, m_extension);
    }
    CTestFileType(const CTestFileType&) = delete;
    CTestFileType& operator=(const CTestFileType&) = delete;

    bool Created() const { return m_created; }
    CTestFileType& Text(const wchar_t* name, const wchar_t* value, DWORD type = REG_SZ)
    {
        EXPECT_EQ(ERROR_SUCCESS, m_key.SetStringValue(name, value, type));
        return *this;
    }
    CTestFileType& Number(const wchar_t* name, DWORD value)
    {
        EXPECT_EQ(ERROR_SUCCESS, m_key.SetDWORDValue(name, value));
        return *this;
    }

private:
    const wchar_t* m_extension;
    CRegKey m_key;
    bool m_created = false;
};

bool IsRegistered(const wchar_t* extension)
{
    CRegKey key;
    return key.Open(HKEY_CLASSES_ROOT, extension, KEY_READ) == ERROR_SUCCESS;
}

struct CategoryCase
{
    LONG itemClass;
    const wchar_t* mimeType;
    const wchar_t* sourceApplication;
    const wchar_t* broadcastType;
    const wchar_t* marker;
    ULONG expected;
};

}  // namespace

TEST(ContentClassification, CategoriesByClassMimeTypeAndSource)
{
    const wchar_t* vidrane = L"Orvex_Studio_Vidrane_Video_Recorder:Quenta Digital Contents Importer";
    const CategoryCase cases[] = {
        // Neither source application nor marker: plain, whatever the broadcast type says.
        {300, L"video/mpeg", L"", L"5", L"", 0x04},
        {300, L"video/mpeg", nullptr, L"DigitalTerrestrial", nullptr, 0x04},
        {300, L"video/mpeg", L"", L"1", L"  \t", 0x04},
        // The broadcast type decides before the marker and the recorder.
        {300, L"video/mpeg", L"", L"5", L"m", 0x01},
        {300, L"video/mpeg", L"Orvex_Studio_Digital_HD_Recorder:x", L"Terrestrial", L"", 0x01},
        {300, L"video/mpeg", L"x:y", L" \t6 ", L"", 0x02},
        // Names are exact: another case is not a broadcast type, the recorder rules apply.
        {300, L"video/mpeg", L"x:y", L"bs", L"", 0x04},
        {300, L"video/mpeg", L"x:y", L"bs", L"m", 0x02},
        {300, L"video/mpeg", L"Orvex_Studio_Video_Recorder:y", L"bsdigital", L"m", 0x01},
        {300, L"video/mpeg", L"x:y", L"05", L"", 0x04},
        // Recorders, compared ignoring case, both names trimmed.
        {300, L"video/mpeg", L"Orvex_Studio_Video_Recorder:anything", L"", L"", 0x01},
        {300, L"video/mpeg", L"ORVEX_STUDIO_MEDIACENTER_VIDEO_RECORDER:", L"", L"m", 0x01},
        {300, L"video/mpeg", L"  orvex_studio_digital_hd_recorder  :x", L"", L"", 0x02},
        {300, L"video/mpeg", vidrane, L"", L"", 0x02},
        {300, L"video/mpeg", L" orvex_studio_vidrane_video_recorder : QUENTA DIGITAL CONTENTS IMPORTER ", L"", L"", 0x02},
        {300, L"video/mpeg", L"Orvex_Studio_Vidrane_Video_Recorder:Other Importer", L"", L"", 0x04},
        {300, L"video/mpeg", L"Orvex_Studio_Vidrane_Video_Recorder:Other Importer", L"", L"m", 0x02},
        {300, L"video/mpeg", L"Orvex_Studio_Vidrane_Video_Recorder", L"", L"", 0x04},
        // Only the first ":" splits; the importer keeps the rest.
        {300, L"video/mpeg", L"Orvex_Studio_Vidrane_Video_Recorder:Quenta Digital Contents Importer:2", L"", L"", 0x04},
        // No ":" leaves both names empty: the marker decides.
        {300, L"video/mpeg", L"Orvex_Studio_Video_Recorder", L"", L"", 0x04},
        {300, L"video/mpeg", L"Orvex_Studio_Video_Recorder", L"", L"m", 0x02},
        {300, L"video/mpeg", L"x:y", L"", L" m ", 0x02},
        {200, L"", L"a:b", L"1", L"m", 0x08},
        {200, L"audio/mp3", nullptr, nullptr, nullptr, 0x08},
        {100, L"", L"", L"", L"", 0x10},
        {100, L"video/mp4", L"", L"", L"   ", 0x10},
        {100, L"", L"", L"", L"x", 0x20},
        // Unknown class: the major type decides, ignoring case.
        {0, L"Video/MP4", L"", L"", L"", 0x04},
        {0, L"VIDEO/x", L"a:b", L"CS", L"", 0x01},
        {0, L"IMAGE/png", L"", L"", L"", 0x08},
        {0, L"audio/wav", L"", L"", L"m", 0x20},
        {0, L"text/plain", L"", L"", L"m", 0x00},
        {0, L"/video", L"", L"", L"", 0x00},
        {0, L"videos/x", L"", L"", L"", 0x00},
        // Containers, derived items, collections and anything else are of no interest.
        {600, L"video/mp4", L"", L"", L"", 0x00},
        {612, L"video/mp4", L"", L"", L"", 0x00},
        {650, L"audio/wav", L"", L"", L"", 0x00},
        {-1, L"video/mp4", L"", L"", L"", 0x00},
        {-2, L"video/mp4", L"", L"", L"", 0x00},
    };
    for (const CategoryCase& c : cases)
    {
        // The path has no extension: the MIME type given decides.
        EXPECT_EQ(c.expected, ClassifyContentCategory(c.itemClass, L"C:\\x\\noextension", c.mimeType,
                                                      c.sourceApplication, c.broadcastType, c.marker))
            << c.itemClass << " " << c.mimeType << " app [" << c.sourceApplication << "] broadcast ["
            << c.broadcastType << "]";
    }
}

TEST(ContentClassification, EveryBroadcastTypeByNumberAndName)
{
    const struct
    {
        const wchar_t* number;
        const wchar_t* name;
        ULONG expected;
    } types[] = {
        {L"1", L"Terrestrial", 0x01},   {L"3", L"CS", 0x01},         {L"5", L"BS", 0x01},
        {L"7", L"CATV", 0x01},          {L"8", L"ExternalInput", 0x01}, {L"9", L"Satellite", 0x01},
        {L"2", L"DigitalTerrestrial", 0x02}, {L"4", L"CS_110", 0x02}, {L"6", L"BSDigital", 0x02},
        {L"10", L"CATV_Digital", 0x02}, {L"11", L"DigitalTerrestrial_1SEG", 0x02},
    };
    // The recorder says digital and the marker is set, so only the broadcast type can give 0x01;
    // and the recorder says analogue for the digital rows.
    for (const auto& t : types)
    {
        const wchar_t* app = t.expected == 0x01 ? L"Orvex_Studio_Digital_HD_Recorder:x" : L"Orvex_Studio_Video_Recorder:x";
        EXPECT_EQ(t.expected, ClassifyContentCategory(300, nullptr, L"video/x", app, t.number, L"m")) << t.expected;
        EXPECT_EQ(t.expected, ClassifyContentCategory(300, nullptr, L"video/x", app, t.name, L"m")) << t.expected;
    }
    EXPECT_EQ(0x02u, ClassifyContentCategory(300, nullptr, L"video/x", L"a:b", L"12", L"m"));
    EXPECT_EQ(0x04u, ClassifyContentCategory(300, nullptr, L"video/x", L"a:b", L"0", L""));
}

TEST(ContentClassification, MissingMimeTypeComesFromThePath)
{
    ASSERT_FALSE(IsRegistered(L".vdq")) << "the machine registers .vdq; the built-in rule cannot be seen";
    // Empty, or without "/": replaced by the type of the file name.
    EXPECT_EQ(0x04u, ClassifyContentCategory(0, L"D:\\rec\\a.vdq", L"", L"", L"", L""));
    EXPECT_EQ(0x04u, ClassifyContentCategory(0, L"D:\\rec\\a.vdq", L"audio", L"", L"", L""));
    EXPECT_EQ(0x04u, ClassifyContentCategory(0, L"D:\\rec\\a.vdq", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0x00u, ClassifyContentCategory(0, L"D:\\rec\\a", L"", L"", L"", L""));
    EXPECT_EQ(0x00u, ClassifyContentCategory(0, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0x04u, ClassifyContentCategory(300, nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST(ContentClassification, BuiltInTypesWithoutRegistration)
{
    for (const wchar_t* extension : {L".vdq", L".dvr-ms", L".lumtestnone"})
        ASSERT_FALSE(IsRegistered(extension)) << extension;

    const struct
    {
        const wchar_t* path;
        const wchar_t* mimeType;
        LONG itemClass;
    } cases[] = {
        {L"a.vdq", L"video/Vidrane", 300},
        {L"C:\\rec\\A.VDQ", L"video/Vidrane", 300},
        {L"C:\\rec\\show.dvr-ms", L"video/dvr-ms", 300},
        {L"\\\\srv\\share\\show.DVR-MS", L"video/dvr-ms", 300},
        {L"C:\\rec\\a.lumtestnone", kOctetStream, 0},
        {L"C:\\rec\\noextension", kOctetStream, 0},
        {L"C:\\rec.vdq\\noextension", kOctetStream, 0},
        {L"C:/rec.vdq/noextension", kOctetStream, 0},
        {L"C:\\rec\\a.vdq.bak", kOctetStream, 0},
        {L"C:\\rec\\a.bak.vdq", L"video/Vidrane", 300},
        {L"X:.vdq", L"video/Vidrane", 300},
        {L"C:\\rec\\trailingdot.", kOctetStream, 0},
        {L"", kOctetStream, 0},
    };
    for (const auto& c : cases)
    {
        EXPECT_STREQ(c.mimeType, GetMimeTypeFromPath(c.path)) << c.path;
        EXPECT_EQ(c.itemClass, GetItemClassFromPath(c.path)) << c.path;
    }
    EXPECT_STREQ(L"", GetMimeTypeFromPath(nullptr));
    EXPECT_EQ(0, GetItemClassFromPath(nullptr));
}

TEST(ContentClassification, RegisteredFileTypes)
{
    CTestFileType types[] = {{L".lumtest1"}, {L".lumtest2"}, {L".lumtest3"}, {L".lumtest4"}, {L".lumtest5"},
                             {L".lumtest6"}, {L".lumtest7"}, {L".lumtest8"}, {L".lumtest9"}, {L".lumtesta"}};
    for (const CTestFileType& t : types)
        ASSERT_TRUE(t.Created());
    types[0].Text(L"Content Type", L"image/x-lum").Text(L"PerceivedType", L"video");
    types[1].Text(L"PerceivedType", L"video").Text(nullptr, L"Klavex_Song");
    types[2].Text(L"PerceivedType", L"%lum%", REG_EXPAND_SZ);
    types[3].Text(nullptr, L"Klavex_Song");
    types[4].Text(nullptr, L"klavex_Song");
    types[5].Number(L"PerceivedType", 7).Text(nullptr, L"Klavex_", REG_EXPAND_SZ);
    types[6].Number(L"Content Type", 1).Text(L"PerceivedType", L"Image");
    types[8].Text(nullptr, L"Klavex");
    types[9].Text(L"Content Type", L"audio/%lum%", REG_EXPAND_SZ);

    // The "Content Type" value alone, as stored.
    const struct
    {
        const wchar_t* path;
        LONG expected;
        const wchar_t* text;
    } contentTypes[] = {
        {L"C:\\m\\a.lumtest1", ERROR_SUCCESS, L"image/x-lum"},
        {L"C:\\m\\A.LUMTEST1", ERROR_SUCCESS, L"image/x-lum"},
        {L"C:/m/a.lumtest1", ERROR_SUCCESS, L"image/x-lum"},
        {L"C:\\m\\a.lumtesta", ERROR_SUCCESS, L"audio/%lum%"},  // not expanded
        {L"C:\\m\\a.lumtest7", ERROR_INVALID_DATA, kOctetStream},
        {L"C:\\m\\a.lumtest2", ERROR_FILE_NOT_FOUND, kOctetStream},
        {L"C:\\m\\a.lumtestnone", ERROR_FILE_NOT_FOUND, kOctetStream},
        {L"C:\\m.lumtest1\\a", ERROR_PATH_NOT_FOUND, kOctetStream},
        {L"C:/m.lumtest1/a", ERROR_PATH_NOT_FOUND, kOctetStream},
        {L".:lumtest1", ERROR_PATH_NOT_FOUND, kOctetStream},  // ".:" is a drive, not a dot
        {L"", ERROR_PATH_NOT_FOUND, kOctetStream},
    };
    for (const auto& c : contentTypes)
    {
        CString text(L"before");
        EXPECT_EQ(c.expected, GetRegisteredContentType(c.path, text)) << c.path;
        EXPECT_STREQ(c.text, text) << c.path;
    }
    CString untouched(L"before");
    EXPECT_EQ(ERROR_INVALID_DATA, GetRegisteredContentType(nullptr, untouched));
    EXPECT_STREQ(L"before", untouched);

    // The MIME type and class the registrations give.
    const struct
    {
        const wchar_t* path;
        const wchar_t* mimeType;
        LONG itemClass;
    } cases[] = {
        // "Content Type" comes before "PerceivedType".
        {L"C:\\m\\a.lumtest1", L"image/x-lum", 200},
        // PerceivedType with the extension as written in the path, before the file type name.
        {L"C:\\m\\a.lumtest2", L"video/lumtest2", 300},
        {L"C:\\m\\a.LumTest2", L"video/LumTest2", 300},
        {L"C:\\m\\a.lumtest3", L"%lum%/lumtest3", 0},
        // File types of the player are audio; the prefix is case-sensitive and complete.
        {L"C:\\m\\a.lumtest4", L"audio/lumtest4", 100},
        {L"C:\\m\\a.lumtest5", kOctetStream, 0},
        {L"C:\\m\\a.lumtest6", L"audio/lumtest6", 100},
        {L"C:\\m\\a.lumtest9", kOctetStream, 0},
        // A "Content Type" that is not text is skipped for the other rules.
        {L"C:\\m\\a.lumtest7", L"Image/lumtest7", 200},
        // A registered extension without any of the values still falls to the default.
        {L"C:\\m\\a.lumtest8", kOctetStream, 0},
    };
    for (const auto& c : cases)
    {
        EXPECT_STREQ(c.mimeType, GetMimeTypeFromPath(c.path)) << c.path;
        EXPECT_EQ(c.itemClass, GetItemClassFromPath(c.path)) << c.path;
    }

    // The registration also serves classification when the database has no MIME type.
    EXPECT_EQ(0x08u, ClassifyContentCategory(0, L"C:\\m\\a.lumtest1", L"", L"", L"", L""));
    EXPECT_EQ(0x10u, ClassifyContentCategory(0, L"C:\\m\\a.lumtest4", L"", L"", L"", L""));
    EXPECT_EQ(0x04u, ClassifyContentCategory(0, L"C:\\m\\a.lumtest1", L"video/mp4", L"", L"", L""));
}

TEST(ContentClassification, OverlongExtensions)
{
    // 255 characters with the dot still fit; 256 do not.
    const std::wstring fits = L"C:\\m\\a." + std::wstring(254, L'x');
    const std::wstring tooLong = L"C:\\m\\a." + std::wstring(255, L'x');

    CString text(L"before");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetRegisteredContentType(fits.c_str(), text));
    EXPECT_STREQ(kOctetStream, text);
    EXPECT_STREQ(kOctetStream, GetMimeTypeFromPath(fits.c_str()));

    text = L"before";
    EXPECT_EQ(ERROR_OUTOFMEMORY, GetRegisteredContentType(tooLong.c_str(), text));
    EXPECT_STREQ(L"before", text);
    EXPECT_EQ(E_INVALIDARG, ComCall([&] { GetMimeTypeFromPath(tooLong.c_str()); return S_OK; }));
    EXPECT_EQ(E_INVALIDARG, ComCall([&] { GetItemClassFromPath(tooLong.c_str()); return S_OK; }));
    EXPECT_EQ(E_INVALIDARG, ComCall([&] { ClassifyContentCategory(0, tooLong.c_str(), L"", L"", L"", L""); return S_OK; }));
    // With a MIME type from the database the file name is not consulted.
    EXPECT_EQ(S_OK, ComCall([&] {
        EXPECT_EQ(0x04u, ClassifyContentCategory(300, tooLong.c_str(), L"video/mp4", L"", L"", L""));
        return S_OK;
    }));

    // A long path whose extension is short is no problem.
    std::wstring longPath = L"\\\\?\\C:";
    for (int i = 0; i < 4000; ++i)
        longPath += L"\\dir.name";
    longPath += L"\\clip.vdq";
    EXPECT_STREQ(L"video/Vidrane", GetMimeTypeFromPath(longPath.c_str()));
    // A dot in a long folder name does not make an extension of the file.
    const std::wstring dottedFolder = L"C:\\m." + std::wstring(1000, L'x') + L"\\file";
    EXPECT_STREQ(kOctetStream, GetMimeTypeFromPath(dottedFolder.c_str()));
}
