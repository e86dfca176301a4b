#pragma once
#include <windows.h>
#include <map>
#include <memory>
#include <string>

// One catalogued item of the stand-in content database: an id, a class code and numbered text
// properties. A property is either absent or has a non-empty text; writing an empty text removes
// it. Items are shared read-only between the catalogue and the result sets, and a change makes a
// new item, so a result set keeps the values its search saw.
struct CContentDbItem
{
    static constexpr LONG kPropId = -1;
    static constexpr LONG kPropClass = -2;

    std::wstring id;
    LONG itemClass = 0;
    std::map<LONG, std::wstring> properties;
    // When not empty, what GetValue of the class pseudo-property answers instead of the class code:
    // lets a test feed a class that is not a number. Searches and relations still use itemClass.
    std::wstring classText;

    // The value of a property, pseudo-properties included; false when it has none.
    bool GetText(LONG propId, std::wstring& text) const
    {
        if (propId == kPropId)
        {
            text = id;
            return true;
        }
        if (propId == kPropClass)
        {
            text = std::to_wstring(itemClass);
            return true;
        }
        const auto found = properties.find(propId);
        if (found == properties.end())
            return false;
        text = found->second;
        return true;
    }

    // Same without copying; null when the property has no value. Pseudo-properties excluded.
    const std::wstring* FindProperty(LONG propId) const
    {
        const auto found = properties.find(propId);
        return found == properties.end() ? nullptr : &found->second;
    }
};

using ContentDbItemPtr = std::shared_ptr<const CContentDbItem>;
