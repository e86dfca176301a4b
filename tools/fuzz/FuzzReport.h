#pragma once
#include <cstdint>
#include <string>
#include "tools/fuzz/FuzzTarget.h"

// How a finding is told: which target, what failed, and how to run the same input again.
//   FINDING queuefile #1234 (seed 7): <what>
//     reproduce: lumfuzz --seed 7 --target queuefile --index 1234
//     input (52 bytes): fffe4100...
// Long inputs show their first kHexLimit bytes; the command reproduces them whole.
void PrintFinding(const char* target, uint64_t seed, uint64_t index, const FuzzBytes& input, const std::string& what);
// Finds not tied to one input (growth of handles or heap).
void PrintTargetFinding(const char* target, uint64_t seed, const std::string& what);
std::string HexOf(const FuzzBytes& input, size_t limit);
