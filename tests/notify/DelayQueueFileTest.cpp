#include <gtest/gtest.h>
#include <windows.h>
#include <climits>
#include <cstdint>
#include <cwchar>
#include <ostream>
#include <string>
#include <vector>
#include "common/Path.h"
#include "common/Scoped.h"
#include "common/String.h"
#include "notify/DelayQueueFile.h"

namespace
{
using Bytes = std::vector<BYTE>;

struct Loaded
{
    std::wstring itemId;
    LONG itemClass;
    std::wstring path;
    bool operator==(const Loaded& other) const
    {
        return itemId == other.itemId && itemClass == other.itemClass && path == other.path;
    }
};

void PrintTo(const Loaded& item, std::ostream* out)
{
    *out << '{' << testing::PrintToString(item.itemId) << ", " << item.itemClass << ", "
         << testing::PrintToString(item.path) << '}';
}

Bytes Utf16(const std::wstring& text, bool withMark = true)
{
    Bytes bytes;
    if (withMark)
        bytes = {0xFF, 0xFE};
    for (wchar_t ch : text)
    {
        bytes.push_back(static_cast<BYTE>(ch & 0xFF));
        bytes.push_back(static_cast<BYTE>((ch >> 8) & 0xFF));
    }
    return bytes;
}

void WriteBytes(const CString& path, const Bytes& bytes)
{
    CScopedHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.IsValid()) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

Bytes ReadBytes(const CString& path)
{
    CScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid())
        return {};
    Bytes bytes(GetFileSize(file.Get(), nullptr));
    DWORD read = 0;
    ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}

bool Exists(const CString& path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

void RemoveTree(const CString& folder)
{
    const CString root = MakeLongPath(folder, true, true);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(root + L"\\*", &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            const CString name(found.cFileName);
            if (name == L"." || name == L"..")
                continue;
            const CString child = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
            {
                const CString longChild = MakeLongPath(child, true, false);
                SetFileAttributesW(longChild, FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(longChild);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(root);
}

class DelayQueueFile : public testing::Test
{
protected:
    void SetUp() override
    {
        static LONG counter = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_root.Format(L"%slumdq-%lu-%ld", temp, GetCurrentProcessId(), InterlockedIncrement(&counter));
        folder = m_root + L"\\queue\\";
        ASSERT_TRUE(CreateDirectoryTree(folder));
        media = m_root + L"\\media\\";
        ASSERT_TRUE(CreateDirectoryTree(media));
        dat = folder + L"DbWexDelayQueue.dat";
        bak = dat + L".bak";
        newFile = dat + L".new";
    }
    void TearDown() override { RemoveTree(m_root); }

    // A real media file under the test folder.
    CString MakeMediaFile(const wchar_t* name)
    {
        const CString path = media + name;
        WriteBytes(path, {1, 2, 3});
        return path;
    }

    HRESULT Load(std::vector<Loaded>& items, HRESULT answer = S_OK)
    {
        return LoadDelayQueueFile(folder, [&](const CString& id, LONG itemClass, const CString& path) {
            items.push_back({id.GetString(), itemClass, path.GetString()});
            return answer;
        });
    }

    std::vector<Loaded> LoadText(const std::wstring& text, bool withMark = true)
    {
        WriteBytes(dat, Utf16(text, withMark));
        std::vector<Loaded> items;
        EXPECT_EQ(S_OK, Load(items));
        return items;
    }

    CString m_root;
    CString folder;
    CString media;
    CString dat;
    CString bak;
    CString newFile;
};

std::wstring W(const CString& text)
{
    return text.GetString();
}
}  // namespace

TEST_F(DelayQueueFile, WritesOneTabSeparatedLinePerRecordAfterTheMark)
{
    const std::vector<CDelayQueueRecord> records = {
        {L"C:\\v\\a.mp4", L"A1", 200},
        {L"", L"B2", 100},  // a request whose file is not known yet
    };
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, records));
    EXPECT_EQ(Utf16(L"A1\t200\tC:\\v\\a.mp4\r\nB2\t100\t\r\n"), ReadBytes(dat));
    EXPECT_FALSE(Exists(newFile));
    EXPECT_FALSE(Exists(bak));
}

TEST_F(DelayQueueFile, WritesLargeQueuesAndLongFieldsWhole)
{
    std::vector<CDelayQueueRecord> records;
    std::wstring expected;
    const LONG classes[] = {100, 200, 300, -1, 0, LONG_MIN, LONG_MAX};
    for (int i = 0; i < 5000; ++i)
    {
        // Every 1000th record carries fields longer than any write buffer would be.
        const std::wstring id = (i % 1000 == 7) ? std::wstring(40000, L'i') : L"id" + std::to_wstring(i);
        const std::wstring path = (i % 1000 == 8) ? std::wstring(70000, L'p') : L"C:\\m\\" + std::to_wstring(i) + L".mp4";
        const LONG itemClass = classes[i % 7];
        records.push_back({path.c_str(), id.c_str(), itemClass});
        wchar_t number[16];
        swprintf(number, 16, L"%d", static_cast<int>(itemClass));
        expected += id + L"\t" + number + L"\t" + path + L"\r\n";
    }
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, records));
    const Bytes written = ReadBytes(dat);
    ASSERT_EQ(Utf16(expected).size(), written.size());
    EXPECT_TRUE(Utf16(expected) == written);
}

TEST_F(DelayQueueFile, LoadsWhatItSavedExceptRequestsWithoutAFile)
{
    const CString clip = MakeMediaFile(L"a.mp4");
    const CString picture = MakeMediaFile(L"b.jpg");
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{clip, L"A1", 200}, {L"", L"B2", 100}, {picture, L"C3", -7}}));

    std::vector<Loaded> items;
    EXPECT_EQ(S_OK, Load(items));
    const std::vector<Loaded> expected = {{L"A1", 200, W(clip)}, {L"C3", -7, W(picture)}};
    EXPECT_EQ(expected, items);
    // Loading changes no file.
    EXPECT_TRUE(Exists(dat));
    EXPECT_FALSE(Exists(bak));
}

TEST_F(DelayQueueFile, ReadsFilesWithAndWithoutTheMark)
{
    const CString clip = MakeMediaFile(L"a.mp4");
    const std::wstring text = L"A1\t300\t" + W(clip) + L"\r\n";
    const std::vector<Loaded> expected = {{L"A1", 300, W(clip)}};
    EXPECT_EQ(expected, LoadText(text, true));
    EXPECT_EQ(expected, LoadText(text, false));
}

TEST_F(DelayQueueFile, SkipsLinesThatFailTheChecks)
{
    const std::wstring clip = W(MakeMediaFile(L"a.mp4"));
    const std::wstring missing = W(media) + L"missing.mp4";
    const std::wstring folderPath = W(media);
    // A file named like a number, reached relative to the current directory: an empty class field
    // must not borrow the number behind its TAB.
    MakeMediaFile(L"5.mp4");
    wchar_t previousDirectory[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previousDirectory);
    ASSERT_TRUE(SetCurrentDirectoryW(media));
    struct Case
    {
        std::wstring line;
        bool loads;
        LONG itemClass;
        std::wstring path;
    };
    const Case cases[] = {
        {L"A\t100\t" + clip, true, 100, clip},
        {L"A\t0x64\t" + clip, true, 100, clip},
        {L"A\t010\t" + clip, true, 8, clip},  // leading 0: octal
        {L"A\t 200\t" + clip, true, 200, clip},
        {L"A\t-3\t" + clip, true, -3, clip},
        {L"A\t100\t" + clip + L"\tmore", true, 100, clip},  // fields after the third are ignored
        {L"\t100\t" + clip, false, 0, L""},                 // empty id
        {L"A\t0\t" + clip, false, 0, L""},
        {L"A\tabc\t" + clip, false, 0, L""},
        {L"A\t5\t5.mp4", true, 5, L"5.mp4"},
        {L"A\t\t5.mp4", false, 0, L""},
        {L"A\t \t5.mp4", false, 0, L""},
        {L"A\t100\t" + missing, false, 0, L""},
        {L"A\t100\t" + folderPath, false, 0, L""},
        {L"A\t100\t", false, 0, L""},
        {L"A\t100", false, 0, L""},
        {L"A", false, 0, L""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.line);
        const std::vector<Loaded> items = LoadText(c.line + L"\r\n");
        if (c.loads)
        {
            ASSERT_EQ(1u, items.size());
            EXPECT_EQ((Loaded{L"A", c.itemClass, c.path}), items[0]);
        }
        else
        {
            EXPECT_TRUE(items.empty());
        }
    }
    SetCurrentDirectoryW(previousDirectory);
}

TEST_F(DelayQueueFile, SplitsLinesOnlyAtCrLf)
{
    const std::wstring f1 = W(MakeMediaFile(L"1.mp4"));
    const std::wstring f2 = W(MakeMediaFile(L"2.mp4"));
    const std::wstring l1 = L"A\t100\t" + f1;
    const std::wstring l2 = L"B\t200\t" + f2;
    const std::vector<Loaded> both = {{L"A", 100, f1}, {L"B", 200, f2}};
    const std::vector<Loaded> none;
    const std::vector<Loaded> onlyB = {{L"B", 200, f2}};
    struct Case
    {
        const char* name;
        std::wstring text;
        std::vector<Loaded> expected;
    };
    const Case cases[] = {
        {"last line without CR LF", l1 + L"\r\n" + l2, both},
        {"blank lines and lone CR and LF between lines", l1 + L"\r\n\r\n\r\r\n\n\n\r" + l2 + L"\r\n\r\n", both},
        // A lone CR does not end a line: the first path runs into the second line.
        {"lone CR inside a line", l1 + L"\r" + l2 + L"\r\n", none},
        // A lone LF ending the first line leaves "\n" in its path; the next line still loads.
        {"lone LF ending a line", l1 + L"\n\r\n" + l2, onlyB},
        // A text that begins with CR LF is one single line.
        {"text beginning with CR LF", L"\r\n" + l1 + L"\r\n" + l2 + L"\r\n", none},
        {"only line breaks", L"\r\n\r\n", none},
        {"empty text", L"", none},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, LoadText(c.text, true));
        EXPECT_EQ(c.expected, LoadText(c.text, false));
    }
}

TEST_F(DelayQueueFile, OpensPathsOf260CharactersAndMoreThroughTheLongForm)
{
    // media + folders of 60 characters until the file's path is exactly 300 characters long.
    CString path = media;
    while (path.GetLength() < 300 - 70)
    {
        path += CString(std::wstring(60, L'd').c_str());
        ASSERT_TRUE(CreateDirectoryW(MakeLongPath(path, true, true), nullptr)) << GetLastError();
        path += L"\\";
    }
    const int nameLength = 300 - path.GetLength();
    path += CString(std::wstring(static_cast<size_t>(nameLength - 4), L'f').c_str());
    path += L".mp4";
    ASSERT_EQ(300, path.GetLength());
    WriteBytes(MakeLongPath(path, true, false), {1});

    const std::wstring line = L"A\t300\t" + W(path) + L"\r\n";
    const std::vector<Loaded> expected = {{L"A", 300, W(path)}};  // handed on as written
    EXPECT_EQ(expected, LoadText(line));
    EXPECT_TRUE(LoadText(L"A\t300\t" + W(path) + L"x\r\n").empty());
}

TEST_F(DelayQueueFile, FolderWithFileNamesPast260Characters)
{
    // The folder stays below the folder limit; the names of its files do not.
    CString deep = m_root + L"\\";
    while (deep.GetLength() < 245 - 31 - 10)
        deep += L"0123456789012345678901234567890\\";
    deep += CString(std::wstring(static_cast<size_t>(244 - deep.GetLength()), L'q').c_str());
    deep += L"\\";
    ASSERT_EQ(245, deep.GetLength());
    const CString clip = MakeMediaFile(L"a.mp4");

    EXPECT_EQ(S_OK, SaveDelayQueueFile(deep, {{clip, L"A", 100}}));
    EXPECT_EQ(S_OK, SaveDelayQueueFile(deep, {{clip, L"B", 200}}));
    std::vector<Loaded> items;
    EXPECT_EQ(S_OK, LoadDelayQueueFile(deep, [&](const CString& id, LONG itemClass, const CString& path) {
        items.push_back({id.GetString(), itemClass, path.GetString()});
        return S_OK;
    }));
    EXPECT_EQ((std::vector<Loaded>{{L"B", 200, W(clip)}}), items);
    const CString longDat = MakeLongPath(deep + L"DbWexDelayQueue.dat", true, false);
    EXPECT_TRUE(Exists(longDat + L".bak"));
    EXPECT_EQ(S_OK, BackUpDelayQueueFile(deep));
    EXPECT_FALSE(Exists(longDat));
}

TEST_F(DelayQueueFile, MissingFileLoadsNothingAndCreatesTheFolder)
{
    const CString fresh = m_root + L"\\not\\yet\\there\\";
    bool called = false;
    EXPECT_EQ(S_FALSE, LoadDelayQueueFile(fresh, [&](const CString&, LONG, const CString&) {
        called = true;
        return S_OK;
    }));
    EXPECT_FALSE(called);
    EXPECT_TRUE(DirectoryExists(fresh));
}

TEST_F(DelayQueueFile, FolderProblemsComeBackBeforeAnyFileIsTouched)
{
    auto ignore = [](const CString&, LONG, const CString&) { return S_OK; };
    const std::vector<CDelayQueueRecord> one = {{L"C:\\x.mp4", L"A", 100}};

    EXPECT_EQ(E_ACCESSDENIED, SaveDelayQueueFile(CString(), one));
    EXPECT_EQ(E_ACCESSDENIED, LoadDelayQueueFile(CString(), ignore));
    EXPECT_EQ(E_ACCESSDENIED, BackUpDelayQueueFile(CString()));

    // A file stands where the folder should be.
    const CString blocked = m_root + L"\\blocked";
    WriteBytes(blocked, {0});
    const CString below = blocked + L"\\queue\\";
    for (HRESULT hr : {SaveDelayQueueFile(below, one), LoadDelayQueueFile(below, ignore), BackUpDelayQueueFile(below)})
    {
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(hr)) << std::hex << hr;
    }
    EXPECT_EQ(Bytes{0}, ReadBytes(blocked));
}

TEST_F(DelayQueueFile, FileHeldOpenByAnotherFailsTheLoad)
{
    WriteBytes(dat, Utf16(L"A\t100\tC:\\x\r\n"));
    CScopedHandle holder(CreateFileW(dat, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.IsValid());
    std::vector<Loaded> items;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), Load(items));
}

TEST_F(DelayQueueFile, HandlerFailureEndsTheWalkAfterThatLine)
{
    const CString clip = MakeMediaFile(L"a.mp4");
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{clip, L"A", 100}, {clip, L"B", 100}, {clip, L"C", 100}}));
    std::vector<Loaded> items;
    EXPECT_EQ(E_ABORT, LoadDelayQueueFile(folder, [&](const CString& id, LONG itemClass, const CString& path) {
        items.push_back({id.GetString(), itemClass, path.GetString()});
        return items.size() == 2 ? E_ABORT : S_OK;
    }));
    EXPECT_EQ(2u, items.size());
}

TEST_F(DelayQueueFile, SaveKeepsThePreviousFileAsBackUp)
{
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\1.mp4", L"A", 100}}));
    const Bytes first = ReadBytes(dat);
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\2.mp4", L"B", 200}}));
    EXPECT_EQ(Utf16(L"B\t200\tC:\\2.mp4\r\n"), ReadBytes(dat));
    EXPECT_EQ(first, ReadBytes(bak));
    EXPECT_FALSE(Exists(newFile));
}

TEST_F(DelayQueueFile, SaveWithoutRecordsLeavesOnlyTheBackUp)
{
    EXPECT_EQ(S_FALSE, SaveDelayQueueFile(folder, {}));
    EXPECT_FALSE(Exists(dat));
    EXPECT_FALSE(Exists(bak));

    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\1.mp4", L"A", 100}}));
    const Bytes current = ReadBytes(dat);
    WriteBytes(newFile, {9});  // left behind by an earlier failed save
    EXPECT_EQ(S_FALSE, SaveDelayQueueFile(folder, {}));
    EXPECT_FALSE(Exists(dat));
    EXPECT_FALSE(Exists(newFile));
    EXPECT_EQ(current, ReadBytes(bak));
}

TEST_F(DelayQueueFile, FailedWriteLeavesTheCurrentFileIntact)
{
    struct Case
    {
        const char* name;
        bool holdOpen;  // else a folder in its place
        HRESULT expected;
    };
    const Case cases[] = {
        {".new held open without sharing", true, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)},
        {"a folder named .new", false, E_ACCESSDENIED},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\1.mp4", L"A", 100}}));
        DeleteFileW(bak);
        const Bytes current = ReadBytes(dat);

        CScopedHandle holder;
        if (c.holdOpen)
        {
            holder.Reset(CreateFileW(newFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            ASSERT_TRUE(holder.IsValid());
        }
        else
        {
            ASSERT_TRUE(CreateDirectoryW(newFile, nullptr));
        }
        EXPECT_EQ(c.expected, SaveDelayQueueFile(folder, {{L"C:\\2.mp4", L"B", 200}}));
        EXPECT_EQ(current, ReadBytes(dat));
        EXPECT_FALSE(Exists(bak));

        // Once the obstacle is gone the next save rotates as usual.
        holder.Close();
        RemoveDirectoryW(newFile);
        EXPECT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\3.mp4", L"C", 300}}));
        EXPECT_EQ(Utf16(L"C\t300\tC:\\3.mp4\r\n"), ReadBytes(dat));
        EXPECT_EQ(current, ReadBytes(bak));
        EXPECT_FALSE(Exists(newFile));
    }
}

TEST_F(DelayQueueFile, FailedRotationKeepsEveryCompleteFile)
{
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\1.mp4", L"A", 100}}));
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\2.mp4", L"B", 200}}));
    const Bytes older = ReadBytes(bak);
    const Bytes current = ReadBytes(dat);

    // .bak can be neither deleted nor replaced, so .dat cannot move and .new cannot take its name.
    CScopedHandle holder(CreateFileW(bak, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.IsValid());
    const HRESULT hr = SaveDelayQueueFile(folder, {{L"C:\\3.mp4", L"C", 300}});
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(hr));
    EXPECT_EQ(current, ReadBytes(dat));
    EXPECT_EQ(older, ReadBytes(bak));
    EXPECT_EQ(Utf16(L"C\t300\tC:\\3.mp4\r\n"), ReadBytes(newFile));
}

TEST_F(DelayQueueFile, BackUpMovesOnlyAFile)
{
    EXPECT_EQ(S_FALSE, BackUpDelayQueueFile(folder));

    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\1.mp4", L"A", 100}}));
    const Bytes current = ReadBytes(dat);
    WriteBytes(bak, {7});
    EXPECT_EQ(S_OK, BackUpDelayQueueFile(folder));
    EXPECT_FALSE(Exists(dat));
    EXPECT_EQ(current, ReadBytes(bak));

    // A folder in the file's place is not a queue file.
    ASSERT_TRUE(CreateDirectoryW(dat, nullptr));
    EXPECT_EQ(S_FALSE, BackUpDelayQueueFile(folder));
    EXPECT_TRUE(DirectoryExists(dat));
    std::vector<Loaded> items;
    EXPECT_TRUE(FAILED(Load(items)));
}

TEST_F(DelayQueueFile, MalformedFilesGiveBackTheValidLinesOnly)
{
    const std::wstring f1 = W(MakeMediaFile(L"1.mp4"));
    const std::wstring f2 = W(MakeMediaFile(L"2.mp4"));
    const std::wstring f3 = W(MakeMediaFile(L"3.mp4"));
    const std::vector<Loaded> expected = {{L"V1", 100, f1}, {L"V2", 200, f2}, {L"V3", 300, f3}};

    for (uint32_t seed : {1u, 0x9E3779B9u, 0xDEADBEEFu})
    {
        SCOPED_TRACE(seed);
        uint32_t state = seed;
        auto next = [&state] {
            state = state * 1664525u + 1013904223u;
            return state >> 8;
        };
        // Garbage of every kind of code unit, TAB, CR, LF and NUL made frequent.
        auto garbage = [&](size_t length) {
            const wchar_t special[] = {L'\t', L'\r', L'\n', L'\0', 0xD800, 0xDFFF, 0xFEFF, L'0'};
            std::wstring text;
            for (size_t i = 0; i < length; ++i)
                text += (next() % 4 == 0) ? special[next() % 8] : static_cast<wchar_t>(next() & 0xFFFF);
            return text;
        };
        std::wstring text = garbage(4096);
        text += L"\r\nV1\t100\t" + f1 + L"\r\n";
        text += std::wstring(1 << 20, L'x') + L"\t1\t" + std::wstring(1 << 16, L'y') + L"\r\n";  // huge lines
        text += garbage(4096) + L"\r\n";
        text += L"F\t100\t" + W(media) + L"\r\n";  // a folder
        text += L"V2\t200\t" + f2 + L"\r\n";
        text += garbage(20000);
        text += L"\r\nV3\t300\t" + f3;  // last line without CR LF
        Bytes bytes = Utf16(text, next() % 2 == 0);
        bytes.push_back(0x41);  // cut in the middle of a code unit
        WriteBytes(dat, bytes);

        std::vector<Loaded> items;
        EXPECT_EQ(S_OK, Load(items));
        EXPECT_EQ(expected, items);
    }
}

TEST_F(DelayQueueFile, ProductFolderIsUnderTheAllUsersApplicationData)
{
    const CString productFolder = GetDelayQueueFolder();
    const CString tail = L"\\Tessaly Corporation\\LUM Siftwell\\";
    ASSERT_GT(productFolder.GetLength(), tail.GetLength());
    EXPECT_EQ(0, productFolder.Right(tail.GetLength()).CompareNoCase(tail));
}
