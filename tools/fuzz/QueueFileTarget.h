#pragma once
#include <memory>
#include <string>
#include <vector>
#include "standins/ScratchFolder.h"
#include "tools/fuzz/FuzzTarget.h"

// The delay-queue file's bytes, loaded by the real loader from a folder of the target's own:
// whole and truncated files, with and without byte-order mark, invalid UTF-16, NULs, huge lines
// and every line ending. The oracle: every line the loader hands on passes the file's checks (an
// id, a class that is not 0, the path of an existing file that is no folder), no field holds a
// NUL or a TAB, and no path a CR or LF (lines end only at CR LF, so an id may hold either).
class CQueueFileTarget : public CFuzzTarget
{
public:
    CQueueFileTarget() : CFuzzTarget("queuefile", "texts") {}
    std::string SetUp() override;
    void TearDown() override;
    std::vector<FuzzBytes> Seeds() override;
    bool Generate(CSoakRandom& random, FuzzBytes& input) override;
    std::string Run(const FuzzBytes& input) override;
    std::string Reached() const override;

private:
    std::unique_ptr<CScratchFolder> m_scratch;
    std::wstring m_folder;              // the scratch folder, ending with "\"
    std::vector<std::wstring> m_files;  // existing files, then a folder
    uint64_t m_loadedLines = 0;
    uint64_t m_filesWithLines = 0;
};
