#include <gtest/gtest.h>
#include <windows.h>
#include <climits>
#include <string>
#include <tuple>
#include <vector>
#include "common/Path.h"
#include "common/Scoped.h"
#include "common/String.h"
#include "notify/DelayQueueFile.h"
#include "tests/support/TempFolder.h"

namespace
{
using Bytes = std::vector<BYTE>;
using Loaded = std::tuple<std::wstring, LONG, std::wstring>;  // id, class, path

// The little-endian bytes of the text, after the byte order mark when asked for.
Bytes Utf16(const std::wstring& text, bool withMark = true)
{
    const std::wstring marked = withMark ? L"\xFEFF" + text : text;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(marked.data());
    return Bytes(bytes, bytes + marked.size() * sizeof(wchar_t));
}

void WriteBytes(const CString& path, const Bytes& bytes)
{
    CScopedHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

Bytes ReadBytes(const CString& path)
{
    CScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    Bytes bytes(file.IsValid() ? GetFileSize(file.Get(), nullptr) : 0);
    DWORD read = 0;
    ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}

std::wstring W(const CString& text)
{
    return text.GetString();
}

class DelayQueueFile : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CreateDirectoryTree(folder));
        ASSERT_TRUE(CreateDirectoryTree(media));
    }

    // A real media file under the test folder.
    CString MakeMediaFile(const wchar_t* name)
    {
        WriteBytes(media + name, {1, 2, 3});
        return media + name;
    }

    HRESULT Load(std::vector<Loaded>& items, const CString& from = CString(), HRESULT answer = S_OK)
    {
        const CString& where = from.IsEmpty() ? folder : from;
        return LoadDelayQueueFile(where, [&](const CString& id, LONG itemClass, const CString& path) {
            items.emplace_back(id.GetString(), itemClass, path.GetString());
            return items.size() == 2 ? answer : S_OK;
        });
    }

    std::vector<Loaded> LoadText(const std::wstring& text, bool withMark = true)
    {
        WriteBytes(dat, Utf16(text, withMark));
        std::vector<Loaded> items;
        EXPECT_EQ(S_OK, Load(items));
        return items;
    }

    CTempFolder m_temp{L"lumdq"};
    const CString root = m_temp.Path().c_str();
    const CString folder = root + L"\\queue\\";
    const CString media = root + L"\\media\\";
    const CString dat = folder + L"DbWexDelayQueue.dat";
    const CString bak = dat + L".bak";
    const CString newFile = dat + L".new";
};
}  // namespace

TEST_F(DelayQueueFile, SavesOneTabSeparatedLinePerRecordAndLoadsThoseWithAFile)
{
    const CString clip = MakeMediaFile(L"a.mp4");
    const CString picture = MakeMediaFile(L"b.jpg");
    // B2 is a request whose file is not known yet.
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{clip, L"A1", 200}, {L"", L"B2", 100}, {picture, L"C3", -7},
                                                {clip, L"D4", 1}}));
    EXPECT_EQ(Utf16(L"A1\t200\t" + W(clip) + L"\r\nB2\t100\t\r\nC3\t-7\t" + W(picture) + L"\r\nD4\t1\t" +
                    W(clip) + L"\r\n"),
              ReadBytes(dat));
    EXPECT_FALSE(FileExists(newFile));
    EXPECT_FALSE(FileExists(bak));

    std::vector<Loaded> items;
    EXPECT_EQ(S_OK, Load(items));
    EXPECT_EQ((std::vector<Loaded>{{L"A1", 200, W(clip)}, {L"C3", -7, W(picture)}, {L"D4", 1, W(clip)}}), items);
    // A failure the handler answers ends the walk after that line.
    items.clear();
    EXPECT_EQ(E_ABORT, Load(items, folder, E_ABORT));
    EXPECT_EQ(2u, items.size());
    // Loading changes no file.
    EXPECT_TRUE(FileExists(dat));
    EXPECT_FALSE(FileExists(bak));
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
        // cppcheck-suppress invalidLifetime ; the record copies both texts into strings of its own
        records.push_back({path.c_str(), id.c_str(), classes[i % 7]});
        expected += id + L"\t" + std::to_wstring(classes[i % 7]) + L"\t" + path + L"\r\n";
    }
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, records));
    EXPECT_TRUE(Utf16(expected) == ReadBytes(dat));  // not EXPECT_EQ: no printing of megabytes
}

TEST_F(DelayQueueFile, SkipsLinesThatFailTheChecks)
{
    const std::wstring clip = W(MakeMediaFile(L"a.mp4"));
    // A file named like a number, reached relative to the current directory: an empty class field
    // must not borrow the number behind its TAB.
    MakeMediaFile(L"5.mp4");
    wchar_t previousDirectory[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previousDirectory);
    ASSERT_TRUE(SetCurrentDirectoryW(media));
    const std::tuple<std::wstring, LONG, std::wstring> cases[] = {  // line, class and path loaded (0: none)
        {L"A\t100\t" + clip, 100, clip},
        {L"A\t0x64\t" + clip, 100, clip},
        {L"A\t010\t" + clip, 8, clip},  // leading 0: octal
        {L"A\t-3\t" + clip, -3, clip},
        {L"A\t100\t" + clip + L"\tmore", 100, clip},  // fields after the third are ignored
        {L"\t100\t" + clip, 0, L""},                 // empty id
        {L"A\tabc\t" + clip, 0, L""},
        {L"A\t5\t5.mp4", 5, L"5.mp4"},
        {L"A\t\t5.mp4", 0, L""},
        {L"A\t \t5.mp4", 0, L""},
        {L"A\t100\t" + W(media) + L"missing.mp4", 0, L""},
        {L"A\t100\t" + W(media), 0, L""},  // a folder
        {L"A\t100", 0, L""},
        {L"A\t100\t" + clip + std::wstring(1, L'\0') + L"x", 0, L""},  // a NUL: the checked path is not the path
        {std::wstring(L"A\0B\t100\t", 7) + clip, 0, L""},
    };
    for (const auto& [line, itemClass, path] : cases)
    {
        const std::vector<Loaded> expected = {{L"A", itemClass, path}};
        EXPECT_EQ(itemClass ? expected : std::vector<Loaded>{}, LoadText(line + L"\r\n")) << testing::PrintToString(line);
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
    const std::pair<std::wstring, std::vector<Loaded>> cases[] = {
        {l1 + L"\r\n" + l2, both},  // the last line without CR LF
        {l1 + L"\r\n\r\n\r\r\n\n\n\r" + l2 + L"\r\n\r\n", both},
        // A lone CR does not end a line: the first path runs into the second line.
        {l1 + L"\r" + l2 + L"\r\n", {}},
        // A lone LF ending the first line leaves "\n" in its path; the next line still loads.
        {l1 + L"\n\r\n" + l2, {{L"B", 200, f2}}},
        // A text that begins with CR LF is one single line.
        {L"\r\n" + l1 + L"\r\n" + l2 + L"\r\n", {}},
        {L"\r\n\r\n", {}},
        {L"", {}},
    };
    for (const auto& [text, expected] : cases)
    {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(expected, LoadText(text, true));
        EXPECT_EQ(expected, LoadText(text, false));
    }
}

// The queue's folder stays below the folder limit, the names of its files do not; the request's
// file has a path of 300 characters. All of them are reached through the long form.
TEST_F(DelayQueueFile, PathsOf260CharactersAndMoreWork)
{
    CString deep = root + L"\\";
    while (deep.GetLength() < 245 - 31 - 10)
        deep += L"0123456789012345678901234567890\\";
    deep += CString(std::wstring(static_cast<size_t>(244 - deep.GetLength()), L'q').c_str());
    deep += L"\\";
    ASSERT_EQ(245, deep.GetLength());
    ASSERT_TRUE(CreateDirectoryTree(deep));
    const CString clip = deep + CString(std::wstring(static_cast<size_t>(300 - 245 - 4), L'f').c_str()) + L".mp4";
    ASSERT_TRUE(WriteTestFile(W(clip), 1));

    EXPECT_EQ(S_OK, SaveDelayQueueFile(deep, {{clip, L"A", 100}}));
    EXPECT_EQ(S_OK, SaveDelayQueueFile(deep, {{clip, L"B", 200}}));
    std::vector<Loaded> items;
    EXPECT_EQ(S_OK, Load(items, deep));
    EXPECT_EQ((std::vector<Loaded>{{L"B", 200, W(clip)}}), items);  // handed on as written
    const CString longDat = MakeLongPath(deep + L"DbWexDelayQueue.dat", true, false);
    EXPECT_TRUE(FileExists(longDat + L".bak"));
    EXPECT_EQ(S_OK, BackUpDelayQueueFile(deep));
    EXPECT_FALSE(FileExists(longDat));
}

TEST_F(DelayQueueFile, FolderAndFileProblemsComeBackBeforeAnyFileIsTouched)
{
    // A missing file loads nothing; its folder is created.
    const CString fresh = root + L"\\not\\yet\\there\\";
    std::vector<Loaded> items;
    EXPECT_EQ(S_FALSE, Load(items, fresh));
    EXPECT_TRUE(items.empty());
    EXPECT_TRUE(DirectoryExists(fresh));

    const std::vector<CDelayQueueRecord> one = {{L"C:\\x.mp4", L"A", 100}};
    EXPECT_EQ(E_ACCESSDENIED, SaveDelayQueueFile(CString(), one));
    EXPECT_EQ(E_ACCESSDENIED, LoadDelayQueueFile(CString(), [](const CString&, LONG, const CString&) { return S_OK; }));
    EXPECT_EQ(E_ACCESSDENIED, BackUpDelayQueueFile(CString()));

    // A file stands where the folder should be.
    const CString blocked = root + L"\\blocked";
    WriteBytes(blocked, {0});
    const CString below = blocked + L"\\queue\\";
    for (HRESULT hr : {SaveDelayQueueFile(below, one), Load(items, below), BackUpDelayQueueFile(below)})
    {
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(hr)) << std::hex << hr;
    }
    EXPECT_EQ(Bytes{0}, ReadBytes(blocked));

    // The file held open by another.
    WriteBytes(dat, Utf16(L"A\t100\tC:\\x\r\n"));
    CScopedHandle holder(CreateFileW(dat, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.IsValid());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), Load(items));
}

TEST_F(DelayQueueFile, SavesRotateThroughTheBackUpAndNoRecordsLeaveOnlyTheBackUp)
{
    EXPECT_EQ(S_FALSE, SaveDelayQueueFile(folder, {}));
    EXPECT_EQ(S_FALSE, BackUpDelayQueueFile(folder));
    EXPECT_FALSE(FileExists(dat));
    EXPECT_FALSE(FileExists(bak));

    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\1.mp4", L"A", 100}}));
    const Bytes first = ReadBytes(dat);
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\2.mp4", L"B", 200}}));
    const Bytes current = Utf16(L"B\t200\tC:\\2.mp4\r\n");
    EXPECT_EQ(current, ReadBytes(dat));
    EXPECT_EQ(first, ReadBytes(bak));
    EXPECT_FALSE(FileExists(newFile));

    WriteBytes(newFile, {9});  // left behind by an earlier failed save
    EXPECT_EQ(S_FALSE, SaveDelayQueueFile(folder, {}));
    EXPECT_FALSE(FileExists(dat));
    EXPECT_FALSE(FileExists(newFile));
    EXPECT_EQ(current, ReadBytes(bak));

    // A back-up moves the file over an older back-up; a folder in the file's place is not moved.
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\1.mp4", L"A", 100}}));
    WriteBytes(bak, {7});
    EXPECT_EQ(S_OK, BackUpDelayQueueFile(folder));
    EXPECT_FALSE(FileExists(dat));
    EXPECT_EQ(first, ReadBytes(bak));
    ASSERT_TRUE(CreateDirectoryW(dat, nullptr));
    EXPECT_EQ(S_FALSE, BackUpDelayQueueFile(folder));
    EXPECT_TRUE(DirectoryExists(dat));
    std::vector<Loaded> items;
    EXPECT_TRUE(FAILED(Load(items)));
}

TEST_F(DelayQueueFile, FailedSaveKeepsEveryCompleteFile)
{
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\1.mp4", L"A", 100}}));
    ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\2.mp4", L"B", 200}}));
    const Bytes older = ReadBytes(bak);
    const Bytes current = ReadBytes(dat);
    const Bytes third = Utf16(L"C\t300\tC:\\3.mp4\r\n");
    {
        // .new held open without sharing: the write fails.
        CScopedHandle holder(CreateFileW(newFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(holder.IsValid());
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), SaveDelayQueueFile(folder, {{L"C:\\3.mp4", L"C", 300}}));
        EXPECT_EQ(current, ReadBytes(dat));
        EXPECT_EQ(older, ReadBytes(bak));
    }
    {
        // .bak can be neither deleted nor replaced, so .dat cannot move and .new cannot take its name.
        CScopedHandle holder(CreateFileW(bak, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder.IsValid());
        const HRESULT hr = SaveDelayQueueFile(folder, {{L"C:\\3.mp4", L"C", 300}});
        EXPECT_TRUE(FAILED(hr));
        EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(hr));
        EXPECT_EQ(current, ReadBytes(dat));
        EXPECT_EQ(older, ReadBytes(bak));
        EXPECT_EQ(third, ReadBytes(newFile));
    }
    // Once the obstacles are gone the next save rotates as usual.
    EXPECT_EQ(S_OK, SaveDelayQueueFile(folder, {{L"C:\\3.mp4", L"C", 300}}));
    EXPECT_EQ(third, ReadBytes(dat));
    EXPECT_EQ(current, ReadBytes(bak));
    EXPECT_FALSE(FileExists(newFile));
}

TEST_F(DelayQueueFile, MalformedFilesGiveBackTheValidLinesOnly)
{
    const std::wstring f1 = W(MakeMediaFile(L"1.mp4"));
    const std::wstring f2 = W(MakeMediaFile(L"2.mp4"));
    const std::wstring f3 = W(MakeMediaFile(L"3.mp4"));
    // Code units from all over the range, with NUL, TAB, lone CR and LF, lone surrogates and marks.
    std::wstring garbage(L"\0\t\xD800\r\xDFFF\n\xFEFF" L"0\t\t\n\r\0", 13);
    for (unsigned ch = 0; ch < 0x10000; ch += 97)
        garbage += static_cast<wchar_t>(ch) + garbage.substr(0, ch % 13);
    std::wstring text = garbage + L"\r\nV1\t100\t" + f1 + L"\r\n";
    text += std::wstring(1 << 20, L'x') + L"\t1\t" + std::wstring(1 << 16, L'y') + L"\r\n";  // huge lines
    text += garbage + L"\r\nF\t100\t" + W(media) + L"\r\n";                               // a folder
    text += L"V2\t200\t" + f2 + L"\r\n" + garbage + L"\r\nV3\t300\t" + f3;               // no CR LF at the end
    for (bool withMark : {true, false})
    {
        Bytes bytes = Utf16(text, withMark);
        bytes.push_back(0x41);  // cut in the middle of a code unit
        WriteBytes(dat, bytes);
        std::vector<Loaded> items;
        EXPECT_EQ(S_OK, Load(items));
        EXPECT_EQ((std::vector<Loaded>{{L"V1", 100, f1}, {L"V2", 200, f2}, {L"V3", 300, f3}}), items);
    }
}

TEST_F(DelayQueueFile, ProductFolderIsUnderTheAllUsersApplicationData)
{
    const CString productFolder = GetDelayQueueFolder();
    const CString tail = L"\\Tessaly Corporation\\LUM Siftwell\\";
    ASSERT_GT(productFolder.GetLength(), tail.GetLength());
    EXPECT_EQ(0, productFolder.Right(tail.GetLength()).CompareNoCase(tail));
}

namespace
{
// What the save's flush saw, and what it answers.
struct CFlushSeen
{
    CString dat;
    BOOL answer = TRUE;
    int calls = 0;
    Bytes datAtFlush;
    LONGLONG writtenAtFlush = -1;
} g_flush;

BOOL WINAPI RecordingFlush(HANDLE file)
{
    ++g_flush.calls;
    g_flush.datAtFlush = ReadBytes(g_flush.dat);
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file, &size))
        g_flush.writtenAtFlush = size.QuadPart;
    SetLastError(ERROR_DISK_FULL);
    return g_flush.answer;
}
}  // namespace

// The new file is flushed whole before it replaces the current one, so that a power cut cannot
// leave a renamed but empty file; a flush that fails keeps the current one.
TEST_F(DelayQueueFile, FlushesTheNewFileBeforeItReplacesTheCurrentOne)
{
    const CString clip = MakeMediaFile(L"a.mp4");
    for (const BOOL flushed : {TRUE, FALSE})
    {
        SCOPED_TRACE(flushed ? "flushed" : "flush failed");
        ASSERT_EQ(S_OK, SaveDelayQueueFile(folder, {{clip, L"OLD", 100}}));
        const Bytes before = ReadBytes(dat);
        g_flush = CFlushSeen();
        g_flush.dat = dat;
        g_flush.answer = flushed;
        const Bytes written = Utf16(L"NEW\t200\t" + W(clip) + L"\r\n");
        EXPECT_EQ(flushed ? S_OK : HRESULT_FROM_WIN32(ERROR_DISK_FULL),
                  SaveDelayQueueFile(folder, {{clip, L"NEW", 200}}, &RecordingFlush));
        EXPECT_EQ(1, g_flush.calls);
        EXPECT_EQ(before, g_flush.datAtFlush) << "replaced before the flush";
        EXPECT_EQ(static_cast<LONGLONG>(written.size()), g_flush.writtenAtFlush) << "flushed before the whole text";
        EXPECT_EQ(flushed ? written : before, ReadBytes(dat));
    }
}
