#pragma once
#include <windows.h>
#include <string>
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "interfaces/PluginInterfaces.h"
#include "tools/lumhost/ProgressLine.h"
#include "tools/lumhost/RefusalReport.h"
#include "tools/lumhost/SearchRequest.h"

class CTimeline;

// The manager's engine side of the plug-in: Start, Pause, Stop and the progress of one search at
// a time, as lumhost drives them from options and typed commands. Every call and its answer goes
// to the timeline. Called on lumhost's main thread only, except the counters, which the
// plug-in's threads feed.
//
// A manager acknowledges the end of a request with Stop: the plug-in stays "running" (and turns
// the next Start away) until told so. lumhost does that once the progress word says done or
// failed, and after a Start that queued no search.
class CSearchControl
{
public:
    explicit CSearchControl(CTimeline& timeline);
    ~CSearchControl();
    CSearchControl(const CSearchControl&) = delete;
    CSearchControl& operator=(const CSearchControl&) = delete;

    // Takes the plug-in's engine interface and opens its progress event; false (and printed)
    // when the plug-in offers neither.
    bool Attach(IUnknown* plugin);
    // Stops a search still going and lets go of the plug-in.
    void Detach();
    bool IsAttached() const noexcept { return m_engine.Get() != nullptr; }

    // Signalled by the plug-in at each change of the progress word; null before Attach.
    HANDLE ProgressEvent() const noexcept { return m_progressEvent.Get(); }

    void Start(const CSearchRequest& request);
    void Pause();
    void Resume();
    void Stop();
    // The engine state and progress word, as a line of the timeline.
    std::wstring Status();
    // Reads the progress word (after the event, or on the host's regular poll) and shows it when
    // it changed. True when the search lumhost started has just ended: the caller then brings its
    // report up to date and calls FinishRun.
    bool ReadProgress();
    // Acknowledges the end with Stop and prints what the run did.
    void FinishRun();
    // Whether a search lumhost started has not ended yet.
    bool RunActive() const noexcept { return m_active; }

    // Asks GetProperty 0x11000 and 0x11001 and shows the categories whose analysis is out of date
    // when they differ from what was shown last (or when `always`).
    void CheckOutOfDate(bool always = false);

    // What the plug-in did during the run, for its closing line.
    void CountHandOff() noexcept { InterlockedIncrement(&m_handedOver); }
    void CountMarkedMissing() noexcept { InterlockedIncrement(&m_markedMissing); }
    void CountReset() noexcept { InterlockedIncrement(&m_reset); }
    void CountRemoved() noexcept { InterlockedIncrement(&m_removed); }

private:
    void Acknowledge();
    bool ReadOutOfDate(LONG property, ULONG& mask);

    CTimeline& m_timeline;
    CComPtr<ILumMgrPluginEngine> m_engine;
    CScopedHandle m_progressEvent;
    CProgressLine m_progress;
    CRefusalReport m_refusals{m_timeline};
    CSearchRequest m_request;  // the last one started
    bool m_active = false;
    bool m_ended = false;
    DWORD m_startTick = 0;
    ULONG m_lastWord = 0;
    bool m_outOfDateShown = false;
    ULONG m_outOfDateMajor = 0;
    ULONG m_outOfDateAny = 0;
    volatile LONG m_handedOver = 0;
    volatile LONG m_markedMissing = 0;
    volatile LONG m_reset = 0;
    volatile LONG m_removed = 0;
};

// "S_OK", "S_FALSE", "E_NOTIMPL (0x80004001)" ... or the number.
std::wstring DescribeAnswer(HRESULT hr);
