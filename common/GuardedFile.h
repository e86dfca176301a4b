#pragma once
#include <windows.h>
#include "common/Scoped.h"
#include "common/String.h"

// File work on paths that others control (the content database's values): every file the
// plug-in deletes or overwrites is opened first, checked where it really lies, and then changed
// through that same handle, so that no link or rename between the check and the change can
// redirect it.
//
// The check, in order:
//   - the path's text: no device namespace ("\\.\", "\\?\GLOBALROOT", "\??\", "\\?\" forms other
//     than a drive or UNC path) and no stream name (a ":" after the root);
//   - the open: without following a final reparse point, so a link is the object, not its target;
//   - the final path (GetFinalPathNameByHandleW): again no device or stream form, not a protected
//     location (ProtectedLocations.h) and not a volume root or a file directly in one;
//   - the object: not a directory.

enum class FileGuardRefusal
{
    None,
    EmptyPath,
    DeviceNamespace,
    AlternateStream,
    OpenFailed,        // the open's error is the last error
    FinalPathUnknown,  // no drive or share path for the handle (a volume without a letter)
    ProtectedLocation,
    VolumeRoot,
    Directory,
};

// Words for a refusal ("a protected location", ...), for the host's and the trace's lines.
const wchar_t* DescribeFileGuardRefusal(FileGuardRefusal refusal) noexcept;

// What the guarded open is for: the access it asks for and what it shares.
enum class GuardedAccess
{
    Delete,     // DELETE; shared as DeleteFileW shares
    Overwrite,  // GENERIC_WRITE, made when missing (and taken away again when refused); others may read
    Read,       // GENERIC_READ; others may read meanwhile
};

// Checks the path's text, opens it and checks the object. On None `file` holds the open handle
// and `finalPath` (when given) its final path without "\\?\"; otherwise `file` is closed. The
// last error is the open's on OpenFailed and ERROR_ACCESS_DENIED on every other refusal.
FileGuardRefusal OpenGuardedFile(LPCWSTR path, GuardedAccess access, CScopedHandle& file, CString* finalPath = nullptr);

// Marks the file opened by OpenGuardedFile(Delete) for deletion; it goes when the handle closes.
// False with the last error set when the file system refuses (a read-only file, say).
bool DeleteGuardedFile(HANDLE file);

// Replaces the content of `target` (opened for Overwrite) by that of `source` (opened for Read),
// from the start, and cuts the target to the same length. False with the last error set.
bool OverwriteGuardedFile(HANDLE target, HANDLE source);
