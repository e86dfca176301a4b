// Times SaveDelayQueueFile and LoadDelayQueueFile on 100,000 requests against floors measured in
// the same run on the same bytes:
//   save floor: copy the same text field by field into a buffer that is already in memory, create
//               a file, write it with one WriteFile, flush it to disk and rotate it in as every
//               save must (delete the old backup, the current file becomes the backup, the new
//               file the current one). The write, flush and rotation alone are printed too;
//   load floor: open the file, read it with one ReadFile, and ask GetFileAttributesW once per line
//               (the existence test every line needs).
// Each figure is the best of several rounds, so that one slow round of a shared machine does not
// decide it. Goals: save ratio at most 1.3, load ratio at most 2.
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>
#include "bench/BenchSupport.h"
#include "common/Path.h"
#include "common/Scoped.h"
#include "common/String.h"
#include "notify/DelayQueueFile.h"

using bench::NowMs;
using bench::RemoveFolder;

namespace
{
constexpr int kRecords = 100000;
constexpr int kFiles = 1000;
constexpr int kRounds = 7;

std::vector<BYTE> ReadAll(const CString& path)
{
    CScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<BYTE> bytes(file.IsValid() ? GetFileSize(file.Get(), nullptr) : 0);
    DWORD read = 0;
    if (!bytes.empty())
        ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}

// One WriteFile into `name`.new and its flush, then the rotation: `name`.bak goes, `name` becomes
// `name`.bak and `name`.new becomes `name`.
bool SaveFloor(const CString& name, const BYTE* bytes, size_t size)
{
    const CString newFile = name + L".new";
    const CString bak = name + L".bak";
    {
        CScopedHandle file(CreateFileW(newFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file.IsValid() || !WriteFile(file.Get(), bytes, static_cast<DWORD>(size), &written, nullptr) ||
            !FlushFileBuffers(file.Get()))
            return false;
    }
    DeleteFileW(bak);
    MoveFileW(name, bak);
    return MoveFileW(newFile, name) != FALSE;
}

// Copies the file's text into `text` (large enough, its pages already touched): byte-order mark,
// then "id\tclass\tpath\r\n" per record. Answers the number of characters.
size_t CopyText(const std::vector<CDelayQueueRecord>& records, std::vector<wchar_t>& text)
{
    wchar_t* out = text.data();
    *out++ = L'\xFEFF';
    wchar_t number[16];
    for (const CDelayQueueRecord& record : records)
    {
        wmemcpy(out, record.itemId.GetString(), static_cast<size_t>(record.itemId.GetLength()));
        out += record.itemId.GetLength();
        *out++ = L'\t';
        _ltow(record.itemClass, number, 10);
        const size_t digits = wcslen(number);
        // Fields are laid end to end in one buffer: none of them is to be terminated.
        wmemcpy(out, number, digits);  // NOLINT(bugprone-not-null-terminated-result)
        out += digits;
        *out++ = L'\t';
        wmemcpy(out, record.path.GetString(), static_cast<size_t>(record.path.GetLength()));
        out += record.path.GetLength();
        *out++ = L'\r';
        *out++ = L'\n';
    }
    return static_cast<size_t>(out - text.data());
}

// One ReadFile of the whole file, then one existence test per line in file order.
size_t ReadFloor(const CString& path, const std::vector<CDelayQueueRecord>& records, std::vector<BYTE>& buffer)
{
    CScopedHandle file(CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return 0;
    const DWORD size = GetFileSize(file.Get(), nullptr);
    buffer.resize(size);
    DWORD read = 0;
    ReadFile(file.Get(), buffer.data(), size, &read, nullptr);
    size_t existing = 0;
    for (const CDelayQueueRecord& record : records)
    {
        const DWORD attributes = GetFileAttributesW(record.path);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            ++existing;
    }
    return existing;
}

}  // namespace

int main()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    CString root;
    root.Format(L"%slumdq-bench-%lu\\", temp, GetCurrentProcessId());
    const CString media = root + L"media\\";
    const CString queue = root + L"queue\\";
    if (!CreateDirectoryTree(media) || !CreateDirectoryTree(queue))
    {
        std::printf("cannot create %ls\n", root.GetString());
        return 1;
    }

    // 1,000 real files, their paths shared by the 100,000 requests.
    std::vector<CString> files;
    for (int i = 0; i < kFiles; ++i)
    {
        CString path;
        path.Format(L"%sRecorded TV %04d - Evening News (Channel %02d).mp4", media.GetString(), i, i % 40);
        CScopedHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        files.push_back(path);
    }
    std::vector<CDelayQueueRecord> records;
    records.reserve(kRecords);
    static const LONG classes[] = {100, 200, 300};
    for (int i = 0; i < kRecords; ++i)
    {
        CString id;
        id.Format(L"{%08X-4C55-4D53-9A1B-%012X}", static_cast<unsigned>(i) * 2654435761u, static_cast<unsigned>(i));
        records.push_back({files[static_cast<size_t>(i % kFiles)], id, classes[i % 3]});
    }

    const CString dat = queue + L"DbWexDelayQueue.dat";
    const CString floorFile = root + L"floor.dat";
    std::vector<double> save, saveFloor, writeAndRotate, load, loadFloor;
    bool sameText = true;
    std::vector<BYTE> bytes;
    std::vector<BYTE> buffer;
    std::vector<wchar_t> text;
    size_t loaded = 0;
    size_t floorLines = 0;
    HRESULT saveResult = S_OK;
    HRESULT loadResult = S_OK;
    for (int round = 0; round < kRounds; ++round)
    {
        double start = NowMs();
        saveResult = SaveDelayQueueFile(queue, records);
        save.push_back(NowMs() - start);
        if (bytes.empty())
            bytes = ReadAll(dat);

        if (text.empty())
            text.assign(bytes.size() / sizeof(wchar_t) + 1, L'\0');
        start = NowMs();
        const size_t copied = CopyText(records, text);
        SaveFloor(floorFile, reinterpret_cast<const BYTE*>(text.data()), copied * sizeof(wchar_t));
        saveFloor.push_back(NowMs() - start);
        sameText = sameText && copied * sizeof(wchar_t) == bytes.size() &&
                   std::memcmp(text.data(), bytes.data(), bytes.size()) == 0;

        start = NowMs();
        SaveFloor(floorFile, bytes.data(), bytes.size());
        writeAndRotate.push_back(NowMs() - start);

        loaded = 0;
        size_t characters = 0;
        start = NowMs();
        loadResult = LoadDelayQueueFile(queue, [&](const CString& id, LONG, const CString& path) {
            ++loaded;
            characters += static_cast<size_t>(id.GetLength() + path.GetLength());
            return S_OK;
        });
        load.push_back(NowMs() - start);
        if (characters == 0)
            loaded = 0;

        start = NowMs();
        floorLines = ReadFloor(floorFile, records, buffer);
        loadFloor.push_back(NowMs() - start);
    }

    const double bestSave = *std::min_element(save.begin(), save.end());
    const double bestSaveFloor = *std::min_element(saveFloor.begin(), saveFloor.end());
    const double bestLoad = *std::min_element(load.begin(), load.end());
    const double bestLoadFloor = *std::min_element(loadFloor.begin(), loadFloor.end());
    std::printf("delay-queue file: %d requests over %d files, %zu bytes, best of %d rounds\n", kRecords, kFiles,
                bytes.size(), kRounds);
    const double bestWriteAndRotate = *std::min_element(writeAndRotate.begin(), writeAndRotate.end());
    std::printf("save  %8.2f ms   floor (copy text + WriteFile + flush + rotation) %8.2f ms   ratio %.2f (goal <= 1.3)\n",
                bestSave, bestSaveFloor, bestSave / bestSaveFloor);
    std::printf("      the floor's WriteFile, flush and rotation alone: %.2f ms (ratio %.2f)\n", bestWriteAndRotate,
                bestSave / bestWriteAndRotate);
    std::printf("load  %8.2f ms   floor (one ReadFile + attributes per line) %6.2f ms   ratio %.2f (goal <= 2)\n", bestLoad,
                bestLoadFloor, bestLoad / bestLoadFloor);

    bool ok = saveResult == S_OK && loadResult == S_OK && loaded == static_cast<size_t>(kRecords) &&
              floorLines == static_cast<size_t>(kRecords) && sameText;
    if (!ok)
        std::printf("unexpected: save 0x%08lX, load 0x%08lX, %zu loaded, %zu floor lines, floor text %s\n",
                    static_cast<unsigned long>(saveResult), static_cast<unsigned long>(loadResult), loaded, floorLines,
                    sameText ? "the same" : "different");

    for (const CString& file : files)
        DeleteFileW(file);
    RemoveDirectoryW(media);
    RemoveFolder(queue);
    DeleteFileW(floorFile);
    DeleteFileW(floorFile + L".bak");
    RemoveDirectoryW(root);
    return ok ? 0 : 1;
}
