#pragma once
#include <windows.h>
#include <vector>
#include "common/ProductKeys.h"
#include "common/String.h"

// Metadata versions: every analysis engine declares the version of the results it writes
// (major in bits 16 to 31, minor in bits 0 to 15, each half compared as an unsigned 16-bit
// number). Per content category and engine we record the version the items of that category
// were last brought up to, under
//   HKLM\<root>\Setting\LumSiftDbNotifyWex\MetadataVersion\0x<category, 4 hex digits>\{class id}
// with the values "Module ID" (REG_SZ) and "MetadataVersion" (REG_DWORD). A category counts as
// out of date for an engine when the engine's current version is newer than the recorded one.
//
// `rootPath` is the product root (kProductRootKey in the product; tests pass a scratch root).
// The engine list is read afresh at every call. Engines are created on the calling thread, which
// must have COM initialised. Raise CHResultException only when memory runs out.

// The version counted as recorded when nothing is: 1.0.
constexpr DWORD kDefaultMetadataVersion = 0x00010000;

// One engine of the engine list.
struct EngineEntry
{
    GUID classId = GUID_NULL;
    CString classIdText;          // registry form: braced, upper-case
    CString moduleId;
    ULONG engineIndex = 0;        // 2 or more: the number of the engine's state field
    DWORD currentVersion = 0;     // "MetadataVersion" of the engine plug-in list; 0 when absent
    DWORD indexTableVersion = 0;  // "MetadataVersion" of the engine index table; 0 when absent
    ULONG categoryMask = 0;       // the categories of this entry (see each function)
};

// The engines, in plug-in order, that analyse at least one category of categoryMask; each
// entry's mask is the engine's own GetCategoryMask answer within categoryMask. Bits above the
// six content categories (0x3F) are ignored.
std::vector<EngineEntry> GetEngineList(ULONG categoryMask, const wchar_t* rootPath = kProductRootKey);

// Fills `entries` (emptied first) with the engines that have a category of categoryMask out of
// date, each entry's mask holding only those categories, and returns the OR of their masks (0
// when nothing is out of date). majorOnly: only a newer major version counts; otherwise a newer
// minor version of the same major version counts as well. The recorded version falls back to the
// index table's version of the engine, then to 1.0.
ULONG GetOutdatedEngines(bool majorOnly, std::vector<EngineEntry>& entries, ULONG categoryMask,
                         const wchar_t* rootPath = kProductRootKey);

// Records, for every entry whose mask has a bit of `category`, its current version as the version
// reached for that category. S_OK when at least one key was written, else S_FALSE (a key that
// cannot be created is skipped: its category stays out of date).
HRESULT StoreMetadataVersions(const std::vector<EngineEntry>& entries, ULONG category,
                              const wchar_t* rootPath = kProductRootKey);
