#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include "standins/ContentDbItem.h"

// A query of the content database, parsed from its text and evaluated against items.
//
// Grammar (tokens separated by blanks; parentheses, "=" and "&" need none):
//     query     := and-group { "or" and-group }          "and" binds tighter than "or"
//     and-group := primary { "and" primary }
//     primary   := "(" query ")" | condition
//     condition := P "=" STR | P "exists" ("true"|"false") | P "&" STR "=" STR | P "contains" STR
// P is a signed decimal property number (-1 the item id, -2 its class code). STR is a text in
// double quotes where "\\" stands for one backslash and any other backslash for itself; it ends
// at the next double quote. The mask and value of "&" are decimal integers, negative ones
// allowed, taken as 32-bit; the property is read the same way and a property that is no integer
// fails the test. Keywords are matched without regard to case; texts are compared exactly.
class CContentDbQuery
{
public:
    CContentDbQuery();
    ~CContentDbQuery();
    CContentDbQuery(CContentDbQuery&&) noexcept;
    CContentDbQuery& operator=(CContentDbQuery&&) noexcept;

    // S_OK, or kHrCdbQuerySyntax with the position of the first offending character in
    // *errorOffset (when given). Never throws for any text; E_OUTOFMEMORY when memory runs out.
    HRESULT Parse(const wchar_t* text, size_t* errorOffset = nullptr) noexcept;

    // False before a successful Parse.
    bool Matches(const CContentDbItem& item) const;

    struct Node;

private:
    std::unique_ptr<Node> m_root;
};

// What the stand-in answers for a text it cannot parse.
constexpr HRESULT kHrCdbQuerySyntax = static_cast<HRESULT>(0x80042010);
