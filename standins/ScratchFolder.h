#pragma once
#include <windows.h>
#include <string>
#include <vector>

// A folder of real files for one test or benchmark, under the temporary folder with a name of its
// own; removed with everything in it when the object goes.
class CScratchFolder
{
public:
    // `prefix` starts the folder's name; process id and a counter make it unique.
    explicit CScratchFolder(const wchar_t* prefix = L"lumscratch");
    ~CScratchFolder();
    CScratchFolder(const CScratchFolder&) = delete;
    CScratchFolder& operator=(const CScratchFolder&) = delete;

    const std::wstring& Folder() const noexcept { return m_folder; }
    // The full path of `name` inside the folder; the file is not created.
    std::wstring PathOf(const std::wstring& name) const;
    // Creates (or replaces) the file `name` with `bytes`, making subfolders as needed; its path.
    // Empty when the file cannot be written.
    std::wstring Write(const std::wstring& name, const std::string& bytes);

private:
    std::wstring m_folder;
};

// The whole content of a file; false when it cannot be read.
bool ReadFileBytes(const std::wstring& path, std::string& bytes);
// True when the path names an existing file.
bool IsExistingFile(const std::wstring& path);
