#include "tools/lumhost/ProgramArguments.h"
#include <windows.h>
#include <shellapi.h>

std::vector<std::wstring> ProgramArguments()
{
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; argv && i < count; ++i)
        args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}
