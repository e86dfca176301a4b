#include "notify/DelayQueueFile.h"

#include <shlobj.h>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include "common/ComCall.h"
#include "common/HResult.h"
#include "common/HResultException.h"
#include "common/Path.h"
#include "common/ProtectedLocations.h"
#include "common/Scoped.h"

namespace
{
const BYTE kByteOrderMark[2] = {0xFF, 0xFE};

// The long-path forms of the file names in the folder.
struct CQueueFileNames
{
    CString dat;
    CString bak;
    CString newFile;
    CString untrusted;
};

// What every operation does first: check the folder, create it with its parents, name the files.
HRESULT BeginOperation(const CString& folder, CQueueFileNames& names)
{
    if (folder.IsEmpty())
        return E_ACCESSDENIED;
    CDataFolderSecurity security;
    if (!CreateDirectoryTree(folder, security.Attributes()))
        return HResultFromLastError();
    CString base = folder;
    if (base[base.GetLength() - 1] != L'\\')
        base += L'\\';
    base += kDelayQueueFileName;
    names.dat = MakeLongPath(base, false, false);
    names.bak = MakeLongPath(base + L".bak", false, false);
    names.newFile = MakeLongPath(base + L".new", false, false);
    names.untrusted = MakeLongPath(base + L".untrusted", false, false);
    return S_OK;
}

// ----- writing

// Writes value in decimal at out; answers the number of characters.
size_t FormatDecimal(LONG value, wchar_t* out)
{
    wchar_t digits[12];
    size_t count = 0;
    unsigned long magnitude = value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do
    {
        digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t length = 0;
    if (value < 0)
        out[length++] = L'-';
    while (count > 0)
        out[length++] = digits[--count];
    return length;
}

// Writes the text of the records, each line as "%s\t%d\t%s\r\n" would print it, through a
// small buffer. A queue of 100,000 requests is some 25 MB of text: building it whole would need
// that much contiguous memory in the service's (32-bit) address space and cost more in fresh
// pages than the write itself. The file stays its opener's.
class CQueueTextWriter
{
public:
    explicit CQueueTextWriter(const CScopedHandle& file) : m_file(file), m_buffer(new wchar_t[kCapacity]) {}

    // false once a WriteFile has failed; GetLastError then tells why.
    bool WriteRecords(const std::vector<CDelayQueueRecord>& records)
    {
        wchar_t number[12];
        for (const CDelayQueueRecord& record : records)
        {
            const size_t numberLength = FormatDecimal(record.itemClass, number);
            if (!Append(record.itemId.GetString(), static_cast<size_t>(record.itemId.GetLength())) ||
                !Append(L"\t", 1) || !Append(number, numberLength) || !Append(L"\t", 1) ||
                !Append(record.path.GetString(), static_cast<size_t>(record.path.GetLength())) ||
                !Append(L"\r\n", 2))
            {
                return false;
            }
        }
        return Flush();
    }

private:
    static constexpr size_t kCapacity = size_t{32} * 1024;  // characters

    bool Append(const wchar_t* text, size_t length)
    {
        if (m_used + length > kCapacity)
        {
            if (!Flush())
                return false;
            // Longer than the whole buffer: straight to the file.
            if (length > kCapacity)
                return Write(text, length);
        }
        std::memcpy(m_buffer.get() + m_used, text, length * sizeof(wchar_t));
        m_used += length;
        return true;
    }

    bool Flush()
    {
        const size_t used = m_used;
        m_used = 0;
        return used == 0 || Write(m_buffer.get(), used);
    }

    bool Write(const wchar_t* text, size_t length)
    {
        // The number of bytes written is not checked: a short write without an error cannot
        // happen on a local file opened for synchronous access.
        DWORD written = 0;
        return WriteFile(m_file.Get(), text, static_cast<DWORD>(length * sizeof(wchar_t)), &written, nullptr) != FALSE;
    }

    const CScopedHandle& m_file;
    std::unique_ptr<wchar_t[]> m_buffer;
    size_t m_used = 0;
};

HRESULT Save(const CString& folder, const std::vector<CDelayQueueRecord>& records, DelayQueueFlush flush)
{
    CQueueFileNames names;
    HRESULT hr = BeginOperation(folder, names);
    if (FAILED(hr))
        return hr;

    // A stray .new is what a failed earlier save left behind.
    DeleteFileW(names.newFile);

    if (records.empty())
    {
        // Nothing waits: leave no current file, so a restart brings nothing back.
        if (FileExists(names.dat))
        {
            DeleteFileW(names.bak);
            MoveFileW(names.dat, names.bak);
        }
        return S_FALSE;
    }

    // No sharing: a second writer or a reader at the same time fails to open it.
    CScopedHandle file(CreateFileW(names.newFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return HResultFromLastError();

    CQueueTextWriter writer(file);
    DWORD written = 0;
    // Flushed before the rename: a rename can reach the disk ahead of the data, and a power cut
    // in between would leave an empty .dat.
    if (!WriteFile(file.Get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr) ||
        !writer.WriteRecords(records) || !flush(file.Get()))
    {
        hr = HResultFromLastError();
    }
    file.Close();
    if (FAILED(hr))
        return hr;  // .dat stays as it was; the next save deletes the partial .new

    // Rotate: the newest complete file is .dat, or .bak between the two moves.
    DeleteFileW(names.bak);
    MoveFileW(names.dat, names.bak);
    if (!MoveFileW(names.newFile, names.dat))
        return HResultFromLastError();
    return S_OK;
}

// ----- reading

constexpr size_t kNotFound = static_cast<size_t>(-1);

size_t FindLineBreak(const wchar_t* text, size_t length, size_t from)
{
    for (size_t i = from; i + 1 < length; ++i)
    {
        if (text[i] == L'\r' && text[i + 1] == L'\n')
            return i;
    }
    return kNotFound;
}

// Splits a line at TAB characters; a field asked for past the end is empty.
class CFieldReader
{
public:
    CFieldReader(const wchar_t* line, size_t length) : m_line(line), m_length(length) {}

    void Next(const wchar_t*& field, size_t& fieldLength)
    {
        field = m_line + m_cursor;
        size_t end = m_cursor;
        while (end < m_length && m_line[end] != L'\t')
            ++end;
        fieldLength = end - m_cursor;
        m_cursor = end < m_length ? end + 1 : m_length;
    }

private:
    const wchar_t* m_line;
    size_t m_length;
    size_t m_cursor = 0;
};

// wcstol base 0 of the field alone: the TAB behind it must not count as leading white space of a
// following number.
LONG ParseClass(const wchar_t* field, size_t length)
{
    wchar_t small[64];
    if (length < sizeof(small) / sizeof(small[0]))
    {
        std::wmemcpy(small, field, length);
        small[length] = L'\0';
        return std::wcstol(small, nullptr, 0);
    }
    const std::wstring copy(field, length);
    return std::wcstol(copy.c_str(), nullptr, 0);
}

CString MakeString(const wchar_t* text, size_t length)
{
    if (length > 0x7FFFFFFF)
        ThrowHResult(E_OUTOFMEMORY);
    return CString(text, static_cast<int>(length));
}

// Hands each valid line to onLine; the first failure it answers ends the walk.
HRESULT WalkLines(const wchar_t* text, size_t length, const DelayQueueLineHandler& onLine)
{
    size_t pos = 0;
    while (pos < length)
    {
        const size_t found = FindLineBreak(text, length, pos);
        // A text that begins with CR LF is read as one line, as are the last characters without
        // a CR LF behind them.
        const size_t lineEnd = (found != kNotFound && found > 0) ? found : length;
        CFieldReader fields(text + pos, lineEnd - pos);
        const wchar_t* id;
        size_t idLength;
        const wchar_t* classField;
        size_t classLength;
        const wchar_t* pathField;
        size_t pathLength;
        fields.Next(id, idLength);
        fields.Next(classField, classLength);
        fields.Next(pathField, pathLength);

        // Deliberately stricter than the documented line checks: a line holding a NUL is skipped
        // whole. No save writes one, and the file check would see only the path before it while
        // the request carried the rest.
        if (idLength > 0 && !std::wmemchr(text + pos, L'\0', lineEnd - pos))
        {
            const LONG itemClass = ParseClass(classField, classLength);
            if (itemClass != 0)
            {
                const CString path = MakeString(pathField, pathLength);
                if (FileExists(MakeLongPath(path, false, false)))
                {
                    const HRESULT hr = onLine(MakeString(id, idLength), itemClass, path);
                    if (FAILED(hr))
                        return hr;
                }
            }
        }

        pos = lineEnd;
        while (pos < length && (text[pos] == L'\r' || text[pos] == L'\n'))
            ++pos;
    }
    return S_OK;
}

HRESULT Load(const CString& folder, const DelayQueueLineHandler& onLine, QueueFileOwnerCheck ownerCheck)
{
    if (!onLine)
        return E_INVALIDARG;
    CQueueFileNames names;
    HRESULT hr = BeginOperation(folder, names);
    if (FAILED(hr))
        return hr;

    CScopedHandle file(CreateFileW(names.dat, GENERIC_READ | READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return S_FALSE;
        return HResultFromLastError();
    }
    // Someone else's file decides nothing: it is moved aside for a look and nothing is read.
    if (!ownerCheck(file.Get()))
    {
        file.Close();
        MoveFileExW(names.dat, names.untrusted, MOVEFILE_REPLACE_EXISTING);
        return S_FALSE;
    }

    DWORD size = GetFileSize(file.Get(), nullptr);
    BYTE mark[2] = {0, 0};
    DWORD read = 0;
    if (size == INVALID_FILE_SIZE || !ReadFile(file.Get(), mark, sizeof(mark), &read, nullptr))
        return HResultFromLastError();
    if (read == sizeof(mark) && mark[0] == kByteOrderMark[0] && mark[1] == kByteOrderMark[1])
        size -= read;
    else
        SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN);  // no mark: the text starts at byte 0

    // A trailing odd byte is not part of any code unit and is not read.
    const DWORD units = size / sizeof(wchar_t);
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[units ? units : 1]);
    if (!text)
        return E_OUTOFMEMORY;
    read = 0;
    if (units && !ReadFile(file.Get(), text.get(), units * static_cast<DWORD>(sizeof(wchar_t)), &read, nullptr))
        return HResultFromLastError();

    return WalkLines(text.get(), read / sizeof(wchar_t), onLine);
}

HRESULT BackUp(const CString& folder)
{
    CQueueFileNames names;
    const HRESULT hr = BeginOperation(folder, names);
    if (FAILED(hr))
        return hr;
    if (FileExists(names.dat))
    {
        DeleteFileW(names.bak);
        if (MoveFileW(names.dat, names.bak))
            return S_OK;
    }
    return S_FALSE;
}
}  // namespace

CString GetDelayQueueFolder()
{
    return GetProductDataFolder();
}

HRESULT SaveDelayQueueFile(const std::vector<CDelayQueueRecord>& records)
{
    return CatchAsHResult([&] { return Save(GetDelayQueueFolder(), records, &FlushFileBuffers); });
}

HRESULT SaveDelayQueueFile(const CString& folder, const std::vector<CDelayQueueRecord>& records,
                           DelayQueueFlush flush)
{
    return CatchAsHResult([&] { return Save(folder, records, flush ? flush : &FlushFileBuffers); });
}

HRESULT LoadDelayQueueFile(const DelayQueueLineHandler& onLine)
{
    return CatchAsHResult([&] { return Load(GetDelayQueueFolder(), onLine, &HasTrustedOwner); });
}

HRESULT LoadDelayQueueFile(const CString& folder, const DelayQueueLineHandler& onLine, QueueFileOwnerCheck ownerCheck)
{
    return CatchAsHResult([&] { return Load(folder, onLine, ownerCheck ? ownerCheck : &HasTrustedOwner); });
}

HRESULT BackUpDelayQueueFile()
{
    return CatchAsHResult([&] { return BackUp(GetDelayQueueFolder()); });
}

HRESULT BackUpDelayQueueFile(const CString& folder)
{
    return CatchAsHResult([&] { return BackUp(folder); });
}
