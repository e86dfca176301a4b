#pragma once
#include <windows.h>
#include <vector>
#include "common/GuardedFile.h"
#include "common/String.h"

// The deletions and overwrites the file guard refused, kept for the life of the module so that the
// host can show them: a count and the most recent few, each as "deletion refused, reason: path". A
// refusal is not an error of the run that asked for it (the run goes on as after any failed
// deletion), so this is where it shows.

enum class FileChange
{
    Deletion,
    Overwrite,
};

constexpr size_t kRecentRefusedFileChanges = 8;

void RecordRefusedFileChange(FileChange change, LPCWSTR path, FileGuardRefusal refusal) noexcept;

// How many deletions and overwrites were refused since the module was loaded.
ULONG RefusedFileChangeCount() noexcept;

// The most recent refusals, oldest first, one line each.
std::vector<CString> RecentRefusedFileChanges();

// The recent refusals as one text, a line each ending with CR LF (for the engine's property).
CString RecentRefusedFileChangesText();
