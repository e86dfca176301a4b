#include "tools/lumhost/SearchControl.h"
#include "common/Scoped.h"
#include "tools/lumhost/MediaTypes.h"
#include "tools/lumhost/Timeline.h"

namespace
{
constexpr LONG kOutOfDateMajor = 0x11000;
constexpr LONG kOutOfDateAny = 0x11001;

const wchar_t* EngineStateName(ULONG state)
{
    switch (state)
    {
    case 0: return L"never started";
    case 1: return L"running";
    case 2: return L"stopped";
    case 3: return L"paused";
    default: return L"unknown";
    }
}

VARIANT NoOptions()
{
    VARIANT options;
    VariantInit(&options);
    return options;
}
}  // namespace

std::wstring DescribeAnswer(HRESULT hr)
{
    switch (hr)
    {
    case S_OK: return L"S_OK";
    case S_FALSE: return L"S_FALSE";
    case E_NOTIMPL: return L"E_NOTIMPL (0x80004001)";
    case E_FAIL: return L"E_FAIL (0x80004005)";
    case E_ABORT: return L"E_ABORT (0x80004004)";
    case E_OUTOFMEMORY: return L"E_OUTOFMEMORY (0x8007000E)";
    default: return FormatText(L"0x%08lX", static_cast<unsigned long>(hr));
    }
}

CSearchControl::CSearchControl(CTimeline& timeline) : m_timeline(timeline) {}

CSearchControl::~CSearchControl()
{
    Detach();
}

bool CSearchControl::Attach(IUnknown* plugin)
{
    HRESULT hr = plugin ? plugin->QueryInterface(IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&m_engine))
                        : E_POINTER;
    if (FAILED(hr))
    {
        m_timeline.Print(L"the plug-in offers no engine interface (" + DescribeAnswer(hr) + L"): no searches");
        return false;
    }
    CScopedBstr name;
    hr = m_engine->GetProgressEventName(name.Receive());
    if (SUCCEEDED(hr) && name.Get())
        m_progressEvent.Reset(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.Get()));
    if (!m_progressEvent.IsValid())
        m_timeline.Print(L"cannot open the plug-in's progress event (" + DescribeAnswer(hr) +
                         L"): progress is read a few times a second instead");
    else
        m_timeline.Print(FormatText(L"progress event %s", name.Get()));
    return true;
}

void CSearchControl::Detach()
{
    if (m_engine && m_active)
    {
        m_engine->Stop(NoOptions());
        m_active = false;
        m_timeline.Print(L"search         stopped the running search");
    }
    m_engine.Release();
    m_progressEvent.Reset();
}

void CSearchControl::Start(const CSearchRequest& request)
{
    if (!m_engine)
        return;
    const std::wstring what = DescribeSearchRequest(request);
    const HRESULT hr = m_engine->Start(request.StartFlags(), nullptr, NoOptions());
    ULONG word = 0;
    m_engine->GetProgress(&word);
    if (hr == E_NOTIMPL)
    {
        m_timeline.Print(L"search         " + what + L": Start answered " + DescribeAnswer(hr) +
                         L": the plug-in is still running a search; stop it or wait for it");
        return;
    }
    // S_OK is the one answer that queued a search; S_FALSE refused the mode.
    if (hr != S_OK)
    {
        m_timeline.Print(L"search         " + what + L": Start answered " + DescribeAnswer(hr) + L", progress " +
                         CProgressLine::Describe(word) + L": no search queued");
        Acknowledge();
        return;
    }
    m_request = request;
    m_active = true;
    m_ended = false;
    m_startTick = GetTickCount();
    m_progress.Reset();
    InterlockedExchange(&m_handedOver, 0);
    InterlockedExchange(&m_markedMissing, 0);
    InterlockedExchange(&m_reset, 0);
    InterlockedExchange(&m_removed, 0);
    m_timeline.Print(L"search         " + what + L": Start answered S_OK");
    ReadProgress();
}

void CSearchControl::Pause()
{
    if (!m_engine)
        return;
    const HRESULT hr = m_engine->Pause(NoOptions());
    m_timeline.Print(L"search         Pause answered " + DescribeAnswer(hr) +
                     (m_active ? L"" : L" (no search of lumhost's is running: the next Start only resumes)"));
}

void CSearchControl::Resume()
{
    if (!m_engine)
        return;
    ULONG state = 0;
    m_engine->GetState(&state);
    if (state != 3)
    {
        m_timeline.Print(FormatText(L"search         nothing is paused (engine state %lu, %s)",
                                    static_cast<unsigned long>(state), EngineStateName(state)));
        return;
    }
    // The engine has no working Resume: Start on a paused engine lets it go on.
    const HRESULT hr = m_engine->Start(m_request.StartFlags(), nullptr, NoOptions());
    m_timeline.Print(L"search         resumed: Start answered " + DescribeAnswer(hr));
}

void CSearchControl::Stop()
{
    if (!m_engine)
        return;
    const HRESULT hr = m_engine->Stop(NoOptions());
    m_timeline.Print(L"search         Stop answered " + DescribeAnswer(hr));
}

std::wstring CSearchControl::Status()
{
    if (!m_engine)
        return L"no plug-in";
    ULONG state = 0;
    ULONG word = 0;
    m_engine->GetState(&state);
    m_engine->GetProgress(&word);
    return FormatText(L"engine state %lu (%s), progress %s", static_cast<unsigned long>(state), EngineStateName(state),
                      CProgressLine::Describe(word).c_str()) +
           (m_active ? L", running: " + DescribeSearchMode(m_request.mode) : std::wstring());
}

bool CSearchControl::ReadProgress()
{
    if (!m_engine)
        return false;
    ULONG word = 0;
    if (FAILED(m_engine->GetProgress(&word)))
        return false;
    std::wstring text;
    if (m_active && m_progress.Update(word, text))
        m_timeline.PrintLive(FormatText(L"%-14s %s: ", L"progress", DescribeSearchMode(m_request.mode).c_str()) + text);
    m_lastWord = word;
    if (m_active && !m_ended && CProgressLine::IsEnd(word))
    {
        m_ended = true;
        return true;
    }
    return false;
}

void CSearchControl::FinishRun()
{
    if (!m_active)
        return;
    m_active = false;
    const DWORD elapsed = GetTickCount() - m_startTick;
    m_timeline.Print(FormatText(L"%-14s %s: %s after %lu.%lu s: %ld handed over, %ld marked missing, %ld reset, "
                                L"%ld removed",
                                L"search ended", DescribeSearchMode(m_request.mode).c_str(),
                                m_lastWord == CProgressLine::kDone ? L"done" : L"failed",
                                static_cast<unsigned long>(elapsed / 1000),
                                static_cast<unsigned long>(elapsed % 1000 / 100), static_cast<long>(m_handedOver),
                                static_cast<long>(m_markedMissing), static_cast<long>(m_reset),
                                static_cast<long>(m_removed)));
    m_refusals.PrintNew(m_engine.Get());
    Acknowledge();
}

void CSearchControl::Acknowledge()
{
    if (m_engine)
        m_engine->Stop(NoOptions());
}

bool CSearchControl::ReadOutOfDate(LONG property, ULONG& mask)
{
    CScopedVariant value;
    const HRESULT hr = m_engine->GetProperty(property, value.Get());
    if (FAILED(hr) || value.Get()->vt != VT_UI4)
    {
        m_timeline.Print(FormatText(L"out of date    GetProperty 0x%lX answered %s, type %u", static_cast<long>(property),
                                    DescribeAnswer(hr).c_str(), static_cast<unsigned>(value.Get()->vt)));
        return false;
    }
    mask = value.Get()->ulVal;
    return true;
}

void CSearchControl::CheckOutOfDate(bool always)
{
    if (!m_engine)
        return;
    ULONG major = 0;
    ULONG any = 0;
    if (!ReadOutOfDate(kOutOfDateMajor, major) || !ReadOutOfDate(kOutOfDateAny, any))
        return;
    if (!always && m_outOfDateShown && major == m_outOfDateMajor && any == m_outOfDateAny)
        return;
    m_outOfDateShown = true;
    m_outOfDateMajor = major;
    m_outOfDateAny = any;
    m_timeline.Print(FormatText(L"%-14s new major version: %s; any newer version: %s", L"out of date",
                                DescribeCategoryMask(major).c_str(), DescribeCategoryMask(any).c_str()));
}
