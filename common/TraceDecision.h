#pragma once
// The words of the decision trace: where a line comes from and what was decided. The README's
// table of decisions, the reference host and the tests read these same words, so a word is changed
// here or nowhere.

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

inline const wchar_t* TraceSourceWord(TraceSource source) noexcept
{
    switch (source)
    {
    case TraceSource::Notify:
        return L"notify";
    case TraceSource::Search:
        return L"search";
    case TraceSource::CleanUp:
        return L"cleanup";
    case TraceSource::Host:
        return L"host";
    }
    return L"host";
}

inline const wchar_t* TraceDecisionWord(TraceDecision decision) noexcept
{
    switch (decision)
    {
    case TraceDecision::HeldBack:
        return L"held back";
    case TraceDecision::Classified:
        return L"classified";
    case TraceDecision::Withdrawn:
        return L"withdrawn";
    case TraceDecision::HandedOff:
        return L"handed off";
    case TraceDecision::Dropped:
        return L"dropped";
    case TraceDecision::HandedOver:
        return L"handed over";
    case TraceDecision::MarkedMissing:
        return L"marked missing";
    case TraceDecision::Reset:
        return L"reset";
    case TraceDecision::Removed:
        return L"removed";
    case TraceDecision::DeletionRefused:
        return L"deletion refused";
    case TraceDecision::RunBegun:
        return L"run begun";
    case TraceDecision::RunEnded:
        return L"run ended";
    case TraceDecision::Failed:
        return L"failed";
    case TraceDecision::Notified:
        return L"notified";
    case TraceDecision::Queried:
        return L"queried";
    case TraceDecision::ManagerCall:
        return L"manager call";
    case TraceDecision::LinesDropped:
        return L"lines dropped";
    case TraceDecision::LevelChanged:
        return L"level changed";
    }
    return L"";
}
