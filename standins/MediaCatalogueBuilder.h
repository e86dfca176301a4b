#pragma once
#include <windows.h>
#include <string>
#include <unordered_set>
#include "standins/ContentDbCatalogue.h"

// Media items (video, image, audio) for the stand-in content database, each with a real file in a
// scratch folder of the builder's own and the properties the search passes read: the four
// analysis state words, MIME type, source application, broadcast type, marker and exclusion mark.
//
//     CMediaCatalogueBuilder media(db->Catalogue());
//     CMediaCatalogueBuilder::Media clip(L"v1", 300);
//     clip.states[0] = L"39";                // 0x27: an engine field set, overall state 7
//     const std::wstring path = media.Add(clip);
//
// The destructor deletes the files it made and the folder.
class CMediaCatalogueBuilder
{
public:
    struct Media
    {
        Media(std::wstring itemId, LONG classCode) : id(std::move(itemId)), itemClass(classCode) {}

        std::wstring id;
        LONG itemClass;
        // The file's name in the scratch folder; empty: the id with the extension of the class.
        // Items may share a file.
        std::wstring fileName;
        // False: the location names a file that does not exist.
        bool createFile = true;
        // Texts of the properties; an empty text leaves the property out.
        std::wstring states[4];  // 0xAF, 0xB0, 0xB1, 0xB2
        std::wstring mimeType;
        std::wstring sourceApplication;
        std::wstring broadcastType;
        std::wstring marker;
        std::wstring exclusion;  // 0x68
    };

    explicit CMediaCatalogueBuilder(CContentDbCatalogue& catalogue);
    ~CMediaCatalogueBuilder();
    CMediaCatalogueBuilder(const CMediaCatalogueBuilder&) = delete;
    CMediaCatalogueBuilder& operator=(const CMediaCatalogueBuilder&) = delete;

    const std::wstring& Folder() const noexcept { return m_folder; }
    // Adds (or replaces) the item and makes its file unless it exists; returns the item's location.
    std::wstring Add(const Media& media);
    // The location an item with this file name gets.
    std::wstring PathOf(const std::wstring& fileName) const { return m_folder + L"\\" + fileName; }

    // A state word as the database holds it: signed decimal text.
    static std::wstring StateText(ULONG word) { return std::to_wstring(static_cast<LONG>(word)); }

private:
    CContentDbCatalogue& m_catalogue;
    std::wstring m_folder;
    std::unordered_set<std::wstring> m_files;  // made by this builder
};
