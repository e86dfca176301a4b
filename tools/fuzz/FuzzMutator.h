#pragma once
#include <cstddef>
#include "tools/fuzz/FuzzTarget.h"
#include "tools/soak/SoakRandom.h"

// Byte-level changes of inputs: bit flips, bytes and UTF-16 units that parsers trip on, inserts,
// erasures, truncation, duplicated ranges and splices of two inputs; and random inputs. Every
// choice comes from the random source, so a seed gives the same inputs again.
class CFuzzMutator
{
public:
    CFuzzMutator(CSoakRandom& random, size_t maxSize) noexcept : m_random(random), m_maxSize(maxSize) {}

    // One to four changes of `input`; `other` is the partner of a splice.
    FuzzBytes Mutate(const FuzzBytes& input, const FuzzBytes& other);
    // Random bytes, mostly short.
    FuzzBytes RandomBytes();

private:
    void MutateOnce(FuzzBytes& bytes, const FuzzBytes& other);
    size_t Position(const FuzzBytes& bytes, bool end);

    CSoakRandom& m_random;
    size_t m_maxSize;
};
