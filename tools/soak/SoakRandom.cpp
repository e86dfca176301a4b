#include "tools/soak/SoakRandom.h"

CSoakRandom::CSoakRandom(uint64_t seed) noexcept : m_state(seed ^ 0x9E3779B97F4A7C15ull)
{
}

uint32_t CSoakRandom::Next() noexcept
{
    // splitmix64: small, and every seed (0 included) gives a full-quality sequence.
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
}

uint32_t CSoakRandom::Below(uint32_t bound) noexcept
{
    return bound == 0 ? 0 : static_cast<uint32_t>((static_cast<uint64_t>(Next()) * bound) >> 32);
}

uint32_t CSoakRandom::Between(uint32_t low, uint32_t high) noexcept
{
    return low + Below(high - low + 1);
}

size_t CSoakRandom::Weighted(const std::vector<uint32_t>& weights) noexcept
{
    uint32_t total = 0;
    for (uint32_t weight : weights)
        total += weight;
    uint32_t pick = Below(total);
    for (size_t i = 0; i < weights.size(); ++i)
    {
        if (pick < weights[i])
            return i;
        pick -= weights[i];
    }
    return 0;
}
