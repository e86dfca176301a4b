#include "search/AnalysisState.h"
#include <cwchar>

LONG ReadStateWord(const wchar_t* text) noexcept
{
    if (!text || !*text)
        return 0;
    // Read as an unsigned 64-bit number, which takes a "-" by negating in 64 bits: every number of
    // up to 64 bits keeps its low 32 bits, "-1" as well as "0xFFFFFFFF00000000". A signed reading
    // saturates from 0x8000000000000000 on and turned such patterns into all ones.
    const unsigned long long value = std::wcstoull(text, nullptr, 0);
    return static_cast<LONG>(static_cast<ULONG>(value));
}

bool LocateStateField(ULONG field, ULONG* word, ULONG* shift) noexcept
{
    if (field < 1 || field > kStateFieldCount)
        return false;
    *word = (field - 1) / 8;
    *shift = 4 * ((field - 1) % 8);
    return true;
}
