#pragma once
#include <windows.h>
#include <string>
#include "tools/fuzz/FuzzTarget.h"

// Content classification from what the database says of an item: its class, path, MIME type,
// source application, broadcast type and marker. The oracle: a category is one known bit or none,
// and it belongs to the kind of item the class (or, for class 0, the path's MIME type) names; the
// only exception raised is E_INVALIDARG for an extension beyond 255 characters.
class CClassifyTarget : public CFuzzTarget
{
public:
    CClassifyTarget() : CFuzzTarget("classify", "texts") {}
    std::vector<FuzzBytes> Seeds() override;
    std::string Run(const FuzzBytes& input) override;

private:
    std::string Check(LONG itemClass, const std::wstring& path, const std::wstring& mime, const std::wstring& source,
                      const std::wstring& broadcast, const std::wstring& marker);
};
