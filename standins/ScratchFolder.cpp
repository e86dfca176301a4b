#include "standins/ScratchFolder.h"
#include "common/Scoped.h"

namespace
{
void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
            {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

void CreateParents(const std::wstring& root, const std::wstring& name)
{
    for (size_t slash = name.find(L'\\'); slash != std::wstring::npos; slash = name.find(L'\\', slash + 1))
        CreateDirectoryW((root + L"\\" + name.substr(0, slash)).c_str(), nullptr);
}
}  // namespace

CScratchFolder::CScratchFolder(const wchar_t* prefix)
{
    static volatile LONG s_counter = 0;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring base = temp;
    if (!base.empty() && base.back() == L'\\')
        base.pop_back();
    m_folder = base + L"\\" + (prefix ? prefix : L"lumscratch") + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(InterlockedIncrement(&s_counter)) + L"-" + std::to_wstring(GetTickCount());
    CreateDirectoryW(m_folder.c_str(), nullptr);
}

CScratchFolder::~CScratchFolder()
{
    RemoveTree(m_folder);
}

std::wstring CScratchFolder::PathOf(const std::wstring& name) const
{
    return m_folder + L"\\" + name;
}

std::wstring CScratchFolder::Write(const std::wstring& name, const std::string& bytes)
{
    CreateParents(m_folder, name);
    std::wstring path = PathOf(name);
    CScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
    if (!file.IsValid())
        return std::wstring();
    DWORD written = 0;
    if (!bytes.empty() &&
        (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
         written != bytes.size()))
        return std::wstring();
    return path;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes)
{
    bytes.clear();
    CScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return false;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return true;
}

bool IsExistingFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
