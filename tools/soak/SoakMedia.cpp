#include "tools/soak/SoakMedia.h"
#include <cwchar>
#include <cwctype>
#include "contentdb/ContentConstants.h"
#include "standins/ContentDbCatalogue.h"
#include "tools/soak/SoakRandom.h"

namespace
{
// A property nothing of the product reads: changing it makes a notification and nothing else.
constexpr LONG kPropRevision = 0x0400;

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool MakeFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(file, "soak", 4, &written, nullptr);
    CloseHandle(file);
    return true;
}
}  // namespace

CSoakMedia::CSoakMedia(CContentDbCatalogue& catalogue, size_t count, CSoakRandom& random)
    : m_catalogue(catalogue), m_builder(catalogue)
{
    static const LONG kClasses[] = {kItemClassVideo, kItemClassVideo, kItemClassImage, kItemClassAudio};
    static const wchar_t* const kMimeTypes[] = {L"video/mpeg", L"video/mpeg", L"image/jpeg", L"audio/mpeg"};
    // Overall states that the search modes look for, and some they do not.
    static const ULONG kOverall[] = {0, 0, 0, 1, 2, 3, 4, 5, 7, 10};
    m_slots.reserve(count);
    for (size_t i = 0; i < count; ++i)
    {
        const size_t kind = i % 4;
        Slot slot(CMediaCatalogueBuilder::Media(IdOf(i), kClasses[kind]));
        ULONG word = kOverall[random.Below(sizeof(kOverall) / sizeof(kOverall[0]))];
        // Engine fields 2 to 4: analysed (4), or to be analysed again (6), or nothing.
        for (ULONG field = 1; field <= 3; ++field)
        {
            static const ULONG kEngineStates[] = {0, 4, 6};
            word |= kEngineStates[random.Below(3)] << (4 * field);
        }
        slot.media.states[0] = CMediaCatalogueBuilder::StateText(word);
        slot.media.mimeType = kMimeTypes[kind];
        if (kind == 3 && random.Percent(30))
            slot.media.marker = L"1";
        if (random.Percent(5))
            slot.media.exclusion = L"2";
        m_slots.push_back(std::move(slot));
        Slot& added = m_slots.back();
        added.path = m_builder.Add(added.media);
        m_idsByPath[Lower(added.path)] = added.media.id;
    }
}

std::wstring CSoakMedia::IdOfPath(const std::wstring& path) const
{
    const auto found = m_idsByPath.find(Lower(path));
    return found == m_idsByPath.end() ? std::wstring() : found->second;
}

CSoakMedia::~CSoakMedia()
{
    ReleaseHolds(0, true);
}

std::wstring CSoakMedia::IdOf(size_t slot) const
{
    return L"s" + std::to_wstring(slot);
}

std::wstring CSoakMedia::PathOfId(const std::wstring& id) const
{
    if (id.size() < 2 || id[0] != L's')
        return std::wstring();
    wchar_t* end = nullptr;
    const unsigned long slot = std::wcstoul(id.c_str() + 1, &end, 10);
    if (!end || *end != L'\0' || slot >= m_slots.size())
        return std::wstring();
    return m_slots[slot].path;
}

bool CSoakMedia::Change(size_t slot)
{
    Slot& item = m_slots[slot];
    return item.inDatabase && m_catalogue.SetProperty(IdOf(slot), kPropRevision, std::to_wstring(++item.revision));
}

bool CSoakMedia::Remove(size_t slot)
{
    Slot& item = m_slots[slot];
    if (!item.inDatabase)
        return false;
    item.inDatabase = false;
    return m_catalogue.RemoveItem(IdOf(slot));
}

bool CSoakMedia::Restore(size_t slot)
{
    Slot& item = m_slots[slot];
    if (item.inDatabase)
        return false;
    item.inDatabase = true;
    m_builder.Add(item.media);
    return true;
}

bool CSoakMedia::DeleteItemFile(size_t slot)
{
    Slot& item = m_slots[slot];
    if (item.fileDeleted || item.hold.IsValid())
        return false;
    item.fileDeleted = DeleteFileW(item.path.c_str()) != FALSE;
    return item.fileDeleted;
}

bool CSoakMedia::RecreateItemFile(size_t slot)
{
    Slot& item = m_slots[slot];
    if (!item.fileDeleted)
        return false;
    item.fileDeleted = !MakeFile(item.path);
    return !item.fileDeleted;
}

bool CSoakMedia::Hold(size_t slot, DWORD untilTick)
{
    Slot& item = m_slots[slot];
    if (item.fileDeleted || item.hold.IsValid())
        return false;
    item.hold.Reset(CreateFileW(item.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    item.holdUntil = untilTick;
    return item.hold.IsValid();
}

void CSoakMedia::ReleaseHolds(DWORD now, bool all)
{
    for (Slot& item : m_slots)
    {
        if (item.hold.IsValid() && (all || static_cast<LONG>(now - item.holdUntil) >= 0))
            item.hold.Close();
    }
}

void CSoakMedia::RestoreAll()
{
    ReleaseHolds(0, true);
    for (size_t i = 0; i < m_slots.size(); ++i)
    {
        RecreateItemFile(i);
        Restore(i);
    }
}
