#include "tools/fuzz/FuzzReport.h"

#include <cstdio>

namespace
{
constexpr size_t kHexLimit = 1024;
}

std::string HexOf(const FuzzBytes& input, size_t limit)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    const size_t count = input.size() < limit ? input.size() : limit;
    hex.reserve(count * 2 + 3);
    for (size_t i = 0; i < count; ++i)
    {
        hex.push_back(digits[input[i] >> 4]);
        hex.push_back(digits[input[i] & 0xF]);
    }
    if (count < input.size())
        hex += "...";
    return hex;
}

void PrintFinding(const char* target, uint64_t seed, uint64_t index, const FuzzBytes& input, const std::string& what)
{
    std::printf("FINDING %s #%llu (seed %llu): %s\n", target, static_cast<unsigned long long>(index),
                static_cast<unsigned long long>(seed), what.c_str());
    std::printf("  reproduce: lumfuzz --seed %llu --target %s --index %llu\n", static_cast<unsigned long long>(seed),
                target, static_cast<unsigned long long>(index));
    std::printf("  input (%zu bytes): %s\n", input.size(), HexOf(input, kHexLimit).c_str());
    std::fflush(stdout);
}

void PrintTargetFinding(const char* target, uint64_t seed, const std::string& what)
{
    std::printf("FINDING %s (seed %llu): %s\n", target, static_cast<unsigned long long>(seed), what.c_str());
    std::fflush(stdout);
}
