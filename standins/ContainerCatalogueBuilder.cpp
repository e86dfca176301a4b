#include "standins/ContainerCatalogueBuilder.h"

namespace
{
// Where the associated files of an item go: the first property and the last of the fourteen, so
// that a reader that stops early is caught.
const LONG kFileProps[] = {CContainerCatalogueBuilder::kPropFirstFile, CContainerCatalogueBuilder::kPropLastFile};

std::string BytesOf(const std::wstring& id, size_t index)
{
    std::string bytes = "file " + std::to_string(index) + " of ";
    for (wchar_t c : id)
        bytes.push_back(static_cast<char>(c));
    return bytes;
}

std::wstring JoinMembers(const std::vector<std::wstring>& ids)
{
    std::wstring list;
    for (const std::wstring& id : ids)
        list += (list.empty() ? L"" : L";") + id;
    return list;
}
}  // namespace

CContainerCatalogueBuilder::CContainerCatalogueBuilder(CContentDbCatalogue& catalogue, CScratchFolder& files)
    : m_catalogue(catalogue), m_files(files)
{
}

std::wstring CContainerCatalogueBuilder::LumfileUrl(const std::wstring& path)
{
    return L"lumfile:" + path;
}

std::vector<std::wstring> CContainerCatalogueBuilder::AddWithFiles(const std::wstring& id, LONG itemClass,
                                                                   CContentDbCatalogue::Properties properties,
                                                                   size_t fileCount)
{
    std::vector<std::wstring> paths;
    for (size_t i = 0; i < fileCount && i < std::size(kFileProps); ++i)
    {
        const std::wstring path = m_files.Write(id + L"-" + std::to_wstring(i) + L".jpg", BytesOf(id, i));
        properties.emplace_back(kFileProps[i], path);
        paths.push_back(path);
    }
    m_catalogue.AddItem(id, itemClass, properties);
    return paths;
}

std::wstring CContainerCatalogueBuilder::AddMediaItem(const std::wstring& id, LONG itemClass, const std::string& bytes)
{
    std::wstring path = m_files.Write(id + L".mpg", bytes);
    m_catalogue.AddItem(id, itemClass, {{kPropPath, path}});
    return path;
}

std::vector<std::wstring> CContainerCatalogueBuilder::AddItemWithMissingFile(const std::wstring& id, LONG itemClass,
                                                                             size_t fileCount)
{
    return AddWithFiles(id, itemClass, {{kPropPath, m_files.PathOf(id + L".gone.mpg")}}, fileCount);
}

std::vector<std::wstring> CContainerCatalogueBuilder::AddDerivedItem(const std::wstring& id, LONG itemClass,
                                                                     const std::wstring& sourceId, size_t fileCount)
{
    CContentDbCatalogue::Properties properties;
    if (!sourceId.empty())
        properties.emplace_back(kPropSourceId, sourceId);
    return AddWithFiles(id, itemClass, properties, fileCount);
}

std::wstring CContainerCatalogueBuilder::AddContainer(const std::wstring& id, const std::wstring& sourceId,
                                                      const std::string& bytes,
                                                      const std::vector<std::wstring>& memberIds, LONG itemClass)
{
    std::wstring path = m_files.Write(id + L".lumf", bytes);
    CContentDbCatalogue::Properties properties{{kPropFirstFile, LumfileUrl(path)}};
    if (!sourceId.empty())
        properties.emplace_back(kPropSourceId, sourceId);
    m_catalogue.AddItem(id, itemClass, properties);
    m_catalogue.SetMembers(id, memberIds);
    return path;
}

std::wstring CContainerCatalogueBuilder::AddContainerMember(const std::wstring& id, const std::wstring& path,
                                                            const std::string& bytes, bool asLumfile)
{
    std::wstring file = m_files.Write(id + L".lumf", bytes);
    m_catalogue.AddItem(id, 612, {{kPropPath, path}, {kPropFirstFile, asLumfile ? LumfileUrl(file) : file}});
    return file;
}

std::wstring CContainerCatalogueBuilder::AddCollection(const std::wstring& id,
                                                       const std::vector<std::wstring>& memberIds, LONG itemClass)
{
    CContentDbCatalogue::Properties properties;
    if (!memberIds.empty())
        properties.emplace_back(kPropMemberList, JoinMembers(memberIds));
    return AddWithFiles(id, itemClass, properties, 1).front();
}
