#pragma once
#include <windows.h>
#include <cstdint>
#include <vector>

// The soak's one source of choices: the same seed gives the same sequence of operations, on any
// machine (the generator is written out, not the standard library's).
class CSoakRandom
{
public:
    explicit CSoakRandom(uint64_t seed) noexcept;

    uint32_t Next() noexcept;
    // 0 .. bound-1; 0 for a bound of 0.
    uint32_t Below(uint32_t bound) noexcept;
    // low .. high, both included.
    uint32_t Between(uint32_t low, uint32_t high) noexcept;
    bool Percent(uint32_t percent) noexcept { return Below(100) < percent; }
    // An index chosen with the given weights; 0 when all are 0.
    size_t Weighted(const std::vector<uint32_t>& weights) noexcept;

private:
    uint64_t m_state;
};
