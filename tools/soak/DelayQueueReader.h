#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

// The soak's own reading of the plug-in's delay-queue file: the path field of every line, in file
// order, empty for a request whose file was not known yet. Read as written, without the checks a
// load makes, so that what the plug-in wrote is compared, not what it would load again.
struct CDelayQueueContent
{
    bool exists = false;
    std::vector<std::wstring> paths;
};

// S_OK with the content (exists false when there is no current file); the open or read error
// otherwise (the plug-in may hold the file for a moment).
HRESULT ReadDelayQueue(CDelayQueueContent& content);
// Deletes the current, new and backup files: a run starts and ends without any.
void DeleteDelayQueueFiles();
// How often each path occurs.
std::map<std::wstring, ULONG> CountPaths(const std::vector<std::wstring>& paths);
