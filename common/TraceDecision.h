#pragma once
// The words of the decision trace: where a line comes from and what was decided. The README's
// table of decisions, the reference host and the tests read these same words, so a word is changed
// here or nowhere.
#include <iterator>
#include "common/EnumWords.h"

enum class TraceSource
{
    Notify,   // the notification worker
    Search,   // a search run
    CleanUp,  // a clean-up run
    Host,     // the plug-in object, the module and the trace itself
};

enum class TraceDecision
{
    // Level 2: what became of a file or a run.
    HeldBack,         // looked at again later (too young, in use, in a recording folder, ...)
    Classified,       // its content category is known
    Withdrawn,        // the manager's older queue entries for the file were withdrawn
    HandedOff,        // given to the manager's analysis queue by the notification worker
    Dropped,          // let go without a hand-off (gone, unreadable, no path, ...)
    HandedOver,       // queued to the manager by a search run
    MarkedMissing,    // a search found the file gone and wrote the item's state so
    Reset,            // engine states reset so that the item is analysed again
    Removed,          // the clean-up removed the item from the database
    DeletionRefused,  // the clean-up did not delete a file
    RunBegun,         // a search or clean-up run started
    RunEnded,         // ... and ended, with what it did
    // Level 1: something failed that keeps the plug-in from doing its work.
    Failed,
    // Level 3: what happened on the way.
    Notified,     // a change notification of the database
    Queried,      // a query text sent to the database
    ManagerCall,  // a call to the manager and its result
    // The trace itself.
    LinesDropped,
    LevelChanged,
};

// In the order of TraceSource.
inline constexpr const wchar_t* kTraceSourceWords[] = {L"notify", L"search", L"cleanup", L"host"};
static_assert(std::size(kTraceSourceWords) == static_cast<size_t>(TraceSource::Host) + 1, "a word for every source");

// In the order of TraceDecision, grouped as it is.
inline constexpr const wchar_t* kTraceDecisionWords[] = {
    L"held back", L"classified", L"withdrawn", L"handed off", L"dropped", L"handed over", L"marked missing",
    L"reset", L"removed", L"deletion refused", L"run begun", L"run ended",
    L"failed",
    L"notified", L"queried", L"manager call",
    L"lines dropped", L"level changed"};
static_assert(std::size(kTraceDecisionWords) == static_cast<size_t>(TraceDecision::LevelChanged) + 1,
              "a word for every decision");

inline const wchar_t* TraceSourceWord(TraceSource source) noexcept
{
    return EnumWord(source, kTraceSourceWords, L"host");
}

inline const wchar_t* TraceDecisionWord(TraceDecision decision) noexcept
{
    return EnumWord(decision, kTraceDecisionWords, L"");
}
