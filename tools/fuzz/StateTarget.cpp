#include "tools/fuzz/StateTarget.h"

#include <cwctype>
#include "search/AnalysisState.h"
#include "tools/fuzz/FuzzInput.h"
#include "tools/soak/SoakRandom.h"

namespace
{
const std::vector<std::wstring> kPieces = {L"0",  L"1",  L"7",  L"9",   L"0x", L"0X", L"-",  L"+",          L" ",
                                           L"\t", L"f",  L"F",  L"8",   L"4294967295",   L"18446744073709551615",
                                           L"9223372036854775808", L"0xFFFFFFFF",       L"0xFFFFFFFF00000000",
                                           L"-2147483648", L"00", L"z", L"\x00A0", L"\x3000", L"\x0661", L"e5"};

// The low 32 bits of the text read as wcstol base 0 reads its number: white space, a sign, "0x"
// (hex) or "0" (octal), then the digits of that base. No digits: 0. A number beyond 64 bits: all
// ones.
uint32_t LowBitsOf(const wchar_t* text)
{
    if (!text)
        return 0;
    const wchar_t* p = text;
    while (*p && std::iswspace(*p))
        ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-')
        negative = *p++ == L'-';
    unsigned base = 10;
    if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X') && std::iswxdigit(p[2]) && p[2] < 0x80)
    {
        base = 16;
        p += 2;
    }
    else if (p[0] == L'0')
        base = 8;
    uint64_t value = 0;
    bool beyond = false;
    for (;; ++p)
    {
        unsigned digit;
        if (*p >= L'0' && *p <= L'9')
            digit = static_cast<unsigned>(*p - L'0');
        else if (*p >= L'a' && *p <= L'z')
            digit = static_cast<unsigned>(*p - L'a' + 10);
        else if (*p >= L'A' && *p <= L'Z')
            digit = static_cast<unsigned>(*p - L'A' + 10);
        else
            break;
        if (digit >= base)
            break;
        if (value > (~0ull - digit) / base)
            beyond = true;
        value = value * base + digit;
    }
    if (beyond)
        return 0xFFFFFFFF;
    return static_cast<uint32_t>(negative ? 0ull - value : value);
}
}  // namespace

std::vector<FuzzBytes> CStateTarget::Seeds()
{
    std::vector<FuzzBytes> seeds;
    for (const std::wstring& piece : kPieces)
    {
        CFuzzInputWriter writer;
        writer.Dword(0);
        writer.Raw(piece);
        seeds.push_back(writer.Bytes());
    }
    return seeds;
}

bool CStateTarget::Generate(CSoakRandom& random, FuzzBytes& input)
{
    CFuzzInputWriter writer;
    writer.Dword(random.Next());
    const uint32_t pieces = 1 + random.Below(6);
    for (uint32_t i = 0; i < pieces; ++i)
        writer.Raw(kPieces[random.Below(static_cast<uint32_t>(kPieces.size()))]);
    input = writer.Bytes();
    return true;
}

std::string CStateTarget::Run(const FuzzBytes& input)
{
    CFuzzInput reader(input);
    const ULONG field = reader.Dword();
    const std::wstring text = reader.RestAsText();  // read up to its first NUL, as a BSTR would be

    const ULONG word = static_cast<ULONG>(ReadStateWord(text.c_str()));
    const ULONG expected = LowBitsOf(text.c_str());
    if (word != expected)
        return "ReadStateWord gave " + std::to_string(word) + ", the low 32 bits of the number are " + std::to_string(expected);
    if (ReadStateWord(nullptr) != 0)
        return "ReadStateWord(null) is not 0";

    ULONG at = 99;
    ULONG shift = 99;
    const bool located = LocateStateField(field, &at, &shift);
    if (located != (field >= 1 && field <= kStateFieldCount))
        return "LocateStateField answered " + std::to_string(located) + " for field " + std::to_string(field);
    if (located && (at >= kStateWordCount || shift > 28 || shift % 4 != 0 || at * 8 + shift / 4 + 1 != field))
        return "LocateStateField put field " + std::to_string(field) + " at word " + std::to_string(at) + " shift " +
               std::to_string(shift);
    return {};
}
