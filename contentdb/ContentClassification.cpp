#include "contentdb/ContentClassification.h"

#include <cwchar>
#include <new>
#include "common/HResultException.h"
#include "common/RegKey.h"
#include "contentdb/ContentConstants.h"

namespace
{
const wchar_t kDefaultMimeType[] = L"application/octet-stream";
const wchar_t kFileTypePrefix[] = L"Klavex_";  // file types of these players are audio
constexpr size_t kFileTypePrefixLength = 7;

// Room for an extension, terminator included, as the C library's path splitter is given it.
constexpr int kExtensionBuffer = 256;

struct BroadcastType
{
    const wchar_t* number;
    const wchar_t* name;
    ULONG category;
};

// Compared exactly, after trimming: "bs" is not "BS".
const BroadcastType kBroadcastTypes[] = {
    {L"1", L"Terrestrial", kCategoryVideoAnalogue},
    {L"3", L"CS", kCategoryVideoAnalogue},
    {L"5", L"BS", kCategoryVideoAnalogue},
    {L"7", L"CATV", kCategoryVideoAnalogue},
    {L"8", L"ExternalInput", kCategoryVideoAnalogue},
    {L"9", L"Satellite", kCategoryVideoAnalogue},
    {L"2", L"DigitalTerrestrial", kCategoryVideoDigital},
    {L"4", L"CS_110", kCategoryVideoDigital},
    {L"6", L"BSDigital", kCategoryVideoDigital},
    {L"10", L"CATV_Digital", kCategoryVideoDigital},
    {L"11", L"DigitalTerrestrial_1SEG", kCategoryVideoDigital},
};

struct SourceApplication
{
    const wchar_t* recorder;
    const wchar_t* importer;  // null: any importer
    ULONG category;
};

// Compared ignoring case; the first matching row decides.
const SourceApplication kSourceApplications[] = {
    {L"Orvex_Studio_Video_Recorder", nullptr, kCategoryVideoAnalogue},
    {L"Orvex_Studio_MediaCenter_Video_Recorder", nullptr, kCategoryVideoAnalogue},
    {L"Orvex_Studio_Digital_HD_Recorder", nullptr, kCategoryVideoDigital},
    {L"Orvex_Studio_Vidrane_Video_Recorder", L"Quenta Digital Contents Importer", kCategoryVideoDigital},
};

// The extension of a path as the C library's splitter finds it: after an optional drive "X:",
// from the last "." that follows the last "\" or "/", dot included; empty when there is none.
// The splitter is not called itself because a too-long extension makes it invoke the run-time's
// invalid-parameter handler, which may end the process.
CString ExtensionOf(const wchar_t* path)
{
    if (path[0] != 0 && path[1] == L':')
        path += 2;
    const wchar_t* fileName = path;
    const wchar_t* dot = nullptr;
    for (const wchar_t* p = path; *p; ++p)
    {
        if (*p == L'\\' || *p == L'/')
            fileName = p + 1;
        else if (*p == L'.')
            dot = p;
    }
    if (!dot || dot < fileName)
        return CString();
    const size_t length = wcslen(dot);
    if (length >= static_cast<size_t>(kExtensionBuffer))
        ThrowHResult(E_INVALIDARG);
    return CString(dot, static_cast<int>(length));
}

CString Trimmed(const wchar_t* text)
{
    CString out(text);
    out.Trim();
    return out;
}

// The part of a MIME type before the first "/"; empty when there is no "/".
CString MajorTypeOf(const CString& mimeType)
{
    const int slash = mimeType.Find(L'/');
    return slash < 0 ? CString() : mimeType.Left(slash);
}

LONG ItemClassOfMajorType(const CString& majorType)
{
    if (majorType.CompareNoCase(L"video") == 0)
        return kItemClassVideo;
    if (majorType.CompareNoCase(L"image") == 0)
        return kItemClassImage;
    if (majorType.CompareNoCase(L"audio") == 0)
        return kItemClassAudio;
    return kItemClassUnknown;
}

ULONG ClassifyVideo(const wchar_t* sourceApplication, const wchar_t* broadcastType, const CString& marker)
{
    if ((!sourceApplication || !*sourceApplication) && marker.IsEmpty())
        return kCategoryVideoPlain;

    CString recorder;
    CString importer;
    const CString application(sourceApplication);
    const int colon = application.Find(L':');
    if (colon >= 0)
    {
        recorder = application.Left(colon).Trim();
        importer = application.Mid(colon + 1).Trim();
    }

    // The broadcast type decides before the source application and the marker.
    const CString broadcast = Trimmed(broadcastType);
    for (const BroadcastType& type : kBroadcastTypes)
    {
        if (broadcast == type.number || broadcast == type.name)
            return type.category;
    }

    for (const SourceApplication& row : kSourceApplications)
    {
        if (recorder.CompareNoCase(row.recorder) == 0 && (!row.importer || importer.CompareNoCase(row.importer) == 0))
            return row.category;
    }

    return marker.IsEmpty() ? kCategoryVideoPlain : kCategoryVideoDigital;
}

}  // namespace

ULONG ClassifyContentCategory(LONG itemClass, LPCWSTR path, LPCWSTR mimeType, LPCWSTR sourceApplication,
                              LPCWSTR broadcastType, LPCWSTR marker)
{
    CString type(mimeType);
    if (type.Find(L'/') < 0)
        type = GetMimeTypeFromPath(path);
    const CString majorType = MajorTypeOf(type);

    LONG kind = kItemClassUnknown;
    switch (itemClass)
    {
    case kItemClassVideo:
    case kItemClassImage:
    case kItemClassAudio:
        kind = itemClass;
        break;
    case kItemClassUnknown:
        kind = ItemClassOfMajorType(majorType);
        break;
    default:
        return kCategoryNone;
    }

    switch (kind)
    {
    case kItemClassImage:
        return kCategoryImage;
    case kItemClassAudio:
        return Trimmed(marker).IsEmpty() ? kCategoryAudio : kCategoryAudioMarked;
    case kItemClassVideo:
        return ClassifyVideo(sourceApplication, broadcastType, Trimmed(marker));
    default:
        return kCategoryNone;
    }
}

LONG GetRegisteredContentType(LPCWSTR path, CString& contentType)
{
    if (!path)
        return ERROR_INVALID_DATA;
    try
    {
        const CString extension = ExtensionOf(path);
        LONG result = ERROR_PATH_NOT_FOUND;
        CString value;
        if (!extension.IsEmpty())
        {
            CRegKeyEx key;
            result = key.Open(HKEY_CLASSES_ROOT, extension, KEY_READ);
            if (result == ERROR_SUCCESS)
                result = key.QueryStringValue(L"Content Type", value);
        }
        contentType = result == ERROR_SUCCESS ? value : CString(kDefaultMimeType);
        return result;
    }
    catch (const CHResultException&)
    {
        return ERROR_OUTOFMEMORY;
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_OUTOFMEMORY;
    }
}

CString GetMimeTypeFromPath(LPCWSTR path)
{
    if (!path)
        return CString();

    CString registered;
    if (GetRegisteredContentType(path, registered) == ERROR_SUCCESS)
        return registered;

    const CString extension = ExtensionOf(path);
    if (extension.IsEmpty())
        return CString(kDefaultMimeType);
    const CString bareExtension = extension.Mid(1);

    CRegKeyEx key;
    if (key.Open(HKEY_CLASSES_ROOT, extension, KEY_READ) == ERROR_SUCCESS)
    {
        CString perceivedType;
        if (key.QueryStringValue(L"PerceivedType", perceivedType) == ERROR_SUCCESS)
            return perceivedType + L"/" + bareExtension;
        CString fileType;
        if (key.QueryStringValue(nullptr, fileType) == ERROR_SUCCESS &&
            wcsncmp(fileType, kFileTypePrefix, kFileTypePrefixLength) == 0)
            return CString(L"audio/") + bareExtension;
    }

    if (extension.CompareNoCase(L".dvr-ms") == 0)
        return CString(L"video/dvr-ms");
    if (extension.CompareNoCase(L".vdq") == 0)
        return CString(L"video/Vidrane");
    return CString(kDefaultMimeType);
}

LONG GetItemClassFromPath(LPCWSTR path)
{
    return ItemClassOfMajorType(MajorTypeOf(GetMimeTypeFromPath(path)));
}
