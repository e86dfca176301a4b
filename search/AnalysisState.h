#pragma once
#include <windows.h>

// The analysis state words of an item, properties 0xAF to 0xB2: 32 four-bit fields. Field 1 (the
// low four bits of 0xAF) is the item's overall state; field k of an engine with index k lies in
// word (k - 1) / 8 at bit 4 * ((k - 1) % 8).
constexpr ULONG kStateWordCount = 4;
constexpr ULONG kStateFieldMask = 0xF;
constexpr ULONG kStateFieldCount = 32;

// Overall states the runs look for or write.
constexpr ULONG kStateFileMissing = 5;  // written by a search pass that finds the item's file gone
constexpr ULONG kStateInterrupted = 7;  // an analysis that did not finish: searched for again
constexpr ULONG kStateRepeat = 10;      // written by the engine-state reset: to be analysed again

// The engine-field values the engine-state resets move between.
constexpr ULONG kEngineFieldAnalysed = 6;
constexpr ULONG kEngineFieldOutdated = 4;
constexpr ULONG kEngineFieldReset = 10;

// A state word from its database text, read as a C number (base 0: "0x" and a leading "0" count);
// null, empty or not a number gives 0. State words are 32-bit patterns that reach the database as
// signed or as unsigned decimal, so "-1", "4294967295" and "0xFFFFFFFF" all give 0xFFFFFFFF; a
// number beyond 32 bits keeps its low 32 bits ("0xFFFFFFFF00000000" gives 0). A number beyond 64
// bits, which no state word is, gives 0xFFFFFFFF.
LONG ReadStateWord(const wchar_t* text) noexcept;

// Where field `field` (1 to 32) lies: its word (0 to 3) and bit shift. False for any other number.
bool LocateStateField(ULONG field, ULONG* word, ULONG* shift) noexcept;
