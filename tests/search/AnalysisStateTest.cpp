#include <gtest/gtest.h>
#include "search/AnalysisState.h"

// State words reach the database as signed or unsigned decimal, or in hex: each keeps the low 32
// bits of its number, whatever the number's width up to 64 bits.
TEST(AnalysisStateTest, ReadStateWordKeepsTheLowBitsOfEveryWidth)
{
    const struct
    {
        const wchar_t* text;
        ULONG word;
    } cases[] = {
        {nullptr, 0},
        {L"", 0},
        {L"x", 0},
        {L"74", 74},
        {L"0x4A", 74},
        {L"0112", 74},
        {L"-1", 0xFFFFFFFF},
        {L"4294967295", 0xFFFFFFFF},
        {L"-2147483648", 0x80000000},
        {L"4294967296", 0},
        {L"0xFFFFFFFF00000000", 0},             // beyond the signed 64-bit range: not all ones
        {L"18446744069414584321", 1},           // 0xFFFFFFFF00000001
        {L"-4294967296", 0},
        {L"99999999999999999999", 0xFFFFFFFF},  // beyond 64 bits
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.word, static_cast<ULONG>(ReadStateWord(c.text))) << (c.text ? c.text : L"(null)");
}
