#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>
#include "common/Scoped.h"
#include "standins/MediaCatalogueBuilder.h"

class CContentDbCatalogue;
class CSoakRandom;

// The soak's media: a fixed number of items of the stand-in database ("s0", "s1", ...), each with
// a real file of its own, that the soak changes, removes, restores, deletes behind the database's
// back or holds open. An item keeps its id, path and properties for the whole run (a restored item
// comes back as it was), so that only the plug-in and the analysing manager change what a search
// finds. Called on the soak's thread only, except PathOfId.
class CSoakMedia
{
public:
    CSoakMedia(CContentDbCatalogue& catalogue, size_t count, CSoakRandom& random);
    ~CSoakMedia();
    CSoakMedia(const CSoakMedia&) = delete;
    CSoakMedia& operator=(const CSoakMedia&) = delete;

    size_t Count() const noexcept { return m_slots.size(); }
    const std::wstring& Folder() const noexcept { return m_builder.Folder(); }
    std::wstring IdOf(size_t slot) const;
    const std::wstring& PathOf(size_t slot) const { return m_slots[slot].path; }
    // The path of an item id of the soak; empty for any other id. Any thread, no lock.
    std::wstring PathOfId(const std::wstring& id) const;
    // The item id of a path (any letter case); empty when none. Any thread, no lock.
    std::wstring IdOfPath(const std::wstring& path) const;

    // Each answers false when it had nothing to do (the item or file is not in that state).
    bool Change(size_t slot);  // notification of kind 1
    bool Remove(size_t slot);  // kind 2
    bool Restore(size_t slot); // kind 1
    bool DeleteItemFile(size_t slot);
    bool RecreateItemFile(size_t slot);
    // Opens the file without sharing until `untilTick` (ReleaseHolds).
    bool Hold(size_t slot, DWORD untilTick);
    void ReleaseHolds(DWORD now, bool all);
    // Files back, items back: the state the run started in.
    void RestoreAll();

private:
    struct Slot
    {
        explicit Slot(CMediaCatalogueBuilder::Media item) : media(std::move(item)) {}

        CMediaCatalogueBuilder::Media media;
        std::wstring path;
        bool inDatabase = true;
        bool fileDeleted = false;
        CScopedHandle hold;
        DWORD holdUntil = 0;
        ULONG revision = 0;
    };

    CContentDbCatalogue& m_catalogue;
    CMediaCatalogueBuilder m_builder;
    std::vector<Slot> m_slots;
    std::map<std::wstring, std::wstring> m_idsByPath;  // lower-cased path -> id; fixed after construction
};
