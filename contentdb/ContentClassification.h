#pragma once
#include <windows.h>
#include "common/String.h"

// Content classification: which category (kCategory... in ContentConstants.h) an item falls in,
// from what the database knows of it, and the MIME type and item class a file name implies
// through the file-type registrations under HKEY_CLASSES_ROOT. Stateless; reads the registry,
// never the file.
//
// A path whose extension (the last "." of the file-name part onwards, dot included) is longer
// than 255 characters cannot be classified by name: GetMimeTypeFromPath raises
// CHResultException(E_INVALIDARG) for it, and so do the functions that call it. Callers run
// inside ComCall or CatchAsHResult (common/ComCall.h), or catch it.

// The item's category: one bit, or 0 for an item of no interest. The texts are the values of the
// item's properties 0x00F7 (MIME type), 0x00CB (source application), 0x009F (broadcast type) and
// 0x00D1 (marker); null counts as empty. itemClass 0 means unknown: the MIME type decides.
ULONG ClassifyContentCategory(LONG itemClass, LPCWSTR path, LPCWSTR mimeType, LPCWSTR sourceApplication,
                              LPCWSTR broadcastType, LPCWSTR marker);

// The MIME type a file name implies: the registered "Content Type", else "<PerceivedType>/<ext>",
// else "audio/<ext>" for file types named "Klavex_...", else the built-in types, else
// "application/octet-stream". Empty for a null path.
CString GetMimeTypeFromPath(LPCWSTR path);

// The "Content Type" registered for the path's extension. Returns a Win32 error code:
//   0 and the text on success;
//   ERROR_INVALID_DATA (13) for a null path (text untouched) or a value that is not a string;
//   ERROR_PATH_NOT_FOUND (3) without an extension, or the registry's own error;
//   ERROR_OUTOFMEMORY (14) when the extension is too long or memory runs out (text untouched).
// On the other failures the text becomes "application/octet-stream".
LONG GetRegisteredContentType(LPCWSTR path, CString& contentType);

// kItemClassVideo, kItemClassImage or kItemClassAudio by the major MIME type the file name
// implies; kItemClassUnknown (0) for anything else.
LONG GetItemClassFromPath(LPCWSTR path);
