#include "tools/lumhost/ProgressLine.h"
#include "tools/lumhost/Timeline.h"

std::wstring CProgressLine::Describe(ULONG progress)
{
    switch (progress)
    {
    case kQueued: return L"queued";
    case kRunning: return L"running";
    case kDone: return L"done";
    case kFailed: return L"failed";
    default: break;
    }
    if (progress >= 100)
        return FormatText(L"progress word 0x%08lX", static_cast<unsigned long>(progress));
    const size_t filled = kBarWidth * progress / 100;
    return L"[" + std::wstring(filled, L'#') + std::wstring(kBarWidth - filled, L'.') +
           FormatText(L"] %3lu%%", static_cast<unsigned long>(progress));
}

bool CProgressLine::Update(ULONG progress, std::wstring& text)
{
    if (m_shown && progress == m_last)
        return false;
    m_shown = true;
    m_last = progress;
    text = Describe(progress);
    return true;
}
