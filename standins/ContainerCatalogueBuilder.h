#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "standins/ContentDbCatalogue.h"
#include "standins/ScratchFolder.h"

// Builds the catalogue entries that hang on other items (derived items, containers and their
// members, collections) and items whose file is gone, with real files in a scratch folder wherever
// the code under test looks at or deletes a file. Files are named after the item's id, so ids must
// be usable as file names. Every call answers the paths it created, for the test to check later.
class CContainerCatalogueBuilder
{
public:
    static constexpr LONG kPropSourceId = 0x00B4;
    static constexpr LONG kPropPath = 0x01F4;
    static constexpr LONG kPropFirstFile = 0x01F8;
    static constexpr LONG kPropLastFile = 0x0213;
    static constexpr LONG kPropMemberList = 0x0207;

    CContainerCatalogueBuilder(CContentDbCatalogue& catalogue, CScratchFolder& files);

    // An item of `itemClass` whose file "<id>.mpg" holds `bytes`; the file's path.
    std::wstring AddMediaItem(const std::wstring& id, LONG itemClass, const std::string& bytes);
    // An item of `itemClass` whose path names a file that is not there, with `fileCount` (at most 2)
    // associated files that are; their paths.
    std::vector<std::wstring> AddItemWithMissingFile(const std::wstring& id, LONG itemClass, size_t fileCount);
    // A derived item (610, 611 or 612) naming `sourceId` (none when empty), with `fileCount` (at
    // most 2) associated files; their paths.
    std::vector<std::wstring> AddDerivedItem(const std::wstring& id, LONG itemClass, const std::wstring& sourceId,
                                             size_t fileCount);
    // A container of `itemClass` derived from `sourceId`, its file "<id>.lumf" holding `bytes` and
    // named by a "lumfile:" location in the first associated-file property, with `memberIds` as its
    // related items; the container file's path.
    std::wstring AddContainer(const std::wstring& id, const std::wstring& sourceId, const std::string& bytes,
                              const std::vector<std::wstring>& memberIds, LONG itemClass = 600);
    // A member (class 612) of a container, standing for the item at `path`: its own file
    // "<id>.lumf" holds `bytes` and is named in the first associated-file property, as a
    // "lumfile:" location when `asLumfile`; the member file's path.
    std::wstring AddContainerMember(const std::wstring& id, const std::wstring& path, const std::string& bytes,
                                    bool asLumfile = true);
    // A collection of `itemClass` (650 or 700) listing `memberIds`, with one associated file; its path.
    std::wstring AddCollection(const std::wstring& id, const std::vector<std::wstring>& memberIds,
                               LONG itemClass = 650);

    // The "lumfile:" location of a path.
    static std::wstring LumfileUrl(const std::wstring& path);

private:
    std::vector<std::wstring> AddWithFiles(const std::wstring& id, LONG itemClass,
                                           CContentDbCatalogue::Properties properties, size_t fileCount);

    CContentDbCatalogue& m_catalogue;
    CScratchFolder& m_files;
};
