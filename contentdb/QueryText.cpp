#include "contentdb/QueryText.h"

#include <cwchar>
#include <initializer_list>
#include "common/HResultException.h"
#include "contentdb/ContentConstants.h"

namespace
{
// The joining pieces of composed texts; spaces are part of the language's token separation.
const wchar_t kOr[] = L" or ";
const wchar_t kAnd[] = L" and ";
const wchar_t kAndOpen[] = L" and ( ";
const wchar_t kOpen[] = L"( ";
const wchar_t kClose[] = L" )";

// Broadcast types as numbers, in the order the video groups list them.
const LONG kDigitalBroadcastNumbers[] = {2, 6, 4, 10, 11};
const LONG kAnalogueBroadcastNumbers[] = {1, 3, 5, 7, 8, 9};

void AppendDecimal(CString& out, LONG value)
{
    wchar_t digits[16];
    int count = 0;
    // Widen first: the magnitude of LONG's minimum does not fit in a LONG.
    long long magnitude = value;
    if (magnitude < 0)
        magnitude = -magnitude;
    do
    {
        digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        out += L'-';
    while (count > 0)
        out += digits[--count];
}

CString Concat(std::initializer_list<const wchar_t*> pieces)
{
    CString out;
    for (const wchar_t* piece : pieces)
        out += piece;
    return out;
}

}  // namespace

CString FormatQuery(const wchar_t* queryTemplate, std::initializer_list<CQueryArg> args)
{
    if (!queryTemplate)
        ThrowHResult(E_INVALIDARG);
    CString out;
    const CQueryArg* next = args.begin();
    const wchar_t* run = queryTemplate;
    for (const wchar_t* p = queryTemplate; *p; ++p)
    {
        if (*p != L'%')
            continue;
        out.Append(run, static_cast<int>(p - run));
        const wchar_t conversion = p[1];
        if (conversion == L'%')
        {
            out += L'%';
        }
        else if (conversion == L'd' || conversion == L's')
        {
            if (next == args.end() || next->IsText() != (conversion == L's'))
                ThrowHResult(E_INVALIDARG);
            if (conversion == L's')
                out += next->Text();
            else
                AppendDecimal(out, next->Number());
            ++next;
        }
        else
        {
            ThrowHResult(E_INVALIDARG);
        }
        ++p;
        run = p + 1;
    }
    out += run;
    if (next != args.end())
        ThrowHResult(E_INVALIDARG);
    return out;
}

CString EscapeQueryValue(const wchar_t* value)
{
    CString out(value);
    out.Replace(L"\\", L"\\\\");
    return out;
}

CString QueryValueEquals(LONG property, const wchar_t* value)
{
    return FormatQuery(L"%d = \"%s\"", {property, EscapeQueryValue(value)});
}

CString QueryNumberEquals(LONG property, LONG value)
{
    return FormatQuery(L"%d = \"%d\"", {property, value});
}

CString QueryAnyClass(LONG class1, LONG class2)
{
    return FormatQuery(L"%d = \"%d\" or %d = \"%d\"", {kPropItemClass, class1, kPropItemClass, class2});
}

CString QueryAnyClass(LONG class1, LONG class2, LONG class3)
{
    return FormatQuery(L"%d = \"%d\" or %d = \"%d\" or %d = \"%d\"",
                       {kPropItemClass, class1, kPropItemClass, class2, kPropItemClass, class3});
}

CString QueryClassAndValue(LONG itemClass, LONG property, const wchar_t* value)
{
    return FormatQuery(L"%d = \"%d\" and %d = \"%s\"",
                       {kPropItemClass, itemClass, property, EscapeQueryValue(value)});
}

CString QueryAnyClassAndValue(LONG class1, LONG class2, LONG class3, LONG property, const wchar_t* value)
{
    return FormatQuery(L"( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) and %d = \"%s\"",
                       {kPropItemClass, class1, kPropItemClass, class2, kPropItemClass, class3, property,
                        EscapeQueryValue(value)});
}

CString QueryAnyClassAndContains(LONG class1, LONG class2, LONG property, const wchar_t* value)
{
    // The database matches a contains value as plain text: it is not escaped.
    return FormatQuery(L"(%d = \"%d\" or %d = \"%d\") and %d contains \"%s\"",
                       {kPropItemClass, class1, kPropItemClass, class2, property, value});
}

CString QueryMaskEquals(LONG property, LONG mask, LONG value)
{
    return FormatQuery(L"%d & \"%d\" = \"%d\"", {property, mask, value});
}

CString QueryMissingOrMaskEquals(LONG property, LONG mask, LONG value)
{
    return FormatQuery(L"%d exists false or %d & \"%d\" = \"%d\"", {property, property, mask, value});
}

CString QueryClassGroup(LONG itemClass)
{
    return FormatQuery(L"( %d = \"%d\" )", {kPropItemClass, itemClass});
}

CString QueryClassGroupWithProperty(LONG itemClass, LONG property, bool exists)
{
    return FormatQuery(exists ? L"( %d = \"%d\" and %d exists true )" : L"( %d = \"%d\" and %d exists false )",
                       {kPropItemClass, itemClass, property});
}

CString QueryDigitalVideoGroup()
{
    const LONG* n = kDigitalBroadcastNumbers;
    const LONG b = kPropBroadcastType;
    return FormatQuery(L"( %d = \"%d\" and ( %d exists true or %d exists true and ( %d = \"%d\" or %d = \"%d\" or "
                       L"%d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) ) )",
                       {kPropItemClass, kItemClassVideo, kPropMarker, b, b, n[0], b, n[1], b, n[2], b, n[3], b, n[4]});
}

CString QueryAnalogueVideoGroup()
{
    const LONG* n = kAnalogueBroadcastNumbers;
    const LONG b = kPropBroadcastType;
    return FormatQuery(L"( %d = \"%d\" and ( %d exists false and %d exists true and ( %d = \"%d\" or %d = \"%d\" or "
                       L"%d = \"%d\" or %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) ) )",
                       {kPropItemClass, kItemClassVideo, kPropMarker, b, b, n[0], b, n[1], b, n[2], b, n[3], b, n[4],
                        b, n[5]});
}

CString QueryMediaStateIs(LONG value)
{
    return FormatQuery(L"( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) and (%d & \"15\" = \"%d\")",
                       {kPropItemClass, kItemClassVideo, kPropItemClass, kItemClassImage, kPropItemClass,
                        kItemClassAudio, kPropAnalysisState0, value});
}

CString QueryMediaStateMissingOr(LONG value)
{
    return FormatQuery(L"( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) and (%d exists false or %d & \"15\" = \"%d\")",
                       {kPropItemClass, kItemClassVideo, kPropItemClass, kItemClassImage, kPropItemClass,
                        kItemClassAudio, kPropAnalysisState0, kPropAnalysisState0, value});
}

CString QueryMediaStateIsEither(LONG value1, LONG value2)
{
    return FormatQuery(
        L"( %d = \"%d\" or %d = \"%d\" or %d = \"%d\" ) and (%d & \"15\" = \"%d\" or %d & \"15\" = \"%d\")",
        {kPropItemClass, kItemClassVideo, kPropItemClass, kItemClassImage, kPropItemClass, kItemClassAudio,
         kPropAnalysisState0, value1, kPropAnalysisState0, value2});
}

CString QueryStateIs(LONG value)
{
    return FormatQuery(L"( %d & \"15\" = \"%d\" )", {kPropAnalysisState0, value});
}

CString QueryStateIsEither(LONG value1, LONG value2)
{
    return FormatQuery(L"( %d & \"15\" = \"%d\" or %d & \"15\" = \"%d\" )",
                       {kPropAnalysisState0, value1, kPropAnalysisState0, value2});
}

CString QueryStateMissingOr(LONG value)
{
    return FormatQuery(L"( %d exists false or %d & \"15\" = \"%d\" )",
                       {kPropAnalysisState0, kPropAnalysisState0, value});
}

CString QueryStateMissingOrAny(LONG value1, LONG value2, LONG value3)
{
    const LONG p = kPropAnalysisState0;
    return FormatQuery(
        L"( %d exists false or %d & \"15\" = \"%d\" or %d & \"15\" = \"%d\" or %d & \"15\" = \"%d\" )",
        {p, p, value1, p, value2, p, value3});
}

CString ApplyClassFilter(LONG itemClass, const wchar_t* text)
{
    if (itemClass == kAnyItemClass)
        return CString(text);
    return FormatQuery(L"%d = \"%d\" and %s", {kPropItemClass, itemClass, text});
}

CString JoinAlternatives(const std::vector<CString>& groups)
{
    if (groups.empty())
        return CString();
    if (groups.size() == 1)
        return groups.front();
    CString out(kOpen);
    for (size_t i = 0; i < groups.size(); ++i)
    {
        if (i > 0)
            out += kOr;
        out += groups[i];
    }
    out += kClose;
    return out;
}

CString AddCondition(const wchar_t* text, const wchar_t* condition)
{
    return Concat({text, kAndOpen, condition, kClose});
}

CString JoinQueries(const wchar_t* first, const wchar_t* second)
{
    return Concat({first, kAnd, second});
}
