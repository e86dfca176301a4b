#pragma once
#include <windows.h>
#include <functional>

// The percentage of a clean-up run. Each phase runs from its low to its high value over a list of
// entries; after entry i of n it stands at low + (high - low) * i / n (integer division), so it
// never reaches high inside the phase and only rises from one phase to the next. A value goes out
// (word written, event signalled) only when it differs from the one that went out last.
class CCleanUpProgress
{
public:
    // `publish` writes the worker's progress word and signals its event.
    explicit CCleanUpProgress(std::function<void(ULONG)> publish);

    // Starts a phase and publishes its low value.
    void BeginPhase(ULONG low, ULONG high);
    // Publishes the value after entry `index` (0-based) of `count`.
    void EntryDone(size_t index, size_t count);
    // The last value published; -1 before the first.
    LONG Published() const noexcept { return m_published; }

private:
    void Publish(ULONG value);

    std::function<void(ULONG)> m_publish;
    ULONG m_low = 0;
    ULONG m_high = 3;
    LONG m_published = -1;
};
