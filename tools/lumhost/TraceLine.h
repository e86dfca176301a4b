#pragma once
#include <windows.h>
#include <string>

// One line of the plug-in's decision trace, taken apart:
//   2026-12-06 17:04:12.345 +01:00 [1f3c] notify lh-3 "D:\Rec\show.mp4" held back: in use (...), ...
// time with its UTC offset, thread id, source, the item id and the quoted path where the line has
// them, then the decision with its reason and details.
struct CTraceLine
{
    ULONGLONG utc = 0;        // the time as a FILETIME count (100 ns since 1601), UTC
    std::wstring thread;      // hex, as written
    std::wstring source;      // notify, search, cleanup, host
    std::wstring itemId;      // empty when the line has none
    std::wstring path;        // without its quotes; empty when the line has none
    std::wstring decision;    // "held back: in use (0x80070020 sharing violation), age 31 s"
};

// False for a line not of that shape (it is then shown as it is).
bool ParseTraceLine(const std::wstring& text, CTraceLine& line);
