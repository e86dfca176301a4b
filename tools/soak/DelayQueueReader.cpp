#include "tools/soak/DelayQueueReader.h"
#include "common/Scoped.h"
#include "notify/DelayQueueFile.h"

namespace
{
const wchar_t kCurrent[] = L"DbWexDelayQueue.dat";

std::wstring FolderPath()
{
    const CString folder = GetDelayQueueFolder();
    return std::wstring(folder.GetString(), static_cast<size_t>(folder.GetLength()));
}
}  // namespace

HRESULT ReadDelayQueue(CDelayQueueContent& content)
{
    content = CDelayQueueContent();
    // Shared for deleting too: the plug-in renames the file while a reader has it open.
    CScopedHandle file(CreateFileW((FolderPath() + kCurrent).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
    }
    content.exists = true;
    const DWORD size = GetFileSize(file.Get(), nullptr);
    if (size == INVALID_FILE_SIZE)
        return HRESULT_FROM_WIN32(GetLastError());
    std::wstring text(size / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    if (size >= sizeof(wchar_t) && !ReadFile(file.Get(), &text[0], size, &read, nullptr))
        return HRESULT_FROM_WIN32(GetLastError());
    text.resize(read / sizeof(wchar_t));
    if (!text.empty() && text[0] == 0xFEFF)
        text.erase(0, 1);
    for (size_t pos = 0; pos < text.size();)
    {
        size_t end = text.find(L"\r\n", pos);
        if (end == std::wstring::npos)
            end = text.size();
        const std::wstring line = text.substr(pos, end - pos);
        const size_t first = line.find(L'\t');
        const size_t second = first == std::wstring::npos ? std::wstring::npos : line.find(L'\t', first + 1);
        content.paths.push_back(second == std::wstring::npos ? std::wstring() : line.substr(second + 1));
        pos = end + 2;
    }
    return S_OK;
}

void DeleteDelayQueueFiles()
{
    const std::wstring folder = FolderPath();
    for (const wchar_t* suffix : {L"", L".new", L".bak"})
        DeleteFileW((folder + kCurrent + suffix).c_str());
}

std::map<std::wstring, ULONG> CountPaths(const std::vector<std::wstring>& paths)
{
    std::map<std::wstring, ULONG> counts;
    for (const std::wstring& path : paths)
    {
        if (!path.empty())
            ++counts[path];
    }
    return counts;
}
