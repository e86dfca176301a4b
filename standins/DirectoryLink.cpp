#include "standins/DirectoryLink.h"

#include <memory>
#include "common/Scoped.h"

namespace
{
using UnixFileName = char*(CDECL*)(LPCWSTR dosName);

UnixFileName FindUnixFileName()
{
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<UnixFileName>(
                        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")))
                  : nullptr;
}

// The Unix path Wine gives a Windows path; empty when there is none. A path that does not exist
// yet still has one (its parent is looked up).
std::string UnixPath(UnixFileName convert, const std::wstring& path)
{
    char* name = convert(path.c_str());
    if (!name)
        return std::string();
    std::string text(name);
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

// Runs a Unix program through Wine's start.exe and waits for start to end. The program may still
// be running then; callers look for its effect.
bool RunUnix(const std::string& arguments)
{
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    std::wstring command = L"\"" + std::wstring(system) + L"\\start.exe\" /wait /unix ";
    command.append(arguments.begin(), arguments.end());  // paths here are plain ASCII
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    const CScopedHandle waited(process.hProcess);
    return WaitForSingleObject(waited.Get(), 30000) == WAIT_OBJECT_0;
}

// Wine shows a Unix link to a folder as a reparse point, and one to a file as that file.
bool ReadsAsLink(const std::wstring& link, bool directory)
{
    const DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (!directory || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
}

// start.exe splits its command line at blanks, and no quoting reaches the Unix program intact.
bool HasBlank(const std::string& text)
{
    return text.find_first_of(" \t") != std::string::npos;
}
}  // namespace

CDirectoryLink::CDirectoryLink(const std::wstring& link, const std::wstring& target, bool directory) : m_link(link)
{
    const UnixFileName convert = FindUnixFileName();
    if (!convert)
    {
        const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;  // unprivileged create
        m_made = CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) && ReadsAsLink(link, directory);
        if (!m_made)
            m_why = "CreateSymbolicLinkW failed: " + std::to_string(GetLastError());
        return;
    }
    const std::string unixLink = UnixPath(convert, link);
    const std::string unixTarget = UnixPath(convert, target);
    if (unixLink.empty() || unixTarget.empty() || HasBlank(unixLink) || HasBlank(unixTarget))
    {
        m_why = "no Unix path without blanks for the link or its target";
        return;
    }
    if (!RunUnix("/bin/ln -s " + unixTarget + " " + unixLink))
    {
        m_why = "start.exe /unix /bin/ln could not be run";
        return;
    }
    m_unix = true;
    // start may return before ln has ended.
    for (int i = 0; i < 100 && !ReadsAsLink(link, directory); ++i)
        Sleep(50);
    m_made = ReadsAsLink(link, directory);
    if (!m_made)
        m_why = directory ? "ln -s ran, but the link does not read as a reparse point" : "ln -s ran, but no link is there";
}

CDirectoryLink::~CDirectoryLink()
{
    // A Unix link may be there even when it did not read as one.
    if (!m_made && !m_unix)
        return;
    if (!m_unix)
    {
        RemoveDirectoryW(m_link.c_str()) || DeleteFileW(m_link.c_str());
        return;
    }
    const UnixFileName convert = FindUnixFileName();
    const std::string unixLink = convert ? UnixPath(convert, m_link) : std::string();
    // rm without -r removes the link itself, never the folder it points at.
    if (!unixLink.empty())
        RunUnix("/bin/rm -f " + unixLink);
    for (int i = 0; i < 100 && GetFileAttributesW(m_link.c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(50);
}
