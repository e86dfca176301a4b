#pragma once
#include <windows.h>
#include "common/Scoped.h"

// Named kernel objects that several processes and sessions share. Every object is created with a
// DACL that lets Everyone use it but not change its DACL or owner, so that a process that did not
// create it can still open, wait on and signal it, and no process can lock the others out.

// Fills `sd` (an uninitialised SECURITY_DESCRIPTOR) with a DACL of two entries for Everyone:
// deny WRITE_DAC | WRITE_OWNER (left out when allowOwnerChange), then allow GENERIC_ALL.
// Answers the ACL, which the caller frees with LocalFree once the object has been created or
// opened; null when a step failed, and `sd` then carries no DACL.
PACL BuildEveryoneSecurity(SECURITY_DESCRIPTOR* sd, bool allowOwnerChange);

// Creates the named event with the Everyone DACL; when that fails (typically because the event
// exists with a DACL that does not let this caller create it with all access), opens it for
// signalling and waiting. Invalid when both fail.
CScopedHandle CreateOrOpenEvent(bool manualReset, bool initialState, LPCWSTR name);

// The same for a mutex; the fallback open asks for SYNCHRONIZE only (enough to wait on it and to
// release it once taken).
CScopedHandle CreateOrOpenMutex(bool initialOwner, LPCWSTR name);
