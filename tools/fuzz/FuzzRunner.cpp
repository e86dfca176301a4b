#include "tools/fuzz/FuzzRunner.h"

#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <set>
#include "tools/fuzz/FuzzMutator.h"
#include "tools/fuzz/FuzzReport.h"
#include "tools/fuzz/ResourceSample.h"
#include "tools/soak/SoakRandom.h"

namespace
{
// The largest input the mutator makes: a delay-queue file of some thousand lines.
constexpr size_t kMaxInputSize = 1 << 20;
// Inputs before the first sample of handles and heap: caches and one-time set-up fill first.
constexpr uint64_t kWarmUpInputs = 1000;
// Growth beyond this over the inputs since the warm-up is a leak, not a cache settling.
constexpr DWORD kHandleSlack = 32;
constexpr uint64_t kHeapSlackBytes = 16u << 20;
// Recent inputs the mutator may start from or splice in, besides the seeds.
constexpr size_t kRecentInputs = 64;
// The same finding text is printed this often per target, then only counted.
constexpr uint64_t kPrintsPerFinding = 3;

uint64_t NameHash(const char* name)
{
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (; *name; ++name)
        hash = (hash ^ static_cast<uint8_t>(*name)) * 1099511628211ull;
    return hash;
}

// Inputs for one target: its seeds, then a mix of generated, random and mutated inputs. The
// sequence depends on the seed alone, never on what an input did, so an index names one input.
class CInputSource
{
public:
    CInputSource(CFuzzTarget& target, uint64_t seed)
        : m_target(target), m_random(seed ^ NameHash(target.Name())), m_mutator(m_random, kMaxInputSize),
          m_seeds(target.Seeds())
    {
    }

    FuzzBytes Next(uint64_t index)
    {
        FuzzBytes input;
        if (index < m_seeds.size())
            input = m_seeds[static_cast<size_t>(index)];
        else
        {
            const uint32_t roll = m_random.Below(100);
            if (roll < 25 && m_target.Generate(m_random, input))
            {
            }
            else if (roll < 30)
                input = m_mutator.RandomBytes();
            else
                input = m_mutator.Mutate(Pick(), Pick());
        }
        FuzzBytes& slot = m_recent[static_cast<size_t>(index % kRecentInputs)];
        m_recentBytes = m_recentBytes - slot.capacity() + input.size();
        slot = FuzzBytes(input.begin(), input.end());
        return input;
    }

    // What the recent inputs take of the heap: the runner's own, not the target's.
    uint64_t RecentBytes() const noexcept { return m_recentBytes; }

private:
    const FuzzBytes& Pick()
    {
        static const FuzzBytes empty;
        const size_t recent = std::count_if(m_recent, m_recent + kRecentInputs, [](const FuzzBytes& b) { return !b.empty(); });
        const uint32_t pick = m_random.Below(static_cast<uint32_t>(m_seeds.size() + recent));
        if (pick < m_seeds.size())
            return m_seeds[pick];
        size_t left = pick - m_seeds.size();
        for (const FuzzBytes& bytes : m_recent)
        {
            if (!bytes.empty() && left-- == 0)
                return bytes;
        }
        return empty;
    }

    CFuzzTarget& m_target;
    CSoakRandom m_random;
    CFuzzMutator m_mutator;
    std::vector<FuzzBytes> m_seeds;
    FuzzBytes m_recent[kRecentInputs];
    uint64_t m_recentBytes = 0;
};

double SecondsSince(LARGE_INTEGER start)
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}
}  // namespace

CFuzzRunner::CFuzzRunner(const CFuzzOptions& options, std::vector<std::unique_ptr<CFuzzTarget>> targets)
    : m_options(options), m_targets(std::move(targets)), m_watchdog(options.inputLimitMs)
{
}

bool CFuzzRunner::IsChosen(const CFuzzTarget& target) const
{
    const bool byName = std::find(m_options.targets.begin(), m_options.targets.end(), target.Name()) != m_options.targets.end();
    const bool byGroup = std::find(m_options.groups.begin(), m_options.groups.end(), target.Group()) != m_options.groups.end();
    return (m_options.targets.empty() && m_options.groups.empty()) || byName || byGroup;
}

bool CFuzzRunner::Run()
{
    if (m_options.list)
    {
        for (const auto& target : m_targets)
            std::printf("%-10s group %s\n", target->Name(), target->Group());
        return true;
    }
    if (!m_watchdog.Start())
    {
        std::printf("lumfuzz: the watchdog thread did not start\n");
        return false;
    }
    bool passed = true;
    bool any = false;
    CTally total;
    for (const auto& target : m_targets)
    {
        if (!IsChosen(*target))
            continue;
        any = true;
        CTally tally;
        passed = RunTarget(*target, tally) && passed;
        std::printf("%-10s group %-8s seed %llu  inputs %10llu  findings %llu  (%.1f s)\n", target->Name(), target->Group(),
                    static_cast<unsigned long long>(m_options.seed), static_cast<unsigned long long>(tally.inputs),
                    static_cast<unsigned long long>(tally.findings), tally.seconds);
        const std::string reached = target->Reached();
        if (!reached.empty())
            std::printf("           reached: %s\n", reached.c_str());
        std::fflush(stdout);
        total.inputs += tally.inputs;
        total.findings += tally.findings;
        total.seconds += tally.seconds;
    }
    if (!any)
    {
        std::printf("lumfuzz: no target chosen (--list names them)\n");
        return false;
    }
    std::printf("all        seed %llu  inputs %10llu  findings %llu  (%.1f s)\n", static_cast<unsigned long long>(m_options.seed),
                static_cast<unsigned long long>(total.inputs), static_cast<unsigned long long>(total.findings), total.seconds);
    return passed;
}

bool CFuzzRunner::RunTarget(CFuzzTarget& target, CTally& tally)
{
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    const std::string setUpError = target.SetUp();
    if (!setUpError.empty())
    {
        PrintTargetFinding(target.Name(), m_options.seed, "set-up failed: " + setUpError);
        ++tally.findings;
        target.TearDown();
        return false;
    }

    CInputSource source(target, m_options.seed);
    std::multiset<std::string> seen;
    CResourceSample baseline;
    uint64_t baselineIndex = 0;
    const bool single = m_options.index != CFuzzOptions::kNoIndex;
    uint64_t index = 0;
    for (;; ++index)
    {
        if (single ? index > m_options.index
                   : (m_options.inputs && index >= m_options.inputs) || (m_options.seconds > 0 && SecondsSince(start) >= m_options.seconds))
            break;
        const FuzzBytes input = source.Next(index);
        if (single && index < m_options.index)
            continue;

        m_watchdog.Begin(target.Name(), m_options.seed, index, input);
        std::string finding;
        try
        {
            finding = target.Run(input);
        }
        catch (const std::exception& e)
        {
            finding = std::string("exception left the call: ") + e.what();
        }
        catch (...)
        {
            finding = "exception left the call";
        }
        m_watchdog.End();
        ++tally.inputs;

        if (!finding.empty())
        {
            ++tally.findings;
            seen.insert(finding);
            if (single || seen.count(finding) <= kPrintsPerFinding)
                PrintFinding(target.Name(), m_options.seed, index, input, finding);
        }
        if (index + 1 == kWarmUpInputs)
        {
            baseline = CResourceSample::Take();
            baseline.privateBytes -= std::min(baseline.privateBytes, source.RecentBytes());
            baselineIndex = index + 1;
        }
        else if (baselineIndex && (index + 1) % m_options.sampleEvery == 0)
            CheckGrowth(target, index + 1, baselineIndex, baseline, source.RecentBytes(), tally);
    }
    // A last look at the end, unless the run was too short to tell a leak from a cache.
    if (baselineIndex && index >= baselineIndex + kWarmUpInputs && index % m_options.sampleEvery != 0)
        CheckGrowth(target, index, baselineIndex, baseline, source.RecentBytes(), tally);
    target.TearDown();
    tally.seconds = SecondsSince(start);
    return tally.findings == 0;
}

bool CFuzzRunner::CheckGrowth(CFuzzTarget& target, uint64_t index, uint64_t baselineIndex, const CResourceSample& baseline,
                              uint64_t runnerBytes, CTally& tally)
{
    CResourceSample now = CResourceSample::Take();
    now.privateBytes -= std::min(now.privateBytes, runnerBytes);
    char what[200];
    bool grew = false;
    if (now.handles > baseline.handles + kHandleSlack)
    {
        std::snprintf(what, sizeof(what), "handles grew from %lu to %lu over inputs %llu to %llu", baseline.handles,
                      now.handles, static_cast<unsigned long long>(baselineIndex), static_cast<unsigned long long>(index));
        PrintTargetFinding(target.Name(), m_options.seed, what);
        grew = true;
    }
    if (now.privateBytes > baseline.privateBytes + kHeapSlackBytes)
    {
        std::snprintf(what, sizeof(what), "private memory grew from %llu to %llu bytes over inputs %llu to %llu",
                      static_cast<unsigned long long>(baseline.privateBytes), static_cast<unsigned long long>(now.privateBytes),
                      static_cast<unsigned long long>(baselineIndex), static_cast<unsigned long long>(index));
        PrintTargetFinding(target.Name(), m_options.seed, what);
        grew = true;
    }
    if (grew)
        ++tally.findings;
    return !grew;
}
