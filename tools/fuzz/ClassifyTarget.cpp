#include "tools/fuzz/ClassifyTarget.h"

#include <cwchar>
#include "common/HResultException.h"
#include "contentdb/ContentClassification.h"
#include "contentdb/ContentConstants.h"
#include "tools/fuzz/FuzzInput.h"
#include "tools/soak/SoakRandom.h"

namespace
{
constexpr size_t kMaxExtension = 255;
constexpr size_t kMaxText = 40000;

const std::vector<std::wstring> kPaths = {L"C:\\media\\clip.mpg", L"C:\\media\\song.MP3", L"C:\\media\\photo.jpg",
                                          L"C:\\media\\noext",    L"C:\\m.d\\x",          L"C:\\media\\rec.dvr-ms",
                                          L"C:\\media\\a.vdq",    L".",                   L"",
                                          L"C:\\media\\x.",       L"\\\\?\\C:\\v.avi",    L"C:\\media\\t.txt"};
const std::vector<std::wstring> kMimeTypes = {L"video/mpeg", L"audio/mp3", L"image/jpeg", L"video", L"/", L"", L"text/plain",
                                              L"Video/x", L"audio/", L"/video"};
const std::vector<std::wstring> kSources = {L"", L":", L"Recorder:Importer", L"a:b:c", L" : ",
                                            L"Orvex_Studio_Video_Recorder:x", L" orvex_studio_digital_hd_recorder : ",
                                            L"Orvex_Studio_Vidrane_Video_Recorder:Quenta Digital Contents Importer"};
const std::vector<std::wstring> kBroadcasts = {L"", L"0", L"1", L" 2 ", L"11", L"BS", L"bs", L"CATV_Digital", L"-1", L"0x2"};
const std::vector<std::wstring> kMarkers = {L"", L" ", L"\t", L"x", L"\x3000"};
const LONG kClasses[] = {0, 100, 200, 300, 600, 612, -1, 0x7FFFFFFF, static_cast<LONG>(0x80000000)};

enum class Kind
{
    None,
    Video,
    Image,
    Audio
};

Kind KindOfClass(LONG itemClass)
{
    switch (itemClass)
    {
    case kItemClassVideo:
        return Kind::Video;
    case kItemClassImage:
        return Kind::Image;
    case kItemClassAudio:
        return Kind::Audio;
    default:
        return Kind::None;
    }
}

Kind KindOfCategory(ULONG category)
{
    switch (category)
    {
    case kCategoryVideoAnalogue:
    case kCategoryVideoDigital:
    case kCategoryVideoPlain:
        return Kind::Video;
    case kCategoryImage:
        return Kind::Image;
    case kCategoryAudio:
    case kCategoryAudioMarked:
        return Kind::Audio;
    default:
        return Kind::None;
    }
}

// The extension as the classification takes it: from the last "." of the file-name part.
size_t ExtensionLength(const std::wstring& path)
{
    const size_t name = path.find_last_of(L"\\/");
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || (name != std::wstring::npos && dot < name))
        return 0;
    return path.size() - dot;
}

std::wstring ReadText(CFuzzInput& in, const std::vector<std::wstring>& words)
{
    switch (in.Below(4))
    {
    case 0:
        return in.Text(kMaxText);
    case 1:
        return in.Pick(words) + in.Text(16);
    default:
        return in.Pick(words);
    }
}

// Text up to its first NUL, as the database's BSTRs reach the classification.
std::wstring Terminated(const std::wstring& text)
{
    return std::wstring(text.c_str());
}
}  // namespace

std::vector<FuzzBytes> CClassifyTarget::Seeds()
{
    std::vector<FuzzBytes> seeds;
    for (uint8_t cls = 0; cls < 4; ++cls)
    {
        for (uint8_t path = 0; path < kPaths.size(); ++path)
            seeds.push_back({cls, 2, path, 2, static_cast<uint8_t>(path % kMimeTypes.size()), 2, 2, 2, cls, 2, 1});
    }
    return seeds;
}

std::string CClassifyTarget::Run(const FuzzBytes& input)
{
    CFuzzInput in(input);
    const LONG itemClass = in.Flag() ? static_cast<LONG>(in.Dword()) : kClasses[in.Below(sizeof(kClasses) / sizeof(kClasses[0]))];
    const std::wstring path = Terminated(ReadText(in, kPaths));
    const std::wstring mime = Terminated(ReadText(in, kMimeTypes));
    const std::wstring source = Terminated(ReadText(in, kSources));
    const std::wstring broadcast = Terminated(ReadText(in, kBroadcasts));
    const std::wstring marker = Terminated(ReadText(in, kMarkers));
    const bool longExtension = ExtensionLength(path) > kMaxExtension;

    // Every function that classifies by name raises E_INVALIDARG for a too long extension, and
    // only then.
    try
    {
        return Check(itemClass, path, mime, source, broadcast, marker);
    }
    catch (const CHResultException& e)
    {
        if (e.Error() == E_INVALIDARG && longExtension)
            return {};
        return "the classification raised " + std::to_string(e.Error());
    }
}

std::string CClassifyTarget::Check(LONG itemClass, const std::wstring& path, const std::wstring& mime,
                                   const std::wstring& source, const std::wstring& broadcast, const std::wstring& marker)
{
    const ULONG category =
        ClassifyContentCategory(itemClass, path.c_str(), mime.c_str(), source.c_str(), broadcast.c_str(), marker.c_str());
    if (category != 0 && KindOfCategory(category) == Kind::None)
        return "category " + std::to_string(category) + " is no known category";

    Kind expected = KindOfClass(itemClass);
    if (itemClass == kItemClassUnknown)
    {
        // Class 0: the MIME type decides, the database's when it has a "/", else the path's.
        LONG byType = kItemClassUnknown;
        if (mime.find(L'/') != std::wstring::npos)
        {
            const std::wstring major = mime.substr(0, mime.find(L'/'));
            byType = _wcsicmp(major.c_str(), L"video") == 0   ? kItemClassVideo
                     : _wcsicmp(major.c_str(), L"image") == 0 ? kItemClassImage
                     : _wcsicmp(major.c_str(), L"audio") == 0 ? kItemClassAudio
                                                              : kItemClassUnknown;
        }
        else
            byType = GetItemClassFromPath(path.c_str());
        expected = KindOfClass(byType);
    }
    if (KindOfCategory(category) != expected)
        return "category " + std::to_string(category) + " does not belong to class " + std::to_string(itemClass);

    const LONG fromPath = GetItemClassFromPath(path.c_str());
    if (fromPath != kItemClassUnknown && KindOfClass(fromPath) == Kind::None)
        return "GetItemClassFromPath gave class " + std::to_string(fromPath);
    const CString type = GetMimeTypeFromPath(path.c_str());
    if (static_cast<size_t>(type.GetLength()) != std::wcslen(type.GetString()))
        return "the MIME type of a path holds a NUL";
    CString registered;
    const LONG result = GetRegisteredContentType(path.c_str(), registered);
    if (result != ERROR_SUCCESS && registered != L"application/octet-stream" && result != ERROR_OUTOFMEMORY)
        return "GetRegisteredContentType failed (" + std::to_string(result) + ") without the default type";
    return {};
}
