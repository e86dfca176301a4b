#pragma once
#include <windows.h>

// Threads of the plug-in that did not end within their stop time-out and were terminated. Only a
// call out that never returns should ever bring a worker here; each time is counted for the life
// of the module and reported.

// How many threads were ended by force since the module was loaded.
ULONG ThreadsEndedByForce() noexcept;
// Counts one more and reports it (the event log and the trace), with the time-out it overran.
// Called by the thread that ended it, right after the termination.
void ReportThreadEndedByForce(DWORD threadId, DWORD timeoutMs) noexcept;
