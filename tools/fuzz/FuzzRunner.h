#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "tools/fuzz/FuzzOptions.h"
#include "tools/fuzz/FuzzTarget.h"
#include "tools/fuzz/FuzzWatchdog.h"

// Runs the chosen targets one after the other and prints, per target, the inputs tried, the
// findings and the seed. Each target draws from a generator of its own (the seed mixed with its
// name), so one target reproduces alone what it did in a run of all.
class CFuzzRunner
{
public:
    CFuzzRunner(const CFuzzOptions& options, std::vector<std::unique_ptr<CFuzzTarget>> targets);

    // False when a target had a finding or could not be set up.
    bool Run();

private:
    struct CTally
    {
        uint64_t inputs = 0;
        uint64_t findings = 0;
        double seconds = 0;
    };

    bool IsChosen(const CFuzzTarget& target) const;
    bool RunTarget(CFuzzTarget& target, CTally& tally);
    // Handles and heap (less the runner's own `runnerBytes`) against the sample taken after the
    // warm-up; a finding when they grew.
    bool CheckGrowth(CFuzzTarget& target, uint64_t index, uint64_t baselineIndex, const struct CResourceSample& baseline,
                     uint64_t runnerBytes, CTally& tally);

    const CFuzzOptions& m_options;
    std::vector<std::unique_ptr<CFuzzTarget>> m_targets;
    CFuzzWatchdog m_watchdog;
};
