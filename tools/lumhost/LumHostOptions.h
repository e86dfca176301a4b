#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "tools/lumhost/EngineOption.h"
#include "tools/lumhost/SearchRequest.h"

// What lumhost was asked to do.
struct CLumHostOptions
{
    std::wstring folder;            // the media folder (as given; made absolute by CheckMediaFolder)
    std::wstring dllPath;           // empty: the default DLL
    bool registerPlugin = true;     // false: --no-register
    DWORD seconds = 0;              // run time limit; 0: until Ctrl+C
    bool verbose = false;           // also the plug-in's calls into the content database
    std::wstring writeSlowlyPath;   // empty: no writer
    DWORD writeSeconds = 40;        // how long the writer keeps the file open
    DWORD writeAfterSeconds = 0;    // delay from the plug-in listening to the writer starting
    std::vector<CSearchRequest> searches;  // --search, in order
    std::vector<CEngineOption> engines;      // DefaultEngines() unless --engine is given
    DWORD analyseMs = 1000;                // how long the manager takes to analyse one item
    ULONG cleanUpClass = 0;                // the plug-in's "CleanUpObjectClass"; 0: left alone
    bool traceGiven = false;               // --trace: the plug-in's "TraceLevel" for the run
    DWORD traceLevel = 0;
};

enum class LumHostParse
{
    Run,    // options complete
    Help,   // --help: print the usage, exit 0
    Error,  // message in `error`, exit 2
};

// Parses the arguments after the program name. Never touches the file system.
LumHostParse ParseLumHostOptions(const std::vector<std::wstring>& args, CLumHostOptions& options,
                                 std::wstring& error);

// Makes options.folder absolute and checks that it names a folder; false with a message when not.
bool CheckMediaFolder(CLumHostOptions& options, std::wstring& error);

// The --help text.
std::wstring LumHostUsage();

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the plug-in or the host could not do its part
constexpr int kExitUsage = 2;   // bad options or a missing folder
