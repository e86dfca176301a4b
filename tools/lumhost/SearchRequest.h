#pragma once
#include <windows.h>
#include <string>

// One search that lumhost's manager asks the plug-in for: Start's flags word is the queue flags
// in bits 24 to 31, the mode in bits 16 to 23 and the category mask in bits 0 to 15.
struct CSearchRequest
{
    ULONG mode = 0;    // 1 to 6 are the plug-in's; any other number is passed on as it is
    ULONG mask = 0;    // 0 to 0xFFFF; 0 lets the plug-in take every category
    ULONG flags = 0;   // 0 to 0xFF

    ULONG StartFlags() const noexcept { return (flags << 24) | (mode << 16) | mask; }
};

// The search modes by name, as options and commands take them.
constexpr ULONG kModeFull = 1;
constexpr ULONG kModeCleanUp = 2;
constexpr ULONG kModeCheck = 3;
constexpr ULONG kModeCategory = 4;
constexpr ULONG kModeUpdateMajor = 5;
constexpr ULONG kModeUpdate = 6;

// "MODE[:MASK[:FLAGS]]". MODE is a name (full, cleanup, check, category, update-major, update) or a
// number of 0 to 255; MASK a number of 0 to 0xFFFF or category names joined by "+" (analogue,
// digital, video, image, audio, marked, all); FLAGS a number of 0 to 0xFF. Numbers are decimal or
// "0x" hexadecimal. False with a message naming the bad part.
bool ParseSearchRequest(const std::wstring& text, CSearchRequest& request, std::wstring& error);

// "full search", "clean-up", ...; "mode 9 (not a search mode)" for any other number.
std::wstring DescribeSearchMode(ULONG mode);

// "full search, categories 0x0008, queue flags 0x00" as the timeline shows a request.
std::wstring DescribeSearchRequest(const CSearchRequest& request);

// An unsigned number, decimal or "0x" hexadecimal, of at most `limit`; false for anything else.
bool ParseHostNumber(const std::wstring& text, ULONG limit, ULONG& value);
