// What makes a finding reproducible: the inputs of a target depend on the seed alone, so that the
// reproducer's --index runs exactly the input the run found, and a target's failure is counted.
#include <gtest/gtest.h>
#include <memory>
#include <vector>
#include "tools/fuzz/FuzzRunner.h"
#include "tools/soak/SoakRandom.h"

namespace
{
// Records every input; fails the one whose first byte is `failOn` (none when 256).
class CRecordingTarget : public CFuzzTarget
{
public:
    CRecordingTarget(std::vector<FuzzBytes>& seen, unsigned failOn) : CFuzzTarget("recorder", "test"), m_seen(seen), m_failOn(failOn) {}
    std::vector<FuzzBytes> Seeds() override { return {{1, 2, 3}, {}}; }
    bool Generate(CSoakRandom& random, FuzzBytes& input) override
    {
        input.assign(1 + random.Below(8), static_cast<uint8_t>(random.Next()));
        return true;
    }
    std::string Run(const FuzzBytes& input) override
    {
        m_seen.push_back(input);
        return !input.empty() && input[0] == m_failOn ? "first byte" : std::string();
    }

private:
    std::vector<FuzzBytes>& m_seen;
    unsigned m_failOn;
};

bool RunRecorder(const CFuzzOptions& options, std::vector<FuzzBytes>& seen, unsigned failOn = 256)
{
    std::vector<std::unique_ptr<CFuzzTarget>> targets;
    targets.push_back(std::make_unique<CRecordingTarget>(seen, failOn));
    CFuzzRunner runner(options, std::move(targets));
    return runner.Run();
}
}  // namespace

TEST(FuzzRunner, AnIndexRunsTheInputThatARunOfTheSameSeedRan)
{
    CFuzzOptions options;
    options.seed = 7;
    options.inputs = 300;
    std::vector<FuzzBytes> first;
    std::vector<FuzzBytes> second;
    ASSERT_TRUE(RunRecorder(options, first));
    ASSERT_TRUE(RunRecorder(options, second));
    ASSERT_EQ(300u, first.size());
    EXPECT_EQ(first, second);
    EXPECT_EQ((FuzzBytes{1, 2, 3}), first[0]);  // the seeds come first

    for (uint64_t index : {1ull, 2ull, 150ull, 299ull})
    {
        options.index = index;
        std::vector<FuzzBytes> single;
        ASSERT_TRUE(RunRecorder(options, single));
        ASSERT_EQ(1u, single.size());
        EXPECT_EQ(first[index], single[0]) << index;
    }

    options.index = CFuzzOptions::kNoIndex;
    options.seed = 8;
    std::vector<FuzzBytes> other;
    ASSERT_TRUE(RunRecorder(options, other));
    EXPECT_NE(first, other);
}

TEST(FuzzRunner, AFindingFailsTheRunAndTheRunGoesOn)
{
    CFuzzOptions options;
    options.inputs = 200;
    std::vector<FuzzBytes> seen;
    EXPECT_FALSE(RunRecorder(options, seen, 1));  // the first seed fails
    EXPECT_EQ(200u, seen.size());
}
