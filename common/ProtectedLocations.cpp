#include "common/ProtectedLocations.h"

#include <shlobj.h>
#include <algorithm>
#include <iterator>
#include "common/Path.h"
#include "common/ProductKeys.h"
#include "common/Scoped.h"

namespace
{

// The list in use and whether a test replaced it. Read under the lock, copied out: a deletion
// never holds the lock while it works on a file.
struct CProtectedList
{
    CCriticalSection lock{LockRank::ProtectedLocations};
    bool loaded = false;
    std::vector<CString> folders;
};

CProtectedList& List()
{
    static CProtectedList list;
    return list;
}

// Full, without "\\?\" and without a trailing "\" (a root keeps its own).
CString NormaliseFolder(const CString& folder)
{
    CString path = StripLongPathPrefix(folder);
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length = GetFullPathNameW(path, static_cast<DWORD>(std::size(buffer)), buffer, nullptr);
    if (length > 0 && length < std::size(buffer))
        path = CString(buffer, static_cast<int>(length));
    while (path.GetLength() > 3 && path[path.GetLength() - 1] == L'\\')
        path = path.Left(path.GetLength() - 1);
    return path;
}

// The folder as a final path gives it, when it can be opened: a folder reached through a link
// is protected under both of its names.
CString FinalFolderPath(const CString& folder)
{
    CScopedHandle handle(CreateFileW(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.IsValid())
        return CString();
    wchar_t buffer[MAX_PATH * 2];
    const DWORD length = GetFinalPathNameByHandleW(handle.Get(), buffer, static_cast<DWORD>(std::size(buffer)),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= std::size(buffer))
        return CString();
    return NormaliseFolder(CString(buffer, static_cast<int>(length)));
}

void AddFolder(std::vector<CString>& folders, const CString& folder)
{
    if (folder.IsEmpty())
        return;
    auto addOnce = [&](const CString& path) {
        if (path.IsEmpty())
            return;
        for (const CString& known : folders)
        {
            if (known.CompareNoCase(path) == 0)
                return;
        }
        folders.push_back(path);
    };
    const CString normal = NormaliseFolder(folder);
    addOnce(normal);
    addOnce(FinalFolderPath(normal));
}

CString ReadFolder(UINT(WINAPI* read)(LPWSTR, UINT))
{
    wchar_t buffer[MAX_PATH];
    const UINT length = read(buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? CString(buffer, static_cast<int>(length)) : CString();
}

CString ReadShellFolder(int csidl)
{
    wchar_t buffer[MAX_PATH] = {};
    return SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)) ? CString(buffer) : CString();
}

CString ReadEnvironmentFolder(const wchar_t* name)
{
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? CString(buffer, static_cast<int>(length)) : CString();
}

std::vector<CString> ReadSystemFolders()
{
    std::vector<CString> folders;
    AddFolder(folders, ReadFolder(&GetWindowsDirectoryW));
    AddFolder(folders, ReadFolder(&GetSystemWindowsDirectoryW));
    AddFolder(folders, ReadFolder(&GetSystemDirectoryW));
    // Fails on a 32-bit system, which has no SysWOW64.
    AddFolder(folders, ReadFolder(&GetSystemWow64DirectoryW));
    AddFolder(folders, ReadShellFolder(CSIDL_PROGRAM_FILES));
    AddFolder(folders, ReadShellFolder(CSIDL_PROGRAM_FILESX86));
    // A 32-bit process is told the x86 folder for both; the 64-bit one is in the environment.
    AddFolder(folders, ReadEnvironmentFolder(L"ProgramW6432"));
    AddFolder(folders, GetProductDataFolder());
    return folders;
}

bool StartsWithFolder(const CString& path, const CString& folder)
{
    const int length = folder.GetLength();
    if (length == 0 || path.GetLength() < length)
        return false;
    if (CompareStringOrdinal(path, length, folder, length, TRUE) != CSTR_EQUAL)
        return false;
    return path.GetLength() == length || path[length] == L'\\' || folder[length - 1] == L'\\';
}
}  // namespace

CString GetProductDataFolder()
{
    CString folder;
    GetSpecialFolderPath(CSIDL_COMMON_APPDATA, folder, kProductDataFolder, nullptr);
    return folder;
}

std::vector<CString> GetProtectedFolders()
{
    CProtectedList& list = List();
    {
        CLockGuard guard(list.lock);
        if (list.loaded)
            return list.folders;
    }
    // Read outside the lock: the shell may load, and two first callers read the same list.
    std::vector<CString> folders = ReadSystemFolders();
    CLockGuard guard(list.lock);
    if (!list.loaded)
    {
        list.folders = std::move(folders);
        list.loaded = true;
    }
    return list.folders;
}

bool IsVolumeRootOrInRoot(const CString& path)
{
    const CString full = StripLongPathPrefix(path);
    const CString root = GetPathRoot(full);
    if (root.IsEmpty())
        return false;
    // What follows the root, trailing "\" left out: nothing is the root, one name a file in it.
    CString rest = full.Mid(std::min(root.GetLength(), full.GetLength()));
    while (!rest.IsEmpty() && rest[rest.GetLength() - 1] == L'\\')
        rest = rest.Left(rest.GetLength() - 1);
    return rest.Find(L'\\') < 0;
}

bool IsProtectedLocation(const CString& path)
{
    const CString full = StripLongPathPrefix(path);
    if (GetPathRoot(full).IsEmpty())
        return false;
    if (IsVolumeRootOrInRoot(full))
        return true;
    for (const CString& folder : GetProtectedFolders())
    {
        if (StartsWithFolder(full, folder))
            return true;
    }
    return false;
}

void SetProtectedFoldersForTest(const std::vector<CString>* folders)
{
    std::vector<CString> replacement;
    if (folders)
    {
        for (const CString& folder : *folders)
            AddFolder(replacement, folder);
    }
    CProtectedList& list = List();
    CLockGuard guard(list.lock);
    list.folders = std::move(replacement);
    list.loaded = folders != nullptr;
}
