#pragma once
#include "tools/fuzz/FuzzTarget.h"

// Content classification from what the database says of an item: its class, path, MIME type,
// source application, broadcast type and marker. The oracle: a category is one known bit or none,
// and it belongs to the kind of item the class (or, for class 0, the path's MIME type) names; the
// only exception raised is E_INVALIDARG for an extension beyond 255 characters.
class CClassifyTarget : public CFuzzTarget
{
public:
    const char* Name() const override { return "classify"; }
    const char* Group() const override { return "texts"; }
    std::vector<FuzzBytes> Seeds() override;
    bool Generate(CSoakRandom& random, FuzzBytes& input) override;
    std::string Run(const FuzzBytes& input) override;
};
