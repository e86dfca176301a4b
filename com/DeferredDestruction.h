#pragma once
#include <windows.h>

// Runs destroy(object) on a new thread, in the multi-threaded apartment, and returns at once. For
// an object whose last reference goes on a thread that still runs the object's own code further
// up its stack (one of its workers, or a call it makes out): destroying it there would free that
// code's state, or make a worker wait for itself. The thread holds a reference on the module that
// contains this code until it has ended, so the module cannot be unloaded under it.
// False, with nothing done, when no thread can be started.
bool DestroyOnNewThread(void (*destroy)(void* object), void* object) noexcept;
