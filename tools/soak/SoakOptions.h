#pragma once
#include <windows.h>
#include <string>
#include <vector>

struct CSoakOptions
{
    ULONG seed = 1;
    ULONG seconds = 0;     // 0: not limited by time
    ULONG iterations = 0;  // 0: not limited by count; with neither, 20 seconds
    ULONG files = 40;      // media items, each with a real file
    // Percent of the database stalls that are held past the plug-in's stop time-out, so that the
    // one case a forced end is for comes up too. 0: none (every stall ends within half a second).
    ULONG longStalls = 0;
    std::wstring dllPath;  // empty: the DLL beside the program, else the build's
};

enum class SoakParse
{
    Run,
    Help,
    Error
};

SoakParse ParseSoakOptions(const std::vector<std::wstring>& args, CSoakOptions& options, std::wstring& error);
std::wstring SoakUsage();
