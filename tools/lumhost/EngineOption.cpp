#include "tools/lumhost/EngineOption.h"
#include <cwctype>
#include "tools/lumhost/SearchRequest.h"
#include "tools/lumhost/Timeline.h"

namespace
{
constexpr ULONG kAllCategories = 0x3F;

bool IsName(const std::wstring& text)
{
    if (text.empty() || text.size() > 64)
        return false;
    for (wchar_t c : text)
    {
        if (!iswalnum(c) && c != L'-' && c != L'_')
            return false;
    }
    return true;
}
}  // namespace

bool ParseMetadataVersion(const std::wstring& text, DWORD& version)
{
    const size_t dot = text.find(L'.');
    ULONG value = 0;
    if (dot == std::wstring::npos)
    {
        if (!ParseHostNumber(text, 0xFFFFFFFF, value))
            return false;
        version = value;
        return true;
    }
    ULONG major = 0;
    ULONG minor = 0;
    if (!ParseHostNumber(text.substr(0, dot), 0xFFFF, major) || !ParseHostNumber(text.substr(dot + 1), 0xFFFF, minor))
        return false;
    version = (major << 16) | minor;
    return true;
}

std::wstring DescribeMetadataVersion(DWORD version)
{
    return FormatText(L"%lu.%lu", static_cast<unsigned long>(version >> 16), static_cast<unsigned long>(version & 0xFFFF));
}

bool ParseEngineOption(const std::wstring& text, CEngineOption& option, std::wstring& error)
{
    option = CEngineOption();
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (true)
    {
        const size_t colon = text.find(L':', start);
        parts.push_back(text.substr(start, colon == std::wstring::npos ? std::wstring::npos : colon - start));
        if (colon == std::wstring::npos)
            break;
        start = colon + 1;
    }
    if (parts.size() < 2 || parts.size() > 4)
    {
        error = L"an engine is NAME:MASK[:VERSION][:uncreatable], not \"" + text + L"\"";
        return false;
    }
    if (!IsName(parts[0]))
    {
        error = L"bad engine name \"" + parts[0] + L"\" (letters, digits, - and _)";
        return false;
    }
    option.moduleId = parts[0];
    if (!ParseHostNumber(parts[1], kAllCategories, option.categoryMask) || option.categoryMask == 0)
    {
        error = L"bad engine category mask \"" + parts[1] + L"\" (a number of 0x01 to 0x3F)";
        return false;
    }
    for (size_t i = 2; i < parts.size(); ++i)
    {
        if (parts[i] == L"uncreatable" && i + 1 == parts.size())
            option.creatable = false;
        else if (i == 2 && ParseMetadataVersion(parts[i], option.version))
            continue;
        else
        {
            error = L"bad engine version \"" + parts[i] + L"\" (MAJOR.MINOR, or a number)";
            return false;
        }
    }
    return true;
}

std::vector<CEngineOption> DefaultEngines()
{
    return {
        {L"VideoScenes", 0x07, 0x00010000, true},
        {L"PictureFaces", 0x08, 0x00010000, true},
        {L"AudioBeats", 0x30, 0x00010000, true},
    };
}
