#pragma once
#include <windows.h>
#include "interfaces/PluginInterfaces.h"

class CTimeline;

// The plug-in's file guard refusals on the timeline: the clean-up goes on past a deletion the
// guard refused, so lumhost asks the plug-in (GetProperty 0x11F01 and 0x11F02) after each search
// and prints a "refused" line for each refusal made since it last looked.
class CRefusalReport
{
public:
    explicit CRefusalReport(CTimeline& timeline) : m_timeline(timeline) {}

    // Prints what is new; an engine that answers neither property prints nothing.
    void PrintNew(ILumMgrPluginEngine* engine);

private:
    CTimeline& m_timeline;
    ULONG m_seen = 0;
};
