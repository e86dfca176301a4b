#pragma once
#include <windows.h>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include "common/Scoped.h"

class CContentDbCatalogue;

// What one file event did to the catalogue.
enum class CatalogueChange
{
    Added,           // a media file was catalogued: notification of kind 1
    Changed,         // a catalogued file changed: notification of kind 1
    Removed,         // a catalogued file went away: notification of kind 2
    NotMedia,        // a file that is not a media file: not catalogued
    FolderUnreadable // a folder could not be listed; `error` says why
};

struct CatalogueEvent
{
    CatalogueChange change = CatalogueChange::Added;
    std::wstring path;
    std::wstring itemId;  // empty for NotMedia and FolderUnreadable
    LONG itemClass = 0;
    std::wstring mimeType;
    ULONGLONG size = 0;
    DWORD error = 0;
};

// The reference host's content database filled from a real folder: every media file in the folder
// and below is one item (class and MIME type from the file's name, property 0x01F4 its full path,
// 0x00F7 its MIME type) of the stand-in catalogue, whose changes become the database's change
// notifications (kind 1 for added or changed, kind 2 for removed).
//
// A new file is reported at once. Changes to a catalogued file are reported once the file has
// stayed unchanged for a settling time (FlushChanges), as a database that re-reads a file after
// it was written does: a copy that fills the file right after creating it gives one more
// notification, a recording that grows for an hour none until it is finished.
//
// Any thread may call. The listener runs under the catalogue's lock, before the database is
// changed, so the timeline shows the cause before its effects; it must not call back into this
// object.
class CMediaCatalogue
{
public:
    static constexpr DWORD kSettleMs = 2000;

    using Listener = std::function<void(const CatalogueEvent&)>;

    struct ScanResult
    {
        size_t mediaFiles = 0;
        size_t otherFiles = 0;
        size_t unreadableFolders = 0;
    };

    explicit CMediaCatalogue(CContentDbCatalogue& database, DWORD settleMs = kSettleMs);
    CMediaCatalogue(const CMediaCatalogue&) = delete;
    CMediaCatalogue& operator=(const CMediaCatalogue&) = delete;

    void SetListener(Listener listener);

    // Catalogues every file in `folder` and below, and forgets catalogued files there that are
    // gone. With `announce` the listener hears of each change; without, the scan is silent (the
    // start, when nobody listens yet).
    ScanResult Scan(const std::wstring& folder, bool announce, DWORD now);

    // A name appeared (created, or renamed into place): a file is catalogued, a folder scanned.
    void PathAppeared(const std::wstring& path, DWORD now);
    // A file's data or size changed.
    void PathChanged(const std::wstring& path, DWORD now);
    // A name went away: the file, or everything catalogued below the folder, is removed.
    void PathRemoved(const std::wstring& path);
    // Reports the changes of files that have stayed unchanged for the settling time.
    void FlushChanges(DWORD now);
    // Deletes a catalogued file while its item stays in the database, as when the database
    // missed the deletion; the removal that the watcher reports next is let pass without a word.
    // The Win32 error as HRESULT; E_INVALIDARG for a file that is not catalogued.
    HRESULT DeleteBehindDatabase(const std::wstring& path);
    // Forgets an item that someone else removed from the database; a file of that name appearing
    // again is catalogued afresh.
    void ForgetItem(const std::wstring& itemId);

    size_t Count() const;
    // The catalogued item of a path (any letter case); false when none.
    bool Find(const std::wstring& path, CatalogueEvent& item) const;
    // The path of an item id; empty when none.
    std::wstring PathOfItem(const std::wstring& itemId) const;

private:
    struct Entry
    {
        std::wstring path;
        std::wstring itemId;
        LONG itemClass = 0;
        std::wstring mimeType;
        ULONGLONG size = 0;
        FILETIME written = {};
        DWORD lastChange = 0;
        bool heldBack = false;  // changed since the last report
        bool deletedBehind = false;  // DeleteBehindDatabase: its removal is not reported
    };

    // Under m_lock.
    void CatalogueFile(const std::wstring& path, const WIN32_FILE_ATTRIBUTE_DATA& data, bool announce, DWORD now);
    void ReportChange(Entry& entry, bool announce);
    void RemoveEntry(std::map<std::wstring, Entry>::iterator entry);
    ScanResult ScanLocked(const std::wstring& folder, bool announce, DWORD now);
    void Announce(const CatalogueEvent& event);
    static CatalogueEvent EventOf(CatalogueChange change, const Entry& entry);

    CContentDbCatalogue& m_database;
    const DWORD m_settleMs;
    mutable CCriticalSection m_lock{LockRank::Outside};
    Listener m_listener;
    std::map<std::wstring, Entry> m_entries;  // by upper-cased path
    ULONG m_nextId = 1;
};
