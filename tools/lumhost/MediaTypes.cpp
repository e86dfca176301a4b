#include "tools/lumhost/MediaTypes.h"
#include <cwchar>
#include "common/HResultException.h"
#include "contentdb/ContentClassification.h"
#include "contentdb/ContentConstants.h"
#include "tools/lumhost/Timeline.h"

namespace
{
struct KnownExtension
{
    const wchar_t* extension;
    LONG itemClass;
    const wchar_t* mimeType;
};

const KnownExtension kKnownExtensions[] = {
    {L".mp4", kItemClassVideo, L"video/mp4"},         {L".m4v", kItemClassVideo, L"video/x-m4v"},
    {L".mpg", kItemClassVideo, L"video/mpeg"},        {L".mpeg", kItemClassVideo, L"video/mpeg"},
    {L".ts", kItemClassVideo, L"video/mp2t"},         {L".m2ts", kItemClassVideo, L"video/mp2t"},
    {L".mts", kItemClassVideo, L"video/mp2t"},        {L".avi", kItemClassVideo, L"video/x-msvideo"},
    {L".wmv", kItemClassVideo, L"video/x-ms-wmv"},    {L".mov", kItemClassVideo, L"video/quicktime"},
    {L".mkv", kItemClassVideo, L"video/x-matroska"},  {L".webm", kItemClassVideo, L"video/webm"},
    {L".3gp", kItemClassVideo, L"video/3gpp"},        {L".jpg", kItemClassImage, L"image/jpeg"},
    {L".jpeg", kItemClassImage, L"image/jpeg"},       {L".png", kItemClassImage, L"image/png"},
    {L".gif", kItemClassImage, L"image/gif"},         {L".bmp", kItemClassImage, L"image/bmp"},
    {L".tif", kItemClassImage, L"image/tiff"},        {L".tiff", kItemClassImage, L"image/tiff"},
    {L".webp", kItemClassImage, L"image/webp"},       {L".heic", kItemClassImage, L"image/heic"},
    {L".mp3", kItemClassAudio, L"audio/mpeg"},        {L".wav", kItemClassAudio, L"audio/wav"},
    {L".wma", kItemClassAudio, L"audio/x-ms-wma"},    {L".m4a", kItemClassAudio, L"audio/mp4"},
    {L".aac", kItemClassAudio, L"audio/aac"},         {L".flac", kItemClassAudio, L"audio/flac"},
    {L".ogg", kItemClassAudio, L"audio/ogg"},
};

// From the last "." of the file-name part on, dot included; empty without one.
std::wstring ExtensionOf(const std::wstring& path)
{
    const size_t nameStart = path.find_last_of(L"\\/");
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || (nameStart != std::wstring::npos && dot < nameStart))
        return std::wstring();
    return path.substr(dot);
}
}  // namespace

CMediaType GetMediaTypeOfFile(const std::wstring& path)
{
    CMediaType type;
    try
    {
        const CString mime = GetMimeTypeFromPath(path.c_str());
        type.mimeType.assign(mime.GetString(), static_cast<size_t>(mime.GetLength()));
        type.itemClass = GetItemClassFromPath(path.c_str());
    }
    catch (const CHResultException&)
    {
        return CMediaType();
    }
    if (type.itemClass != kItemClassUnknown)
        return type;

    const std::wstring extension = ExtensionOf(path);
    for (const KnownExtension& known : kKnownExtensions)
    {
        if (_wcsicmp(extension.c_str(), known.extension) == 0)
            return CMediaType{known.itemClass, known.mimeType};
    }
    return type;
}

std::wstring DescribeCategory(ULONG category)
{
    const wchar_t* name = nullptr;
    switch (category)
    {
    case kCategoryNone: name = L"none"; break;
    case kCategoryVideoAnalogue: name = L"video, analogue source"; break;
    case kCategoryVideoDigital: name = L"video, digital source"; break;
    case kCategoryVideoPlain: name = L"video"; break;
    case kCategoryImage: name = L"image"; break;
    case kCategoryAudio: name = L"audio"; break;
    case kCategoryAudioMarked: name = L"audio, marked"; break;
    default: break;
    }
    if (!name)
        return FormatText(L"0x%02lX", static_cast<unsigned long>(category));
    return FormatText(L"%s (0x%02lX)", name, static_cast<unsigned long>(category));
}

std::wstring DescribeCategoryMask(ULONG mask)
{
    if (mask == 0)
        return L"none";
    if (mask == 0xFFFF)
        return L"all (0xFFFF)";
    std::wstring text;
    for (ULONG bit = 1; bit <= 0x8000; bit <<= 1)
    {
        if (mask & bit)
            text += (text.empty() ? L"" : L" + ") + DescribeCategory(bit);
    }
    return text;
}

std::wstring DescribeItemClass(LONG itemClass)
{
    switch (itemClass)
    {
    case kItemClassVideo: return L"video";
    case kItemClassImage: return L"image";
    case kItemClassAudio: return L"audio";
    default: return FormatText(L"class %ld", static_cast<long>(itemClass));
    }
}
