#pragma once
#include <windows.h>
#include <vector>
#include "common/String.h"

// The places no file deletion of the plug-in may reach, whatever path led there: the Windows
// folder, the system folders (System32 and SysWOW64), both Program Files folders, the product's
// own data folder, and every volume's root folder.
//
// A volume root is read as the root folder itself and the files lying directly in it: "C:\" and
// "C:\pagefile.sys" are protected, "C:\Videos\clip.mp4" is not. Media lives in folders; a file
// in a root is the system's (boot files, page and hibernation files) far more often than a user's.
//
// Paths are compared as the file's final path gives them ("\\?\" forms are read without their
// prefix), ignoring letter case.

// The product's data folder (the delay-queue file's home), ending with "\".
CString GetProductDataFolder();

// The protected folders, without a trailing "\": the system's, or those a test put in place.
// Read once per process, then kept.
std::vector<CString> GetProtectedFolders();

// Whether `path` (a full path, with or without "\\?\") is a protected folder, lies below one, or
// is a volume root or a file directly in one. Relative paths are never protected (the guard
// asks only about final paths, which are full).
bool IsProtectedLocation(const CString& path);

// Whether `path` is a volume root ("C:\", "\\server\share\") or names something directly in one.
bool IsVolumeRootOrInRoot(const CString& path);

// Test seam: replaces the protected folders by `folders` (volume roots stay protected); null puts
// the system's list back. Not for use while deletions run on other threads.
void SetProtectedFoldersForTest(const std::vector<CString>* folders);
