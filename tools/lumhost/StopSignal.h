#pragma once
#include <windows.h>

// Ctrl+C, Ctrl+Break and closing the console window ask lumhost to stop instead of killing it, so
// that it can disconnect and release the plug-in and unregister it. One per process.
namespace StopSignal
{
// Creates the stop event and installs the console control handler; false when either fails.
bool Install();
// The manual-reset event signalled by a stop request.
HANDLE Event();
// Signals the stop event (also used for the time limit).
void Request();
// Whether a console control event asked for the stop, and which (CTRL_C_EVENT...).
bool FromConsole(DWORD& controlType);
// Tells a handler waiting on a closing console that clean-up is over.
void CleanupDone();
}  // namespace StopSignal
