#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

// lumfuzz's command line.
struct CFuzzOptions
{
    static constexpr uint64_t kNoIndex = ~0ull;

    uint64_t seed = 1;
    double seconds = 0;   // per target; 0: the input budget alone ends a target
    uint64_t inputs = 0;  // per target; 0 with no time either: kDefaultInputs
    std::vector<std::string> targets;  // --target, repeatable; empty: every target
    std::vector<std::string> groups;   // --group, repeatable
    uint64_t index = kNoIndex;         // --index: run this one input of the target only
    DWORD inputLimitMs = 30000;        // a hang: one input running longer
    uint64_t sampleEvery = 10000;      // inputs between two samples of handles and heap
    bool list = false;

    static constexpr uint64_t kDefaultInputs = 10000;
};

enum class FuzzParse
{
    Run,
    Help,
    Error
};

FuzzParse ParseFuzzOptions(const std::vector<std::wstring>& arguments, CFuzzOptions& options, std::wstring& error);
std::wstring FuzzUsage();
