#include "common/GuardedFile.h"

#include <iterator>
#include <memory>
#include <new>
#include "common/EnumWords.h"
#include "common/Path.h"
#include "common/ProtectedLocations.h"

namespace
{
bool StartsWithNoCase(const CString& text, const wchar_t* prefix)
{
    const int length = static_cast<int>(wcslen(prefix));
    return text.GetLength() >= length && CompareStringOrdinal(text, length, prefix, length, TRUE) == CSTR_EQUAL;
}

bool IsDriveLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// Win32 reads "/" as "\": "//./PhysicalDrive0" is a device path too.
CString WithBackslashes(LPCWSTR path)
{
    CString text(path);
    text.Replace(L"/", L"\\");
    return text;
}

// "\\.\", "\??\", "\\?\GLOBALROOT" and every "\\?\" form that is neither "\\?\X:" nor "\\?\UNC\".
bool IsDeviceNamespace(const CString& path)
{
    if (StartsWithNoCase(path, L"\\\\.\\") || StartsWithNoCase(path, L"\\??\\"))
        return true;
    if (!StartsWithNoCase(path, L"\\\\?\\"))
        return false;
    if (StartsWithNoCase(path, L"\\\\?\\UNC\\"))
        return false;
    return !(path.GetLength() >= 6 && IsDriveLetter(path[4]) && path[5] == L':');
}

// A ":" anywhere but right after a drive letter names a stream ("file:stream", "file::$DATA").
bool NamesStream(const CString& path)
{
    const CString stripped = StripLongPathPrefix(path);
    const int driveColon = stripped.GetLength() >= 2 && IsDriveLetter(stripped[0]) && stripped[1] == L':' ? 1 : -1;
    for (int i = 0; i < stripped.GetLength(); ++i)
    {
        if (stripped[i] == L':' && i != driveColon)
            return true;
    }
    return false;
}

FileGuardRefusal CheckText(const CString& path)
{
    if (path.IsEmpty())
        return FileGuardRefusal::EmptyPath;
    if (IsDeviceNamespace(path))
        return FileGuardRefusal::DeviceNamespace;
    if (NamesStream(path))
        return FileGuardRefusal::AlternateStream;
    // Also told by the final path; asked here too, since a root may not open for deletion at all.
    if (IsVolumeRootOrInRoot(path))
        return FileGuardRefusal::VolumeRoot;
    return FileGuardRefusal::None;
}

// The handle's path as "C:\..." or "\\server\share\..."; empty when the system cannot give one.
CString ReadFinalPath(HANDLE file)
{
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    wchar_t small[MAX_PATH * 2];
    DWORD length = GetFinalPathNameByHandleW(file, small, static_cast<DWORD>(std::size(small)), flags);
    if (length == 0)
        return CString();
    if (length < std::size(small))
        return StripLongPathPrefix(CString(small, static_cast<int>(length)));
    // Too long for the buffer: the answer was the size needed, terminator included.
    std::unique_ptr<wchar_t[]> large(new (std::nothrow) wchar_t[length]);
    if (!large)
        return CString();
    const DWORD needed = length;
    length = GetFinalPathNameByHandleW(file, large.get(), needed, flags);
    if (length == 0 || length >= needed)
        return CString();
    return StripLongPathPrefix(CString(large.get(), static_cast<int>(length)));
}

// The handle's path within its volume ("\dir\file", FileNameInfo) under the requested path's root,
// when the handle lies on that root's volume; empty otherwise. Stands in where the system gives
// no final path: Wine's GetFinalPathNameByHandleW fails for paths beyond MAX_PATH.
CString ReadPathOnRequestedVolume(HANDLE file, const CString& requested)
{
    CString root = GetPathRoot(requested);
    if (root.IsEmpty())
        return CString();
    DWORD handleSerial = 0;
    DWORD rootSerial = 0;
    if (!GetVolumeInformationByHandleW(file, nullptr, 0, &handleSerial, nullptr, nullptr, nullptr, 0) ||
        !GetVolumeInformationW(root, nullptr, 0, &rootSerial, nullptr, nullptr, nullptr, 0) ||
        handleSerial != rootSerial)
        return CString();
    const DWORD size = sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t);
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
    if (!buffer || !GetFileInformationByHandleEx(file, FileNameInfo, buffer.get(), size))
        return CString();
    const FILE_NAME_INFO* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.get());
    const CString name(info->FileName, static_cast<int>(info->FileNameLength / sizeof(wchar_t)));
    if (name.IsEmpty() || name[0] != L'\\')
        return CString();
    // A share's names start with its server and share ("\server\share\dir"), a drive's do not.
    if (root[0] == L'\\')
        return CString(L"\\") + name;
    return root.Left(2) + name;
}

FileGuardRefusal CheckOpenFile(HANDLE file, const CString& requested, CString& finalPath)
{
    finalPath = ReadFinalPath(file);
    if (finalPath.IsEmpty())
        finalPath = ReadPathOnRequestedVolume(file, requested);
    if (finalPath.IsEmpty() || GetPathRoot(finalPath).IsEmpty() || IsDeviceNamespace(finalPath))
        return FileGuardRefusal::FinalPathUnknown;
    if (NamesStream(finalPath))
        return FileGuardRefusal::AlternateStream;
    if (IsVolumeRootOrInRoot(finalPath))
        return FileGuardRefusal::VolumeRoot;
    if (IsProtectedLocation(finalPath))
        return FileGuardRefusal::ProtectedLocation;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return FileGuardRefusal::Directory;
    return FileGuardRefusal::None;
}

HANDLE OpenFor(const CString& path, GuardedAccess access)
{
    // A deletion takes a final link for the object itself: the link goes, never its target.
    // Writing and reading follow it; the final path checked is then the target's.
    switch (access)
    {
    case GuardedAccess::Delete:
        return CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    case GuardedAccess::Overwrite:
        // Made when missing, as a copy over it would; DELETE takes a refused new file away again.
        return CreateFileW(path, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    case GuardedAccess::Read:
        break;
    }
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}
}  // namespace

const wchar_t* DescribeFileGuardRefusal(FileGuardRefusal refusal) noexcept
{
    // In the order of FileGuardRefusal.
    static constexpr const wchar_t* kWords[] = {
        L"allowed", L"an empty path", L"a device namespace path", L"a stream name", L"could not be opened",
        L"no drive or share path", L"a protected location", L"a volume root or a file directly in one",
        L"a directory"};
    static_assert(std::size(kWords) == static_cast<size_t>(FileGuardRefusal::Directory) + 1,
                  "a word for every refusal");
    return EnumWord(refusal, kWords, L"refused");
}

FileGuardRefusal OpenGuardedFile(LPCWSTR path, GuardedAccess access, CScopedHandle& file, CString* finalPath)
{
    file.Close();
    const CString text = WithBackslashes(path);
    FileGuardRefusal refusal = CheckText(text);
    if (refusal == FileGuardRefusal::None)
    {
        CScopedHandle opened(OpenFor(text, access));
        if (!opened.IsValid())
            return FileGuardRefusal::OpenFailed;
        const bool created = access == GuardedAccess::Overwrite && GetLastError() != ERROR_ALREADY_EXISTS;
        CString checkedPath;
        refusal = CheckOpenFile(opened.Get(), text, checkedPath);
        if (refusal == FileGuardRefusal::None)
        {
            if (finalPath)
                *finalPath = checkedPath;
            file.Reset(opened.Release());
            return refusal;
        }
        if (created)
            DeleteGuardedFile(opened.Get());
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return refusal;
}

bool DeleteGuardedFile(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

bool OverwriteGuardedFile(HANDLE target, HANDLE source)
{
    const DWORD kChunk = 64 * 1024;
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kChunk]);
    if (!buffer)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    const LARGE_INTEGER start = {};
    if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN) || !SetFilePointerEx(target, start, nullptr, FILE_BEGIN))
        return false;
    for (;;)
    {
        DWORD read = 0;
        if (!ReadFile(source, buffer.get(), kChunk, &read, nullptr))
            return false;
        if (read == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(target, buffer.get(), read, &written, nullptr))
            return false;
    }
    return SetEndOfFile(target) != FALSE;
}
