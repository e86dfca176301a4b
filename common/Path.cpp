#include "common/Path.h"

#include <shlobj.h>
#include <algorithm>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

namespace
{
const wchar_t kLongPrefix[] = L"\\\\?\\";         // "\\?\"
const wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";  // "\\?\UNC\"
constexpr int kLongPrefixLength = 4;
constexpr int kLongUncPrefixLength = 8;
// The longest path the system's file functions take (a counted string of 16-bit length).
constexpr size_t kMaxPathLength = 32767;

bool StartsWith(const wchar_t* text, const wchar_t* prefix, int prefixLength) noexcept
{
    return text && std::wcsncmp(text, prefix, static_cast<size_t>(prefixLength)) == 0;
}

void EnsureTrailingBackslash(CString& path)
{
    const int length = path.GetLength();
    if (length == 0 || path.GetString()[length - 1] != L'\\')
        path += L'\\';
}

// An item id list from the shell, freed with the shell's allocator.
class CShellIdList
{
public:
    CShellIdList() noexcept = default;
    ~CShellIdList()
    {
        if (!m_list)
            return;
        IMalloc* allocator = nullptr;
        if (SUCCEEDED(SHGetMalloc(&allocator)) && allocator)
        {
            allocator->Free(m_list);
            allocator->Release();
        }
    }
    CShellIdList(const CShellIdList&) = delete;
    CShellIdList& operator=(const CShellIdList&) = delete;

    LPITEMIDLIST Get() const noexcept { return m_list; }
    LPITEMIDLIST* Receive() noexcept { return &m_list; }

private:
    LPITEMIDLIST m_list = nullptr;
};

// The current directory ending with "\"; false (and `out` untouched) when it cannot be read.
bool ReadCurrentDirectory(CString& out)
{
    CString directory;
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    // Another thread may change the directory between the two calls: ask again while it grows.
    while (needed != 0)
    {
        wchar_t* buffer = directory.GetBuffer(static_cast<int>(needed));
        const DWORD written = GetCurrentDirectoryW(needed, buffer);
        if (written == 0)
            return false;
        if (written < needed)
        {
            directory.ReleaseBuffer(static_cast<int>(written));
            EnsureTrailingBackslash(directory);
            out = directory;
            return true;
        }
        needed = written;
    }
    return false;
}

// The file attributes through the ANSI entry point; INVALID_FILE_ATTRIBUTES when the path cannot
// be converted or the call fails.
DWORD GetAnsiFileAttributes(LPCWSTR path) noexcept
{
    const int size = WideCharToMultiByte(CP_ACP, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return INVALID_FILE_ATTRIBUTES;
    std::unique_ptr<char[]> ansi(new (std::nothrow) char[static_cast<size_t>(size)]);
    if (!ansi || WideCharToMultiByte(CP_ACP, 0, path, -1, ansi.get(), size, nullptr, nullptr) <= 0)
        return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesA(ansi.get());
}

// A longer path cannot name anything: answered at once, without asking the file system, so that
// walking the levels of a huge path does not look each of them up.
bool IsBeyondMaxPath(LPCWSTR path) noexcept
{
    if (wcsnlen(path, kMaxPathLength + 1) <= kMaxPathLength)
        return false;
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return true;
}


// Index where the root of a path ends for CreateDirectoryTree: the ":" of a bare drive, the "\"
// after a drive, the "\" after a share (the length when there is none), else the long prefix's
// length. The search for parents stops there, so a root is never created.
int FindTreeRootEnd(const wchar_t* path, int length) noexcept
{
    int rootEnd = GetLongPathPrefixLength(path);
    if (length <= rootEnd + 1)
        return rootEnd;
    if (path[rootEnd + 1] == L':' && length == rootEnd + 2)
        return rootEnd + 1;
    if (path[rootEnd + 1] == L':' && path[rootEnd + 2] == L'\\')
        return rootEnd + 2;
    if (path[rootEnd] == L'\\')
    {
        int found = 0;
        for (int pos = rootEnd + (rootEnd == 0 ? 2 : 1); pos < length; ++pos)
        {
            if (path[pos] == L'\\' && ++found == 2)
                return pos;
        }
        return length;
    }
    return rootEnd;
}

// The last "\" before the final character of path[0, end) and not below rootEnd; -1 when none.
int FindParentEnd(const wchar_t* path, int end, int rootEnd) noexcept
{
    for (int pos = end - 2; pos >= rootEnd && pos >= 0; --pos)
    {
        if (path[pos] == L'\\')
            return pos;
    }
    return -1;
}

// One copy of a path that hands out its leading parts as terminated strings, so that walking a
// deep path does not copy it once per level.
class CPathPrefixes
{
public:
    CPathPrefixes(LPCWSTR path, int length) : m_path(path), m_copy(path, length)
    {
        m_text = m_copy.GetBuffer(length);
    }

    LPCWSTR Get(int length) noexcept
    {
        if (m_cut >= 0)
            m_text[m_cut] = m_path[m_cut];
        m_cut = length;
        m_text[m_cut] = 0;
        return m_text;
    }

private:
    LPCWSTR m_path;
    CString m_copy;
    wchar_t* m_text = nullptr;
    int m_cut = -1;
};

// Whether the level of `length` characters exists, answered without a look-up (and without
// measuring it again) when it is too long to name anything. keepError: the last-error value is
// left as it was when the answer is no, so that the error of a failed creation reaches the caller.
bool LevelExists(CPathPrefixes& levels, int length, bool keepError, const CDirectoryCalls& calls) noexcept
{
    const DWORD error = GetLastError();
    bool exists = false;
    if (static_cast<size_t>(length) > kMaxPathLength)
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    else
        exists = calls.exists(levels.Get(length));
    if (!exists && keepError)
        SetLastError(error);
    return exists;
}

bool ExistsThroughPlatform(LPCWSTR path)
{
    return DirectoryExists(path);
}

BOOL CreateThroughPlatform(LPCWSTR path, SECURITY_ATTRIBUTES* security)
{
    return CreateDirectoryW(path, security);
}

}  // namespace

BOOL GetSpecialFolderPath(int csidl, CString& out, LPCWSTR subPath, LPCWSTR innerPath)
{
    CShellIdList idList;
    if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, csidl, idList.Receive())) && idList.Get())
    {
        wchar_t buffer[MAX_PATH] = {};
        const bool read = SHGetPathFromIDListW(idList.Get(), buffer) != FALSE;
        buffer[MAX_PATH - 1] = 0;
        if (read)
        {
            CString path(buffer);
            EnsureTrailingBackslash(path);
            if (innerPath)
            {
                path += innerPath;
                EnsureTrailingBackslash(path);
            }
            if (subPath)
            {
                path += subPath;
                EnsureTrailingBackslash(path);
            }
            out = path;
            return TRUE;
        }
    }
    ReadCurrentDirectory(out);
    return FALSE;
}

CString MakeLongPath(const CString& path, bool always, bool forDirectory)
{
    const int limit = forDirectory ? 248 : 260;
    const int length = path.GetLength();
    if (length < kLongPrefixLength || StartsWith(path, kLongPrefix, kLongPrefixLength) ||
        (!always && length < limit))
        return path;
    if (StartsWith(path, L"\\\\", 2))
        return CString(L"\\\\?\\UNC") + path.Mid(1);
    return CString(kLongPrefix) + path;
}

CString StripLongPathPrefix(const CString& path)
{
    const int length = path.GetLength();
    if (length < kLongPrefixLength || !StartsWith(path, kLongPrefix, kLongPrefixLength))
        return path;
    if (length == kLongPrefixLength)
        return CString();
    if (length > kLongUncPrefixLength && StartsWith(path, kLongUncPrefix, kLongUncPrefixLength))
        return CString(L"\\\\") + path.Mid(kLongUncPrefixLength);
    return path.Mid(kLongPrefixLength);
}

int GetLongPathPrefixLength(LPCWSTR path)
{
    if (!StartsWith(path, kLongPrefix, kLongPrefixLength))
        return 0;
    return StartsWith(path, kLongUncPrefix, kLongUncPrefixLength) ? kLongUncPrefixLength - 1
                                                                   : kLongPrefixLength;
}

CString GetPathRoot(const CString& path)
{
    CString stripped = StripLongPathPrefix(path);
    const int length = stripped.GetLength();
    if (length < 2)
        return stripped;
    const wchar_t* text = stripped;
    if (text[0] == L'\\' && text[1] == L'\\')
    {
        if (length < 3)
            return CString();
        // The root runs to the "\" after the share; "\\server\share" gets that "\" appended.
        int found = 0;
        int pos = 2;
        for (; pos < length && found < 2; ++pos)
        {
            if (text[pos] == L'\\')
                ++found;
        }
        if (found == 0)
            return CString();
        CString root(text, pos);
        if (found == 1)
            root += L'\\';
        return root;
    }
    if (text[1] == L':')
        return CString(text, 2) + L"\\";
    return CString();
}

bool FileExists(LPCWSTR path)
{
    if (!path || IsBeyondMaxPath(path))
        return false;
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(LPCWSTR path)
{
    if (!path || !*path || IsBeyondMaxPath(path))
        return false;
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        attributes = GetAnsiFileAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

BOOL CreateDirectoryTree(LPCWSTR path, SECURITY_ATTRIBUTES* security)
{
    static const CDirectoryCalls platform = {&ExistsThroughPlatform, &CreateThroughPlatform};
    return CreateDirectoryTree(path, platform, security);
}

BOOL CreateDirectoryTree(LPCWSTR path, const CDirectoryCalls& calls, SECURITY_ATTRIBUTES* security)
{
    if (!path || !*path)
        return FALSE;
    if (calls.exists(path))
        return TRUE;

    const size_t fullLength = std::wcslen(path);
    if (fullLength > 0x3FFFFFFF)
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    const int length = static_cast<int>(fullLength);
    // Every parent keeps the path's root, so it is found once.
    const int rootEnd = FindTreeRootEnd(path, length);
    CPathPrefixes levels(path, length);

    // The levels below the root, shallowest first, each as the length of its path: the parents
    // end with their "", the last level is the whole path. Found without recursion, which keeps
    // the stack flat for paths with thousands of levels.
    std::vector<int> ends;
    for (int end = length;;)
    {
        ends.push_back(end);
        const int parentEnd = FindParentEnd(path, end, rootEnd);
        if (parentEnd <= rootEnd)
            break;
        end = parentEnd + 1;
    }
    std::reverse(ends.begin(), ends.end());

    // The deepest level that exists, by halving: a level exists only where its parent does. A
    // walk up from the last level looked up every missing one, each look-up as long as its path,
    // and took half a minute for a path of some thousand levels.
    int deepest = -1;  // the root
    int missing = static_cast<int>(ends.size()) - 1;
    while (missing - deepest > 1)
    {
        const int middle = deepest + (missing - deepest) / 2;
        if (LevelExists(levels, ends[static_cast<size_t>(middle)], false, calls))
            deepest = middle;
        else
            missing = middle;
    }

    // Create each level below it. One that cannot be created still counts when it exists, since
    // someone else may have created it meanwhile; otherwise nothing below it can be created and
    // the walk ends with the error of that creation.
    const int shallowestMissing = deepest + 1;  // 0 when only the root exists
    for (size_t i = static_cast<size_t>(shallowestMissing); i < ends.size(); ++i)
    {
        if (!calls.create(levels.Get(ends[i]), security) && !LevelExists(levels, ends[i], true, calls))
            return FALSE;
    }
    return TRUE;
}

bool IsUncSharePath(LPCWSTR path)
{
    if (!path)
        return false;
    const size_t length = std::wcslen(path);
    size_t start = 0;
    if (length >= static_cast<size_t>(kLongUncPrefixLength) &&
        StartsWith(path, kLongUncPrefix, kLongUncPrefixLength))
        start = kLongUncPrefixLength;
    else if (length >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' && path[2] != L'\\')
        start = 2;
    else
        return false;
    // A server name, then a "\" with at least one character (the share) after it.
    for (size_t pos = start; pos + 2 <= length; ++pos)
    {
        if (path[pos] == L'\\')
            return true;
    }
    return false;
}
