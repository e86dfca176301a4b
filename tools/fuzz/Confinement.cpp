#include "tools/fuzz/Confinement.h"

std::wstring ConfinedTail(std::wstring tail)
{
    for (wchar_t& ch : tail)
    {
        if (ch == L':' || ch == L'/')
            ch = L'_';
    }
    for (size_t at = tail.find(L".."); at != std::wstring::npos; at = tail.find(L"..", at))
        tail[at] = L'_';
    return tail;
}

std::wstring ConfinedValue(const std::wstring& folder, const std::wstring& text)
{
    if (text.find_first_of(L":/\\") == std::wstring::npos && text.find(L"..") == std::wstring::npos)
        return text;
    for (const std::wstring& start : {folder, L"\\\\?\\" + folder})
    {
        if (text.compare(0, start.size(), start) == 0 && text.size() > start.size() && text[start.size()] == L'\\')
            return start + ConfinedTail(text.substr(start.size()));
    }
    return folder + L"\\" + ConfinedTail(text);
}
