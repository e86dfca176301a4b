#include "tools/lumhost/MediaCatalogue.h"
#include <set>
#include <utility>
#include "common/Path.h"
#include "contentdb/ContentConstants.h"
#include "standins/ContentDbCatalogue.h"
#include "tools/lumhost/MediaTypes.h"
#include "tools/lumhost/Timeline.h"

namespace
{
// Folders below the media folder deeper than this are not looked into: a loop of links must not
// make a scan endless.
constexpr size_t kMaxFolderDepth = 128;

std::wstring KeyOf(const std::wstring& path)
{
    std::wstring key = path;
    if (!key.empty())
        CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    return key;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name)
{
    if (!folder.empty() && folder.back() == L'\\')
        return folder + name;
    return folder + L"\\" + name;
}

bool IsUnder(const std::wstring& key, const std::wstring& folderPrefix)
{
    return key.size() > folderPrefix.size() && key.compare(0, folderPrefix.size(), folderPrefix) == 0;
}

std::wstring FolderPrefix(const std::wstring& folderKey)
{
    return !folderKey.empty() && folderKey.back() == L'\\' ? folderKey : folderKey + L"\\";
}

bool GetAttributes(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA& data)
{
    const CString longPath = MakeLongPath(path.c_str(), false, false);
    return GetFileAttributesExW(longPath, GetFileExInfoStandard, &data) != FALSE;
}

ULONGLONG SizeOf(const WIN32_FILE_ATTRIBUTE_DATA& data)
{
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A directory search handle, closed with FindClose.
class CScopedFindHandle
{
public:
    explicit CScopedFindHandle(HANDLE handle) noexcept : m_handle(handle) {}
    ~CScopedFindHandle()
    {
        if (IsValid())
            FindClose(m_handle);
    }
    CScopedFindHandle(const CScopedFindHandle&) = delete;
    CScopedFindHandle& operator=(const CScopedFindHandle&) = delete;
    bool IsValid() const noexcept { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const noexcept { return m_handle; }

private:
    HANDLE m_handle;
};

bool SameTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}
}  // namespace

CMediaCatalogue::CMediaCatalogue(CContentDbCatalogue& database, DWORD settleMs)
    : m_database(database), m_settleMs(settleMs)
{
}

void CMediaCatalogue::SetListener(Listener listener)
{
    CLockGuard guard(m_lock);
    m_listener = std::move(listener);
}

void CMediaCatalogue::Announce(const CatalogueEvent& event)
{
    if (m_listener)
        m_listener(event);
}

CatalogueEvent CMediaCatalogue::EventOf(CatalogueChange change, const Entry& entry)
{
    CatalogueEvent event;
    event.change = change;
    event.path = entry.path;
    event.itemId = entry.itemId;
    event.itemClass = entry.itemClass;
    event.mimeType = entry.mimeType;
    event.size = entry.size;
    return event;
}

void CMediaCatalogue::CatalogueFile(const std::wstring& path, const WIN32_FILE_ATTRIBUTE_DATA& data, bool announce,
                                    DWORD now)
{
    const std::wstring key = KeyOf(path);
    auto found = m_entries.find(key);
    if (found != m_entries.end())
    {
        Entry& entry = found->second;
        entry.deletedBehind = false;  // back again: later removals count
        if (entry.size == SizeOf(data) && SameTime(entry.written, data.ftLastWriteTime))
            return;
        entry.size = SizeOf(data);
        entry.written = data.ftLastWriteTime;
        if (entry.itemId.empty())
            return;  // not a media file: nothing to tell
        if (announce)
        {
            entry.lastChange = now;
            entry.heldBack = true;
        }
        else
        {
            ReportChange(entry, false);
        }
        return;
    }

    Entry entry;
    entry.path = path;
    entry.size = SizeOf(data);
    entry.written = data.ftLastWriteTime;
    const CMediaType type = GetMediaTypeOfFile(path);
    entry.itemClass = type.itemClass;
    entry.mimeType = type.mimeType;
    entry.lastChange = now;
    if (type.itemClass == 0)
    {
        if (announce)
            Announce(EventOf(CatalogueChange::NotMedia, entry));
        m_entries.emplace(key, std::move(entry));
        return;
    }
    entry.itemId = FormatText(L"lh-%lu", static_cast<unsigned long>(m_nextId++));
    if (announce)
        Announce(EventOf(CatalogueChange::Added, entry));
    m_database.AddItem(entry.itemId, entry.itemClass, {{kPropPath, entry.path}, {kPropMimeType, entry.mimeType}});
    m_entries.emplace(key, std::move(entry));
}

void CMediaCatalogue::ReportChange(Entry& entry, bool announce)
{
    if (announce)
        Announce(EventOf(CatalogueChange::Changed, entry));
    // Writing the item again is what makes the database notify a change.
    m_database.AddItem(entry.itemId, entry.itemClass, {{kPropPath, entry.path}, {kPropMimeType, entry.mimeType}});
    entry.heldBack = false;
}

void CMediaCatalogue::RemoveEntry(std::map<std::wstring, Entry>::iterator entry)
{
    if (entry->second.deletedBehind)
        return;  // the database keeps the item; a file appearing again counts as a change
    if (!entry->second.itemId.empty())
    {
        Announce(EventOf(CatalogueChange::Removed, entry->second));
        m_database.RemoveItem(entry->second.itemId);
    }
    m_entries.erase(entry);
}

CMediaCatalogue::ScanResult CMediaCatalogue::Scan(const std::wstring& folder, bool announce, DWORD now)
{
    CLockGuard guard(m_lock);
    return ScanLocked(folder, announce, now);
}

CMediaCatalogue::ScanResult CMediaCatalogue::ScanLocked(const std::wstring& folder, bool announce, DWORD now)
{
    ScanResult result;
    std::set<std::wstring> seen;
    std::vector<std::wstring> unreadable;  // folder prefixes whose files must not be forgotten
    // Walked without recursion, so a deep tree keeps the stack flat.
    std::vector<std::pair<std::wstring, size_t>> folders{{folder, 0}};
    while (!folders.empty())
    {
        const std::wstring current = std::move(folders.back().first);
        const size_t depth = folders.back().second;
        folders.pop_back();

        WIN32_FIND_DATAW data;
        const CString pattern = MakeLongPath(Join(current, L"*").c_str(), false, false);
        CScopedFindHandle find(FindFirstFileExW(pattern, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
        if (!find.IsValid())
        {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND)
                continue;  // an empty drive root
            ++result.unreadableFolders;
            unreadable.push_back(FolderPrefix(KeyOf(current)));
            if (announce)
            {
                CatalogueEvent event;
                event.change = CatalogueChange::FolderUnreadable;
                event.path = current;
                event.error = error;
                Announce(event);
            }
            continue;
        }
        do
        {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = Join(current, name);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && depth < kMaxFolderDepth)
                    folders.emplace_back(path, depth + 1);
                continue;
            }
            WIN32_FILE_ATTRIBUTE_DATA attributes = {};
            attributes.dwFileAttributes = data.dwFileAttributes;
            attributes.ftLastWriteTime = data.ftLastWriteTime;
            attributes.nFileSizeHigh = data.nFileSizeHigh;
            attributes.nFileSizeLow = data.nFileSizeLow;
            CatalogueFile(path, attributes, announce, now);
            const std::wstring key = KeyOf(path);
            seen.insert(key);
            const auto entry = m_entries.find(key);
            if (entry != m_entries.end() && !entry->second.itemId.empty())
                ++result.mediaFiles;
            else
                ++result.otherFiles;
        } while (FindNextFileW(find.Get(), &data));
    }

    // Files catalogued before that this scan did not find are gone, unless their folder could
    // not be listed this time.
    const std::wstring prefix = FolderPrefix(KeyOf(folder));
    for (auto it = m_entries.begin(); it != m_entries.end();)
    {
        const auto next = std::next(it);
        bool keep = !IsUnder(it->first, prefix) || seen.count(it->first) != 0;
        for (const std::wstring& folderPrefix : unreadable)
            keep = keep || IsUnder(it->first, folderPrefix);
        if (!keep)
            RemoveEntry(it);
        it = next;
    }
    return result;
}

void CMediaCatalogue::PathAppeared(const std::wstring& path, DWORD now)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    CLockGuard guard(m_lock);
    if (!GetAttributes(path, data))
        return;  // gone again already: its removal follows
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    {
        // A folder moved in brings files that raise no event of their own.
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            ScanLocked(path, true, now);
        return;
    }
    CatalogueFile(path, data, true, now);
}

void CMediaCatalogue::PathChanged(const std::wstring& path, DWORD now)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    CLockGuard guard(m_lock);
    if (!GetAttributes(path, data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    CatalogueFile(path, data, true, now);
}

void CMediaCatalogue::PathRemoved(const std::wstring& path)
{
    CLockGuard guard(m_lock);
    const std::wstring key = KeyOf(path);
    const auto found = m_entries.find(key);
    if (found != m_entries.end())
    {
        RemoveEntry(found);
        return;
    }
    const std::wstring prefix = FolderPrefix(key);
    for (auto it = m_entries.begin(); it != m_entries.end();)
    {
        const auto next = std::next(it);
        if (IsUnder(it->first, prefix))
            RemoveEntry(it);
        it = next;
    }
}

void CMediaCatalogue::FlushChanges(DWORD now)
{
    CLockGuard guard(m_lock);
    for (auto& entry : m_entries)
    {
        if (entry.second.heldBack && now - entry.second.lastChange >= m_settleMs)
            ReportChange(entry.second, true);
    }
}

HRESULT CMediaCatalogue::DeleteBehindDatabase(const std::wstring& path)
{
    CLockGuard guard(m_lock);
    const auto found = m_entries.find(KeyOf(path));
    if (found == m_entries.end() || found->second.itemId.empty())
        return E_INVALIDARG;
    found->second.deletedBehind = true;
    if (!DeleteFileW(MakeLongPath(path.c_str(), false, false)))
    {
        const DWORD error = GetLastError();
        found->second.deletedBehind = false;
        return HRESULT_FROM_WIN32(error);
    }
    return S_OK;
}

void CMediaCatalogue::ForgetItem(const std::wstring& itemId)
{
    CLockGuard guard(m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
    {
        if (it->second.itemId == itemId)
        {
            m_entries.erase(it);
            return;
        }
    }
}

size_t CMediaCatalogue::Count() const
{
    CLockGuard guard(m_lock);
    size_t count = 0;
    for (const auto& entry : m_entries)
        count += entry.second.itemId.empty() ? 0 : 1;
    return count;
}

bool CMediaCatalogue::Find(const std::wstring& path, CatalogueEvent& item) const
{
    CLockGuard guard(m_lock);
    const auto found = m_entries.find(KeyOf(path));
    if (found == m_entries.end() || found->second.itemId.empty())
        return false;
    item = EventOf(CatalogueChange::Added, found->second);
    return true;
}

std::wstring CMediaCatalogue::PathOfItem(const std::wstring& itemId) const
{
    CLockGuard guard(m_lock);
    for (const auto& entry : m_entries)
    {
        if (entry.second.itemId == itemId)
            return entry.second.path;
    }
    return std::wstring();
}
