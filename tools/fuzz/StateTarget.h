#pragma once
#include "tools/fuzz/FuzzTarget.h"

// The analysis state words as the database's texts give them (ReadStateWord), and the field
// numbers (LocateStateField). The oracle reads each text itself: a C number of base 0 whose low
// 32 bits are the word, for every number of up to 64 bits.
class CStateTarget : public CFuzzTarget
{
public:
    CStateTarget() : CFuzzTarget("state", "texts") {}
    std::vector<FuzzBytes> Seeds() override;
    bool Generate(CSoakRandom& random, FuzzBytes& input) override;
    std::string Run(const FuzzBytes& input) override;
};
