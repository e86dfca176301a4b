#pragma once
#include <windows.h>
#include "common/LockRank.h"

// Contracts that the code states and checked builds (LUM_CHECKS, see common/LockRank.h) check:
//     LUM_ASSERT(item != nullptr);
// A failed check is reported to the contract failure handler. Without a handler the report goes
// to the debugger output and standard error and the process ends, so the failure cannot pass
// unseen; the tests install a handler that makes it a test failure and lets the program go on.
// Release builds compile the checks away: the condition is not evaluated.

using ContractFailureHandler = void (*)(const char* what, const char* file, int line);

// Installs `handler` (null: the default) for every thread; answers the one it replaces.
ContractFailureHandler SetContractFailureHandler(ContractFailureHandler handler) noexcept;
// Reports a broken contract; returns only when a handler is installed.
void ReportContractFailure(const char* what, const char* file, int line) noexcept;

// The highest rank among the plug-in's locks the calling thread holds; LockRank::Outside when it
// holds none, and always in release builds. For "called with none of our locks held":
//     LUM_ASSERT(HighestHeldLockRank() == LockRank::Outside);
LockRank HighestHeldLockRank() noexcept;

#if LUM_CHECKS
#define LUM_ASSERT(condition) \
    ((condition) ? static_cast<void>(0) : ReportContractFailure(#condition, __FILE__, __LINE__))
#else
#define LUM_ASSERT(condition) static_cast<void>(0)
#endif
