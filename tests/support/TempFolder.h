#pragma once
// Temporary folders and files for tests, long paths included.
#include <windows.h>
#include <string>
#include <vector>
#include "common/Scoped.h"

// The "\\?\" form, so that long paths work everywhere in the tests.
inline std::wstring LongForm(const std::wstring& path)
{
    return path.compare(0, 4, L"\\\\?\\") == 0 ? path : L"\\\\?\\" + path;
}

// A fresh folder under the temp path, removed with everything in it (long paths included).
class CTempFolder
{
public:
    explicit CTempFolder(const wchar_t* prefix = L"lumtest")
    {
        wchar_t base[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, base);
        static LONG counter = 0;
        m_path = std::wstring(base) + prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(InterlockedIncrement(&counter));
        if (m_path.back() == L'\\')
            m_path.pop_back();
        // Wine hands out the same process ids again: a folder that a crashed run left goes first.
        RemoveTree(m_path);
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~CTempFolder() { RemoveTree(m_path); }
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

    static void RemoveTree(const std::wstring& root)
    {
        std::vector<std::wstring> folders{root};
        for (size_t i = 0; i < folders.size(); ++i)
        {
            WIN32_FIND_DATAW data;
            HANDLE find = FindFirstFileW(LongForm(folders[i] + L"\\*").c_str(), &data);
            if (find == INVALID_HANDLE_VALUE)
                continue;
            do
            {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const std::wstring path = folders[i] + L"\\" + name;
                // A link goes as a link: what it points at is not this folder's to remove.
                if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                    RemoveDirectoryW(LongForm(path).c_str()) || DeleteFileW(LongForm(path).c_str());
                else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    folders.push_back(path);
                else
                    DeleteFileW(LongForm(path).c_str());
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        for (auto it = folders.rbegin(); it != folders.rend(); ++it)
            RemoveDirectoryW(LongForm(*it).c_str());
    }

private:
    std::wstring m_path;
};

// Creates (or replaces) a file with `bytes` bytes; false when that fails.
inline bool WriteTestFile(const std::wstring& path, size_t bytes)
{
    CScopedHandle file(CreateFileW(LongForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return false;
    std::vector<char> data(bytes, 'x');
    DWORD written = 0;
    return bytes == 0 || (WriteFile(file.Get(), data.data(), static_cast<DWORD>(bytes), &written, nullptr) &&
                          written == bytes);
}

inline bool MakeFolder(const std::wstring& path)
{
    return CreateDirectoryW(LongForm(path).c_str(), nullptr) != FALSE;
}
