#pragma once
#include <windows.h>
#include <initializer_list>
#include <vector>
#include "common/String.h"

// Query texts for the content database. The database parses them; we only write them, so the
// texts must come out character for character as below: the parser is not ours to change.
//
// Language as written here: "P = \"v\"", "P exists true|false", "P & \"m\" = \"v\"",
// "P contains \"v\"", joined by "and" / "or" with parentheses. The property number comes first,
// every value is quoted (numbers too), and "and" binds tighter than "or".
//
// Every function returns a new text. Null texts count as empty. Only allocation failures raise
// (CHResultException with E_OUTOFMEMORY), as for any CString.

// One argument of a query template: a number for %d or a text for %s.
class CQueryArg
{
public:
    CQueryArg(int number) noexcept : m_number(number), m_text(nullptr) {}
    CQueryArg(long number) noexcept : m_number(static_cast<LONG>(number)), m_text(nullptr) {}
    CQueryArg(const wchar_t* text) noexcept : m_number(0), m_text(text ? text : L"") {}
    CQueryArg(const CString& text) noexcept : m_number(0), m_text(text.GetString()) {}

    bool IsText() const noexcept { return m_text != nullptr; }
    LONG Number() const noexcept { return m_number; }
    const wchar_t* Text() const noexcept { return m_text; }

private:
    LONG m_number;
    const wchar_t* m_text;
};

// Fills a template written in printf style with %d (signed 32-bit decimal), %s (text inserted as
// is) and %%. The arguments are typed, so a number can never be read as a text pointer; a
// template whose conversions do not match its arguments raises CHResultException(E_INVALIDARG).
CString FormatQuery(const wchar_t* queryTemplate, std::initializer_list<CQueryArg> args);

// A caller's text ready for a P = "v" condition: every backslash doubled, nothing else changed.
// Values of "contains" conditions are not escaped.
CString EscapeQueryValue(const wchar_t* value);

// ---- Conditions ------------------------------------------------------------------------------

// P = "v" with v escaped, e.g. 500 = "C:\\Media\\clip.mpg".
CString QueryValueEquals(LONG property, const wchar_t* value);
// P = "n", e.g. -2 = "600".
CString QueryNumberEquals(LONG property, LONG value);
// -2 = "c1" or -2 = "c2" [or -2 = "c3"]: no parentheses of its own.
CString QueryAnyClass(LONG class1, LONG class2);
CString QueryAnyClass(LONG class1, LONG class2, LONG class3);
// -2 = "c" and P = "v" (v escaped).
CString QueryClassAndValue(LONG itemClass, LONG property, const wchar_t* value);
// ( -2 = "c1" or -2 = "c2" or -2 = "c3" ) and P = "v" (v escaped).
CString QueryAnyClassAndValue(LONG class1, LONG class2, LONG class3, LONG property, const wchar_t* value);
// (-2 = "c1" or -2 = "c2") and P contains "v" (v unchanged).
CString QueryAnyClassAndContains(LONG class1, LONG class2, LONG property, const wchar_t* value);
// P & "m" = "v": the property read as an integer, masked, compared.
CString QueryMaskEquals(LONG property, LONG mask, LONG value);
// P exists false or P & "m" = "v".
CString QueryMissingOrMaskEquals(LONG property, LONG mask, LONG value);

// ---- Category groups: each parenthesised, to be joined with JoinAlternatives ----------------

// ( -2 = "c" )
CString QueryClassGroup(LONG itemClass);
// ( -2 = "c" and P exists true ) or ( -2 = "c" and P exists false ).
CString QueryClassGroupWithProperty(LONG itemClass, LONG property, bool exists);
// Video from a digital source: the marker set, or a digital broadcast type.
// Relies on "and" binding tighter than "or" inside the inner group.
CString QueryDigitalVideoGroup();
// Video from an analogue source: no marker and an analogue broadcast type.
CString QueryAnalogueVideoGroup();

// ---- Overall analysis state (low four bits of property 0xAF) --------------------------------

// ( video or image or audio ) and (175 & "15" = "v")
CString QueryMediaStateIs(LONG value);
// ( video or image or audio ) and (175 exists false or 175 & "15" = "v")
CString QueryMediaStateMissingOr(LONG value);
// ( video or image or audio ) and (175 & "15" = "v1" or 175 & "15" = "v2")
CString QueryMediaStateIsEither(LONG value1, LONG value2);
// ( 175 & "15" = "v" )
CString QueryStateIs(LONG value);
// ( 175 & "15" = "v1" or 175 & "15" = "v2" )
CString QueryStateIsEither(LONG value1, LONG value2);
// ( 175 exists false or 175 & "15" = "v" )
CString QueryStateMissingOr(LONG value);
// ( 175 exists false or 175 & "15" = "v1" or 175 & "15" = "v2" or 175 & "15" = "v3" )
CString QueryStateMissingOrAny(LONG value1, LONG value2, LONG value3);

// ---- Composition ------------------------------------------------------------------------------

// The class filter of a search: -2 = "c" and <text>, the text not parenthesised. kAnyItemClass
// (-1) gives the text unchanged; every other class, 0 included, is a filter.
CString ApplyClassFilter(LONG itemClass, const wchar_t* text);
// Parenthesised groups joined with " or " and wrapped as "( ... )". One group comes back
// unchanged (it carries its own parentheses); none gives the empty text.
CString JoinAlternatives(const std::vector<CString>& groups);
// <text> and ( <condition> )
CString AddCondition(const wchar_t* text, const wchar_t* condition);
// <first> and <second>
CString JoinQueries(const wchar_t* first, const wchar_t* second);
