#include "standins/MediaCatalogueBuilder.h"
#include "common/HResult.h"
#include "common/HResultException.h"
#include "contentdb/ContentConstants.h"

namespace
{
const wchar_t* ExtensionOf(LONG itemClass)
{
    switch (itemClass)
    {
    case kItemClassAudio:
        return L".mp3";
    case kItemClassImage:
        return L".jpg";
    default:
        return L".mpg";
    }
}
}  // namespace

CMediaCatalogueBuilder::CMediaCatalogueBuilder(CContentDbCatalogue& catalogue) : m_catalogue(catalogue)
{
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, base);
    static volatile LONG s_counter = 0;
    m_folder = std::wstring(base) + L"lum-media-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(InterlockedIncrement(&s_counter));
    if (!CreateDirectoryW(m_folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        ThrowHResult(HResultFromLastError());
}

CMediaCatalogueBuilder::~CMediaCatalogueBuilder()
{
    for (const std::wstring& file : m_files)
        DeleteFileW(file.c_str());
    RemoveDirectoryW(m_folder.c_str());
}

std::wstring CMediaCatalogueBuilder::Add(const Media& media)
{
    std::wstring path = PathOf(media.fileName.empty() ? media.id + ExtensionOf(media.itemClass) : media.fileName);
    if (media.createFile && m_files.count(path) == 0)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
        {
            CloseHandle(file);
            m_files.insert(path);
        }
        else if (GetLastError() != ERROR_FILE_EXISTS)
        {
            ThrowHResult(HResultFromLastError());
        }
    }

    CContentDbCatalogue::Properties properties{{kPropPath, path}};
    for (LONG j = 0; j < 4; ++j)
        properties.emplace_back(kPropAnalysisState0 + j, media.states[j]);
    properties.emplace_back(kPropMimeType, media.mimeType);
    properties.emplace_back(kPropSourceApplication, media.sourceApplication);
    properties.emplace_back(kPropBroadcastType, media.broadcastType);
    properties.emplace_back(kPropMarker, media.marker);
    properties.emplace_back(kPropItemState, media.exclusion);
    // Empty texts are left out by the catalogue.
    m_catalogue.AddItem(media.id, media.itemClass, properties);
    return path;
}
