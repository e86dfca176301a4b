#pragma once
#include <windows.h>

// Counts the live objects of stand-in class T, so that a test can check that everything the
// plug-in was given has been released. T derives from CLiveObjectCount<T>.
template <typename T>
class CLiveObjectCount
{
public:
    static LONG LiveCount() noexcept { return InterlockedCompareExchange(&s_live, 0, 0); }

protected:
    CLiveObjectCount() noexcept { InterlockedIncrement(&s_live); }
    ~CLiveObjectCount() { InterlockedDecrement(&s_live); }
    CLiveObjectCount(const CLiveObjectCount&) = delete;
    CLiveObjectCount& operator=(const CLiveObjectCount&) = delete;

private:
    static inline volatile LONG s_live = 0;
};
