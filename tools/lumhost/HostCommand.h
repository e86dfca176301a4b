#pragma once
#include <windows.h>
#include <string>
#include "tools/lumhost/SearchRequest.h"

// A command typed to lumhost on its standard input, one per line.
struct CHostCommand
{
    enum class Kind
    {
        None,     // an empty line
        Invalid,  // `error` says why
        Search,   // search MODE[:MASK[:FLAGS]]
        Pause,
        Resume,
        Stop,
        Version,  // version ENGINE VERSION: the engine's metadata version becomes `version`
        Vanish,   // vanish FILE: delete the file without the database hearing of it
        Trace,    // trace LEVEL: the plug-in's trace level becomes `level`
        Why,      // why FILE: what the trace holds about the file
        Status,
        Help,
        Quit,
    };

    Kind kind = Kind::None;
    CSearchRequest request;
    std::wstring engine;
    DWORD version = 0;
    DWORD level = 0;
    std::wstring path;
    std::wstring error;
};

// Words are separated by blanks; command names ignore letter case. Never fails: a line that is no
// command gives Kind::Invalid with a message.
CHostCommand ParseHostCommand(const std::wstring& line);

// The commands, for --help and the "help" command.
std::wstring HostCommandHelp();
