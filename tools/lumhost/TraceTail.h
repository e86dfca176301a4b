#pragma once
#include <windows.h>
#include <string>
#include <vector>

// Follows a UTF-8 log file as `tail -f` does: each Read gives the whole lines written since the
// last one. The file is open only during a Read, shared for reading, writing and deletion, so the
// writer can go on, rotate it and delete it. When the name stands for a new file, the end of the
// one followed so far is read first from its rotated name (name.log -> name.1.log), so the lines
// written just before a rotation are not lost.
class CTraceTail
{
public:
    explicit CTraceTail(std::wstring path);
    CTraceTail(const CTraceTail&) = delete;
    CTraceTail& operator=(const CTraceTail&) = delete;

    // Skips what the file holds now: only lines written from here on are read.
    void SkipExisting();
    // The lines completed since the last call, without line ends or byte-order mark.
    std::vector<std::wstring> Read();

    const std::wstring& Path() const noexcept { return m_path; }

private:
    struct FileId
    {
        DWORD volume = 0;
        DWORD high = 0;
        DWORD low = 0;
        bool operator==(const FileId& other) const noexcept
        {
            return volume == other.volume && high == other.high && low == other.low;
        }
    };

    static HANDLE Open(const std::wstring& path);
    static bool IdOf(HANDLE file, FileId& id);
    void ReadFrom(HANDLE file, std::vector<std::wstring>& lines);

    std::wstring m_path;
    std::wstring m_rotatedPath;
    bool m_known = false;        // m_id names the file followed
    FileId m_id;
    ULONGLONG m_offset = 0;      // read up to here
    std::string m_partial;       // bytes of a line not ended yet
};
