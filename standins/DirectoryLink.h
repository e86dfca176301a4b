#pragma once
#include <windows.h>
#include <string>

// A symbolic link made for a test, removed again when the object goes (the link only, never what
// it points at).
//
// Wine's CreateSymbolicLinkW reports success but makes nothing, while a Unix symbolic link inside
// a Wine drive reads on the Windows side as a reparse point, and a file opened through it has the
// target's final path. So the link is made as a Unix link, by `ln -s` started through Wine's
// `start /unix`, with both paths turned into Unix paths by Wine's wine_get_unix_file_name. On
// Windows proper (no such export) CreateSymbolicLinkW is used.
class CDirectoryLink
{
public:
    // Makes `link` point at `target` (both full Windows paths; `link` must not exist yet).
    CDirectoryLink(const std::wstring& link, const std::wstring& target, bool directory = true);
    ~CDirectoryLink();
    CDirectoryLink(const CDirectoryLink&) = delete;
    CDirectoryLink& operator=(const CDirectoryLink&) = delete;

    // Whether the link is there (a link to a folder: and reads as a reparse point). When not, Why()
    // tells what failed.
    bool IsMade() const noexcept { return m_made; }
    const std::string& Why() const noexcept { return m_why; }

private:
    std::wstring m_link;
    bool m_made = false;
    bool m_unix = false;
    std::string m_why;
};
