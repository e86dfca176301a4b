#pragma once
#include "tools/fuzz/FuzzTarget.h"

// Date-time values (CXmlDateTime): SYSTEMTIMEs with any field values, time zones with any rules
// and spans of any double. The oracle knows the calendar: a value counts as valid exactly when its
// fields name a real date and time, a valid value converts back to them, an invalid span leaves a
// date unchanged, and no answer is NaN or infinite.
class CDateTimeTarget : public CFuzzTarget
{
public:
    CDateTimeTarget() : CFuzzTarget("datetime", "texts") {}
    std::vector<FuzzBytes> Seeds() override;
    std::string Run(const FuzzBytes& input) override;
};
