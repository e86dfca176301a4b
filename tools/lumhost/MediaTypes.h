#pragma once
#include <windows.h>
#include <string>

// What the reference host's content database knows of a file from its name alone.
struct CMediaType
{
    LONG itemClass = 0;    // 100 audio, 200 image, 300 video; 0: not a media file
    std::wstring mimeType; // empty only when the name cannot be classified at all
};

// The file-type registrations of the system decide first (as the plug-in reads them); a name they
// leave as "application/octet-stream" or another non-media type is looked up in a table of common
// media extensions, since a fresh installation registers few of them. Never throws: a name the
// registry rules reject (an overlong extension) is not a media file.
CMediaType GetMediaTypeOfFile(const std::wstring& path);

// "image (0x08)", "video, digital source (0x02)", "none (0x00)"; bits outside the known ones are
// shown as a number only.
std::wstring DescribeCategory(ULONG category);

// "none", or the categories of a mask one by one: "video (0x04) + image (0x08)"; "all (0xFFFF)".
std::wstring DescribeCategoryMask(ULONG mask);

// "video", "image", "audio" for the classes 300, 200, 100; "class N" for any other.
std::wstring DescribeItemClass(LONG itemClass);
