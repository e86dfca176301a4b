#pragma once
#include <windows.h>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>
#include "standins/ContentDbItem.h"

class CContentDbQuery;

// The items of the stand-in content database, shared by all its connections. Tests fill and
// change it through the C++ API; the connections search and write it. Any thread may call.
//
// Every change is reported to the change hook (set by the database to queue notifications) while
// the catalogue lock is held, so that notifications come out in the order of the changes: kind 1
// for an item added or changed, kind 2 for one removed.
//
// Relations: a container's members are set through SetMembers; a collection (classes 650 and 700)
// has the items listed in its member-list property 0x0207 (ids separated by ";") as members.
// Members that do not exist (any more) are left out of Related().
class CContentDbCatalogue
{
public:
    static constexpr LONG kChangeAddedOrChanged = 1;
    static constexpr LONG kChangeRemoved = 2;
    static constexpr LONG kPropMemberList = 0x0207;

    using ChangeHook = std::function<void(const std::wstring& id, LONG itemClass, LONG kind)>;
    using Properties = std::vector<std::pair<LONG, std::wstring>>;

    CContentDbCatalogue();
    ~CContentDbCatalogue();
    CContentDbCatalogue(const CContentDbCatalogue&) = delete;
    CContentDbCatalogue& operator=(const CContentDbCatalogue&) = delete;

    void SetChangeHook(ChangeHook hook);

    // Adds the item, or replaces the one with this id (keeping its place in the search order).
    void AddItem(const std::wstring& id, LONG itemClass, const Properties& properties = {});
    // An empty text removes the property. False when no item has this id.
    bool SetProperty(const std::wstring& id, LONG propId, const std::wstring& value);
    // All or nothing: false (nothing written) when no item has this id.
    bool SetProperties(const std::wstring& id, const Properties& properties);
    // The same without a change notification: writes of the manager's own bookkeeping, which a
    // host does not want to come back to the plug-in as a content change.
    bool SetPropertiesQuietly(const std::wstring& id, const Properties& properties);
    // What readers of the item's class get instead of its code (empty: the code again). False when
    // no item has this id.
    bool SetClassText(const std::wstring& id, const std::wstring& text);
    bool RemoveItem(const std::wstring& id);
    void SetMembers(const std::wstring& containerId, const std::vector<std::wstring>& memberIds);
    void Clear();  // silently, no notifications

    ContentDbItemPtr Find(const std::wstring& id) const;
    size_t Count() const;
    // The matching items in the order they were first added.
    std::vector<ContentDbItemPtr> Select(const CContentDbQuery& query) const;
    // The members of the item, optionally only those of the given classes; false when no item has
    // this id.
    bool Related(const std::wstring& id, const std::vector<LONG>* classes, std::vector<ContentDbItemPtr>& related) const;

private:
    void Report(const std::wstring& id, LONG itemClass, LONG kind);
    bool WriteProperties(const std::wstring& id, const Properties& properties, bool notify);

    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    ULONGLONG m_nextOrder = 0;
    std::map<ULONGLONG, ContentDbItemPtr> m_itemsByOrder;
    std::unordered_map<std::wstring, ULONGLONG> m_orderById;
    std::unordered_map<std::wstring, std::vector<std::wstring>> m_members;
    ChangeHook m_changeHook;
};
