#include "standins/ContentDbCatalogue.h"
#include <algorithm>
#include "standins/ContentDbQuery.h"

namespace
{
class CExclusive
{
public:
    explicit CExclusive(SRWLOCK& lock) noexcept : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
    ~CExclusive() { ReleaseSRWLockExclusive(&m_lock); }
    CExclusive(const CExclusive&) = delete;
    CExclusive& operator=(const CExclusive&) = delete;

private:
    SRWLOCK& m_lock;
};

class CShared
{
public:
    explicit CShared(SRWLOCK& lock) noexcept : m_lock(lock) { AcquireSRWLockShared(&m_lock); }
    ~CShared() { ReleaseSRWLockShared(&m_lock); }
    CShared(const CShared&) = delete;
    CShared& operator=(const CShared&) = delete;

private:
    SRWLOCK& m_lock;
};

bool IsCollection(LONG itemClass)
{
    return itemClass == 650 || itemClass == 700;
}

void SplitMembers(const std::wstring& list, std::vector<std::wstring>& ids)
{
    size_t start = 0;
    while (start <= list.size())
    {
        size_t end = list.find(L';', start);
        if (end == std::wstring::npos)
            end = list.size();
        if (end > start)
            ids.push_back(list.substr(start, end - start));
        start = end + 1;
    }
}

// The pseudo-properties (negative numbers) are the item's id and class, not stored values.
void ApplyProperty(CContentDbItem& item, LONG propId, const std::wstring& value)
{
    if (propId < 0)
        return;
    if (value.empty())
        item.properties.erase(propId);
    else
        item.properties[propId] = value;
}
}  // namespace

CContentDbCatalogue::CContentDbCatalogue() = default;
CContentDbCatalogue::~CContentDbCatalogue() = default;

void CContentDbCatalogue::SetChangeHook(ChangeHook hook)
{
    CExclusive guard(m_lock);
    m_changeHook = std::move(hook);
}

void CContentDbCatalogue::Report(const std::wstring& id, LONG itemClass, LONG kind)
{
    if (m_changeHook)
        m_changeHook(id, itemClass, kind);
}

void CContentDbCatalogue::AddItem(const std::wstring& id, LONG itemClass, const Properties& properties)
{
    auto item = std::make_shared<CContentDbItem>();
    item->id = id;
    item->itemClass = itemClass;
    for (const auto& property : properties)
        ApplyProperty(*item, property.first, property.second);

    CExclusive guard(m_lock);
    const auto found = m_orderById.find(id);
    if (found != m_orderById.end())
        m_itemsByOrder[found->second] = item;
    else
    {
        const ULONGLONG order = m_nextOrder++;
        m_itemsByOrder.emplace(order, item);
        m_orderById.emplace(id, order);
    }
    Report(id, itemClass, kChangeAddedOrChanged);
}

bool CContentDbCatalogue::SetProperty(const std::wstring& id, LONG propId, const std::wstring& value)
{
    return SetProperties(id, {{propId, value}});
}

bool CContentDbCatalogue::SetProperties(const std::wstring& id, const Properties& properties)
{
    return WriteProperties(id, properties, true);
}

bool CContentDbCatalogue::SetPropertiesQuietly(const std::wstring& id, const Properties& properties)
{
    return WriteProperties(id, properties, false);
}

bool CContentDbCatalogue::WriteProperties(const std::wstring& id, const Properties& properties, bool notify)
{
    CExclusive guard(m_lock);
    const auto found = m_orderById.find(id);
    if (found == m_orderById.end())
        return false;
    ContentDbItemPtr& slot = m_itemsByOrder[found->second];
    auto changed = std::make_shared<CContentDbItem>(*slot);
    for (const auto& property : properties)
        ApplyProperty(*changed, property.first, property.second);
    slot = changed;
    if (notify)
        Report(id, changed->itemClass, kChangeAddedOrChanged);
    return true;
}

bool CContentDbCatalogue::SetClassText(const std::wstring& id, const std::wstring& text)
{
    CExclusive guard(m_lock);
    const auto found = m_orderById.find(id);
    if (found == m_orderById.end())
        return false;
    ContentDbItemPtr& slot = m_itemsByOrder[found->second];
    auto changed = std::make_shared<CContentDbItem>(*slot);
    changed->classText = text;
    slot = changed;
    Report(id, changed->itemClass, kChangeAddedOrChanged);
    return true;
}

bool CContentDbCatalogue::RemoveItem(const std::wstring& id)
{
    CExclusive guard(m_lock);
    const auto found = m_orderById.find(id);
    if (found == m_orderById.end())
        return false;
    const auto item = m_itemsByOrder.find(found->second);
    const LONG itemClass = item->second->itemClass;
    m_itemsByOrder.erase(item);
    m_orderById.erase(found);
    m_members.erase(id);
    Report(id, itemClass, kChangeRemoved);
    return true;
}

void CContentDbCatalogue::SetMembers(const std::wstring& containerId, const std::vector<std::wstring>& memberIds)
{
    CExclusive guard(m_lock);
    if (memberIds.empty())
        m_members.erase(containerId);
    else
        m_members[containerId] = memberIds;
}

void CContentDbCatalogue::Clear()
{
    CExclusive guard(m_lock);
    m_itemsByOrder.clear();
    m_orderById.clear();
    m_members.clear();
}

ContentDbItemPtr CContentDbCatalogue::Find(const std::wstring& id) const
{
    CShared guard(m_lock);
    const auto found = m_orderById.find(id);
    return found == m_orderById.end() ? nullptr : m_itemsByOrder.at(found->second);
}

size_t CContentDbCatalogue::Count() const
{
    CShared guard(m_lock);
    return m_itemsByOrder.size();
}

std::vector<ContentDbItemPtr> CContentDbCatalogue::Select(const CContentDbQuery& query) const
{
    std::vector<ContentDbItemPtr> matches;
    CShared guard(m_lock);
    for (const auto& entry : m_itemsByOrder)
    {
        if (query.Matches(*entry.second))
            matches.push_back(entry.second);
    }
    return matches;
}

bool CContentDbCatalogue::Related(const std::wstring& id, const std::vector<LONG>* classes,
                                  std::vector<ContentDbItemPtr>& related) const
{
    related.clear();
    CShared guard(m_lock);
    const auto found = m_orderById.find(id);
    if (found == m_orderById.end())
        return false;
    const CContentDbItem& item = *m_itemsByOrder.at(found->second);

    std::vector<std::wstring> memberIds;
    const auto members = m_members.find(id);
    if (members != m_members.end())
        memberIds = members->second;
    if (IsCollection(item.itemClass))
    {
        if (const std::wstring* list = item.FindProperty(kPropMemberList))
            SplitMembers(*list, memberIds);
    }

    for (const std::wstring& memberId : memberIds)
    {
        const auto member = m_orderById.find(memberId);
        if (member == m_orderById.end())
            continue;
        const ContentDbItemPtr& memberItem = m_itemsByOrder.at(member->second);
        if (classes && std::find(classes->begin(), classes->end(), memberItem->itemClass) == classes->end())
            continue;
        related.push_back(memberItem);
    }
    return true;
}
