#pragma once
// `--trace LEVEL` for a benchmark: its figures are measured with the trace off and then again at
// that level, written to a scratch file as a field installation would write it.
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#include "tests/support/TraceCapture.h"

namespace bench
{
// The levels to measure at: off, then the one --trace asks for (if any). Removes the option from
// the arguments so that the benchmark's own positional arguments stay where they were.
inline std::vector<DWORD> TraceLevelsToMeasure(int& argc, char** argv)
{
    std::vector<DWORD> levels{0};
    for (int i = 1; i + 1 < argc; ++i)
    {
        if (std::strcmp(argv[i], "--trace") != 0)
            continue;
        const DWORD level = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 0));
        if (level > 0)
            levels.push_back(level > 3 ? 3 : level);
        for (int j = i; j + 2 <= argc; ++j)
            argv[j] = argv[j + 2];
        argc -= 2;
        break;
    }
    return levels;
}

// The trace at `level` for a scope (nothing when 0). machineKey: the level is also written to the
// settings key of a stand-in HKEY_LOCAL_MACHINE, for a benchmark whose notification worker reads
// it there.
class CBenchTrace
{
public:
    CBenchTrace(DWORD level, bool machineKey)
    {
        if (level > 0)
            m_capture.reset(new trace_test::CTraceCapture(level, machineKey));
    }
    ~CBenchTrace()
    {
        if (m_capture)
            std::printf("  trace: %zu lines written, %llu dropped\n", m_capture->Lines().size(),
                        static_cast<unsigned long long>(TheTraceWriter().DroppedLines()));
    }

    static const char* Label(DWORD level)
    {
        static const char* const labels[] = {"trace off", "trace level 1", "trace level 2", "trace level 3"};
        return labels[level > 3 ? 3 : level];
    }

private:
    std::unique_ptr<trace_test::CTraceCapture> m_capture;
};
}  // namespace bench
