#pragma once
#include <windows.h>
#include <cstdint>

// The process's handles and private memory at one moment: a target's inputs must leave neither
// growing. Private memory rather than a walk of the heaps: a walk takes seconds under Wine once a
// target has made many blocks, and a leak grows private memory as surely.
struct CResourceSample
{
    DWORD handles = 0;
    uint64_t privateBytes = 0;

    static CResourceSample Take();
};
