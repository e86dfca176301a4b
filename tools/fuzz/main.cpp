// lumfuzz: seeded random and mutated input for every way outside data comes in. See FuzzUsage().
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <memory>
#include "tools/fuzz/ClassifyTarget.h"
#include "tools/fuzz/DateTimeTarget.h"
#include "tools/fuzz/DbRowsTarget.h"
#include "tools/fuzz/FuzzOptions.h"
#include "tools/fuzz/FuzzRunner.h"
#include "tools/fuzz/ManagerTarget.h"
#include "tools/fuzz/PathTarget.h"
#include "tools/fuzz/QueueFileTarget.h"
#include "tools/fuzz/RegistryTarget.h"
#include "tools/fuzz/StateTarget.h"
#include "tools/lumhost/ProgramArguments.h"

int main()
{
    CFuzzOptions options;
    std::wstring error;
    switch (ParseFuzzOptions(ProgramArguments(), options, error))
    {
    case FuzzParse::Help:
        std::printf("%ls\n", FuzzUsage().c_str());
        return 0;
    case FuzzParse::Error:
        std::fprintf(stderr, "lumfuzz: %ls\n", error.c_str());
        return 2;
    case FuzzParse::Run:
        break;
    }
    // No error box may wait for a click in an unattended run.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    std::vector<std::unique_ptr<CFuzzTarget>> targets;
    targets.push_back(std::make_unique<CQueueFileTarget>());
    targets.push_back(std::make_unique<CDateTimeTarget>());
    targets.push_back(std::make_unique<CStateTarget>());
    targets.push_back(std::make_unique<CClassifyTarget>());
    targets.push_back(std::make_unique<CPathTarget>());
    targets.push_back(std::make_unique<CDbRowsTarget>());
    targets.push_back(std::make_unique<CRegistryTarget>());
    targets.push_back(std::make_unique<CManagerTarget>());
    bool passed;
    {
        CFuzzRunner runner(options, std::move(targets));
        passed = runner.Run();
    }
    CoUninitialize();
    return passed ? 0 : 1;
}
