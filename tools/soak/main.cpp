// lumsoak: runs the plug-in DLL for a long time under everything at once, with faults injected,
// and checks that it leaves nothing behind. See SoakUsage() for the options.
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include "tools/lumhost/DllLocation.h"
#include "tools/lumhost/ProgramArguments.h"
#include "tools/soak/SoakOptions.h"
#include "tools/soak/SoakRun.h"

int main()
{
    CSoakOptions options;
    std::wstring error;
    switch (ParseSoakOptions(ProgramArguments(), options, error))
    {
    case SoakParse::Help:
        wprintf(L"%ls\n", SoakUsage().c_str());
        return 0;
    case SoakParse::Error:
        fwprintf(stderr, L"lumsoak: %ls\n", error.c_str());
        return 2;
    case SoakParse::Run:
        break;
    }
    if (options.dllPath.empty())
    {
        // The build defines where its own DLL is.
        options.dllPath = DefaultPluginDllPath(LUM_BUILD_DLL_PATH);
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    bool passed;
    {
        CSoakRun run(options);
        passed = run.Run();
    }
    CoUninitialize();
    return passed ? 0 : 1;
}
