#pragma once
#include <windows.h>
#include "common/String.h"

// Item locations: a file path, or a "lumfile:" URL naming a file inside one of the system's
// container files ("lumfile:" + path, optionally "?" + a part this system ignores). And what a
// failed file access means for the workers: the file is gone, or try again later.

// The path inside a "lumfile:" URL (the scheme matched case-sensitively, everything from the first
// "?" dropped); any other text is returned whole. Null gives the empty string.
CString PathFromLumfileUrl(LPCWSTR text);

// The location (URL or path) names a container file: extension "lumf" or "lumfe", any case.
bool IsLumFile(LPCWSTR location);

// Repairs a URL that arrived in its path-like form, root + "lumfile%3a" + rest with ":" written
// "%3a" or "%3A": C:\lumfile%3aVideos\Box.lumf gives lumfile:C:\Videos\Box.lumf. Any other
// location comes back without its long-path prefix (unchanged when it has no root).
CString LumfileUrlFromPath(const CString& location);

// The read-only attribute of the file; a path whose attributes cannot be read counts as read-only.
bool IsPathReadOnly(LPCWSTR path);

// File-access status words.
constexpr ULONG kFileStatusSuccess = 0x40000000;   // the access did not fail
constexpr ULONG kFileStatusGone = 0x80000000;      // permanent: treat the file as gone
constexpr ULONG kFileStatusPassingBit = 0x10000000;  // callers test this bit: try again later
constexpr ULONG kFileStatusPassing = 0x18000000;   // passing failure; retry value in bits 0 to 15
constexpr ULONG kFileStatusRetryMask = 0xFFFF;
// What the callers pass as retry base.
constexpr ULONG kFileRetryBase = 10;

// Classifies the result of an access to `path`. A success gives kFileStatusSuccess and false. A
// failure gives kFileStatusGone or a passing status (retry value 0xFFFF, retryBase, or four times
// retryBase, cut to 16 bits); the answer tells whether the failure was a known one. `path` is
// looked at for "path not found" and "access denied" only: on a share both are passing, and
// access denied is permanent only for a local file that is read-only. A null `status` is not
// written.
bool ClassifyFileError(LPCWSTR path, HRESULT hr, ULONG* status, ULONG retryBase);
