// Times SaveDelayQueueFile and LoadDelayQueueFile on 100,000 requests against floors measured in
// the same run on the same bytes:
//   save floor: create a file and write those bytes with one WriteFile;
//   load floor: open the file, read it with one ReadFile, and ask GetFileAttributesW once per line
//               (the existence test every line needs).
// Each figure is the best of several rounds, so that one slow round of a shared machine does not
// decide it. Goal: both ratios at most 2.
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <vector>
#include "bench/BenchClock.h"
#include "common/Path.h"
#include "common/Scoped.h"
#include "common/String.h"
#include "notify/DelayQueueFile.h"

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

bool WriteFloor(const CString& path, const std::vector<BYTE>& bytes)
{
    CScopedHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file.IsValid() && WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
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

void RemoveFolder(const CString& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(folder + L"*", &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW(folder + found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder);
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
    std::vector<double> save, saveFloor, load, loadFloor, rotation;
    std::vector<BYTE> bytes;
    std::vector<BYTE> buffer;
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

        start = NowMs();
        WriteFloor(floorFile, bytes);
        saveFloor.push_back(NowMs() - start);

        // Not part of the floor, printed to show what the save's rotation costs by itself: the
        // old backup of the same size deleted, two renames.
        const CString rotA = root + L"rot.bak";
        const CString rotB = root + L"rot.dat";
        const CString rotC = root + L"rot.new";
        WriteFloor(rotA, bytes);
        WriteFloor(rotB, bytes);
        WriteFloor(rotC, bytes);
        start = NowMs();
        DeleteFileW(rotA);
        MoveFileW(rotB, rotA);
        MoveFileW(rotC, rotB);
        rotation.push_back(NowMs() - start);
        DeleteFileW(rotA);
        DeleteFileW(rotB);

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
    std::printf("save  %8.2f ms   floor (one WriteFile)                    %8.2f ms   ratio %.2f\n", bestSave,
                bestSaveFloor, bestSave / bestSaveFloor);
    std::printf("      of which the rotation alone (delete .bak, two renames) takes about %.2f ms\n",
                *std::min_element(rotation.begin(), rotation.end()));
    std::printf("load  %8.2f ms   floor (one ReadFile + attributes per line) %6.2f ms   ratio %.2f\n", bestLoad,
                bestLoadFloor, bestLoad / bestLoadFloor);

    bool ok = saveResult == S_OK && loadResult == S_OK && loaded == static_cast<size_t>(kRecords) &&
              floorLines == static_cast<size_t>(kRecords);
    if (!ok)
        std::printf("unexpected: save 0x%08lX, load 0x%08lX, %zu loaded, %zu floor lines\n",
                    static_cast<unsigned long>(saveResult), static_cast<unsigned long>(loadResult), loaded, floorLines);

    for (const CString& file : files)
        DeleteFileW(file);
    RemoveDirectoryW(media);
    RemoveFolder(queue);
    DeleteFileW(floorFile);
    RemoveDirectoryW(root);
    return ok ? 0 : 1;
}
