#include "tools/lumhost/SearchRequest.h"
#include <cerrno>
#include <cwchar>
#include "tools/lumhost/Timeline.h"

namespace
{
struct NamedNumber
{
    const wchar_t* name;
    ULONG value;
};

constexpr NamedNumber kModes[] = {
    {L"full", kModeFull},         {L"cleanup", kModeCleanUp},          {L"check", kModeCheck},
    {L"category", kModeCategory}, {L"update-major", kModeUpdateMajor}, {L"update", kModeUpdate},
};

constexpr NamedNumber kCategories[] = {
    {L"analogue", 0x01}, {L"digital", 0x02}, {L"video", 0x04}, {L"image", 0x08},
    {L"audio", 0x10},    {L"marked", 0x20},  {L"all", 0xFFFF},
};

template <size_t N>
bool FindName(const NamedNumber (&table)[N], const std::wstring& name, ULONG& value)
{
    for (const NamedNumber& entry : table)
    {
        if (_wcsicmp(entry.name, name.c_str()) == 0)
        {
            value = entry.value;
            return true;
        }
    }
    return false;
}

bool ParseMask(const std::wstring& text, ULONG& mask)
{
    if (ParseHostNumber(text, 0xFFFF, mask))
        return true;
    mask = 0;
    size_t start = 0;
    while (start <= text.size())
    {
        size_t end = text.find(L'+', start);
        if (end == std::wstring::npos)
            end = text.size();
        ULONG bit = 0;
        if (!FindName(kCategories, text.substr(start, end - start), bit))
            return false;
        mask |= bit;
        start = end + 1;
    }
    return true;
}
}  // namespace

bool ParseHostNumber(const std::wstring& text, ULONG limit, ULONG& value)
{
    if (text.empty() || text[0] < L'0' || text[0] > L'9')
        return false;
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    errno = 0;
    wchar_t* end = nullptr;
    const unsigned long long number = wcstoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (errno != 0 || !end || *end != L'\0' || (hex && !iswxdigit(text[2])) || number > limit)
        return false;
    value = static_cast<ULONG>(number);
    return true;
}

bool ParseSearchRequest(const std::wstring& text, CSearchRequest& request, std::wstring& error)
{
    request = CSearchRequest();
    const size_t firstColon = text.find(L':');
    const size_t secondColon = firstColon == std::wstring::npos ? firstColon : text.find(L':', firstColon + 1);
    const std::wstring mode = text.substr(0, firstColon);
    if (!FindName(kModes, mode, request.mode) && !ParseHostNumber(mode, 0xFF, request.mode))
    {
        error = L"unknown search mode \"" + mode +
                L"\" (full, cleanup, check, category, update-major, update, or a number up to 255)";
        return false;
    }
    if (firstColon == std::wstring::npos)
        return true;
    const std::wstring mask = text.substr(firstColon + 1, secondColon - (firstColon + 1));
    if (!ParseMask(mask, request.mask))
    {
        error = L"bad category mask \"" + mask +
                L"\" (a number up to 0xFFFF, or analogue, digital, video, image, audio, marked, all joined by +)";
        return false;
    }
    if (secondColon == std::wstring::npos)
        return true;
    const std::wstring flags = text.substr(secondColon + 1);
    if (!ParseHostNumber(flags, 0xFF, request.flags))
    {
        error = L"bad queue flags \"" + flags + L"\" (a number up to 0xFF: bits 24 to 31 of the request)";
        return false;
    }
    return true;
}

std::wstring DescribeSearchMode(ULONG mode)
{
    switch (mode)
    {
    case kModeFull: return L"full search";
    case kModeCleanUp: return L"clean-up";
    case kModeCheck: return L"category search with version check";
    case kModeCategory: return L"category search";
    case kModeUpdateMajor: return L"metadata update, major versions";
    case kModeUpdate: return L"metadata update, all versions";
    default: return FormatText(L"mode %lu (not a search mode)", static_cast<unsigned long>(mode));
    }
}

std::wstring DescribeSearchRequest(const CSearchRequest& request)
{
    return FormatText(L"%s, categories 0x%04lX, queue flags 0x%02lX", DescribeSearchMode(request.mode).c_str(),
                      static_cast<unsigned long>(request.mask), static_cast<unsigned long>(request.flags));
}
