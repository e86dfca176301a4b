#include "tools/lumhost/TraceTail.h"
#include "common/Scoped.h"
#include "tools/lumhost/Timeline.h"

namespace
{
constexpr size_t kMaxLineBytes = 64 * 1024;  // a longer line is cut there
const char kByteOrderMark[] = "\xEF\xBB\xBF";
}  // namespace

CTraceTail::CTraceTail(std::wstring path) : m_path(std::move(path))
{
    const size_t slash = m_path.find_last_of(L"\\/");
    const size_t dot = m_path.rfind(L'.');
    m_rotatedPath = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)
                        ? m_path.substr(0, dot) + L".1" + m_path.substr(dot)
                        : m_path + L".1";
}

HANDLE CTraceTail::Open(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool CTraceTail::IdOf(HANDLE file, FileId& id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return false;
    id.volume = info.dwVolumeSerialNumber;
    id.high = info.nFileIndexHigh;
    id.low = info.nFileIndexLow;
    return true;
}

void CTraceTail::SkipExisting()
{
    m_known = false;
    m_offset = 0;
    m_partial.clear();
    CScopedHandle file(Open(m_path));
    LARGE_INTEGER size = {};
    if (file.IsValid() && IdOf(file.Get(), m_id) && GetFileSizeEx(file.Get(), &size))
    {
        m_known = true;
        m_offset = static_cast<ULONGLONG>(size.QuadPart);
    }
}

std::vector<std::wstring> CTraceTail::Read()
{
    std::vector<std::wstring> lines;
    CScopedHandle file(Open(m_path));
    FileId id;
    if (!file.IsValid() || !IdOf(file.Get(), id))
        return lines;
    if (m_known && !(id == m_id))
    {
        // A new file under the name: the one followed so far was rotated away, or deleted.
        CScopedHandle rotated(Open(m_rotatedPath));
        FileId rotatedId;
        if (rotated.IsValid() && IdOf(rotated.Get(), rotatedId) && rotatedId == m_id)
            ReadFrom(rotated.Get(), lines);
        m_offset = 0;
        m_partial.clear();
    }
    m_id = id;
    m_known = true;
    ReadFrom(file.Get(), lines);
    return lines;
}

void CTraceTail::ReadFrom(HANDLE file, std::vector<std::wstring>& lines)
{
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size))
        return;
    if (static_cast<ULONGLONG>(size.QuadPart) < m_offset)
    {
        // Cut short in place: start again from its beginning.
        m_offset = 0;
        m_partial.clear();
    }
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(m_offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN))
        return;
    char buffer[16 * 1024];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        m_offset += read;
        for (DWORD i = 0; i < read; ++i)
        {
            if (buffer[i] != '\n')
            {
                if (m_partial.size() < kMaxLineBytes)
                    m_partial += buffer[i];
                continue;
            }
            if (!m_partial.empty() && m_partial.back() == '\r')
                m_partial.pop_back();
            // The file's first line carries the byte-order mark.
            if (m_partial.compare(0, 3, kByteOrderMark) == 0)
                m_partial.erase(0, 3);
            lines.push_back(FromUtf8(m_partial));
            m_partial.clear();
        }
    }
}
