#include "search/AnalysisState.h"
#include <cwchar>

LONG ReadStateWord(const wchar_t* text) noexcept
{
    if (!text || !*text)
        return 0;
    // Read wider than 32 bits so that unsigned decimal texts above 0x7FFFFFFF do not saturate.
    const long long value = std::wcstoll(text, nullptr, 0);
    return static_cast<LONG>(static_cast<ULONG>(static_cast<unsigned long long>(value)));
}

bool LocateStateField(ULONG field, ULONG* word, ULONG* shift) noexcept
{
    if (field < 1 || field > kStateFieldCount)
        return false;
    *word = (field - 1) / 8;
    *shift = 4 * ((field - 1) % 8);
    return true;
}
