#pragma once
#include <windows.h>
#include "common/String.h"

// Path helpers shared by every subsystem: the folder under a shell special folder, the "\\?\" long
// forms, the root of a path, existence tests and folder creation. Paths are wide strings; results
// are new strings. Null paths are accepted everywhere and treated as empty.

// out := the special folder `csidl`, then innerPath, then subPath, each part ending with "\".
// When the special folder cannot be read, out := the current directory ending with "\" and the
// answer is FALSE (out stays untouched when the current directory cannot be read either).
BOOL GetSpecialFolderPath(int csidl, CString& out, LPCWSTR subPath, LPCWSTR innerPath);

// The "\\?\" form of a path ("\\?\UNC\server\share" for "\\server\share") when the path is at
// least 260 characters (248 forDirectory) or always is set. Paths shorter than 4 characters and
// paths already in the long form are returned unchanged.
CString MakeLongPath(const CString& path, bool always, bool forDirectory);

// The inverse of MakeLongPath: "\\?\C:\x" gives "C:\x", "\\?\UNC\srv\share" gives "\\srv\share".
CString StripLongPathPrefix(const CString& path);

// 0 without a long-path prefix; 7 for "\\?\UNC\" (the index of its last "\"); 4 for "\\?\".
int GetLongPathPrefixLength(LPCWSTR path);

// "C:\" for a drive path, "\\server\share\" for a share path, empty for a relative path or a bare
// server name. A long-path prefix is removed first.
CString GetPathRoot(const CString& path);

// The path names an existing file (not a folder).
bool FileExists(LPCWSTR path);

// The path names an existing folder. Falls back to the ANSI entry point when the wide one fails.
bool DirectoryExists(LPCWSTR path);

// Creates the folder and every missing parent, each with `security` when given (folders that
// exist keep theirs). TRUE when the folder exists afterwards; on FALSE GetLastError tells why.
BOOL CreateDirectoryTree(LPCWSTR path, SECURITY_ATTRIBUTES* security = nullptr);

// What CreateDirectoryTree asks of the file system: whether a folder exists (DirectoryExists) and
// to create one (CreateDirectoryW with the security given, last error set on failure). A test
// stands in for them to count or refuse the calls.
struct CDirectoryCalls
{
    bool (*exists)(LPCWSTR path);
    BOOL (*create)(LPCWSTR path, SECURITY_ATTRIBUTES* security);
};
BOOL CreateDirectoryTree(LPCWSTR path, const CDirectoryCalls& calls, SECURITY_ATTRIBUTES* security = nullptr);

// "\\server\share..." or "\\?\UNC\server\share...": a server name followed by a share.
bool IsUncSharePath(LPCWSTR path);
