#include <gtest/gtest.h>
#include <windows.h>
#include "tests/support/TempFolder.h"
#include "tests/support/TestSync.h"
#include "tools/lumhost/SlowWriter.h"

namespace
{
// What a reader sees who opens the file as the plug-in's open test does: read access, sharing
// reading only.
DWORD OpenForReading(const std::wstring& path)
{
    CScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.IsValid() ? ERROR_SUCCESS : GetLastError();
}

// What a writer reported: Opened, then Closed or Failed.
struct WriterRecord
{
    CTestEvent opened;
    CTestEvent closed;
    ULONGLONG bytes = 0;
    DWORD error = 0;
    bool failed = false;

    CSlowWriter::Listener Listener()
    {
        return [this](CSlowWriter::Event event, const std::wstring&, ULONGLONG written, DWORD code) {
            if (event == CSlowWriter::Event::Opened)
                return opened.Set();
            failed = event == CSlowWriter::Event::Failed;
            bytes = written;
            error = code;
            closed.Set();
        };
    }
};

TEST(SlowWriter, ReadersGetASharingViolationUntilTheWriterCloses)
{
    CTempFolder folder;
    const std::wstring path = folder / L"récording.mp4";
    WriterRecord record;
    CSlowWriter writer(record.Listener());
    ASSERT_EQ(S_OK, writer.Start(path, 0, 1500));
    ASSERT_TRUE(record.opened.Wait());
    EXPECT_FALSE(writer.IsFinished());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), OpenForReading(path));

    ASSERT_TRUE(record.closed.Wait());
    EXPECT_FALSE(record.failed);
    EXPECT_GE(record.bytes, static_cast<ULONGLONG>(2 * CSlowWriter::kChunkBytes));  // one chunk a second
    EXPECT_TRUE(writer.IsFinished());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), OpenForReading(path));
}

TEST(SlowWriter, StopClosesAtOnceAndAFailureIsReported)
{
    CTempFolder folder;
    WriterRecord record;
    CSlowWriter writer(record.Listener());
    ASSERT_EQ(S_OK, writer.Start(folder / L"long.mp4", 0, 3600 * 1000));
    ASSERT_TRUE(record.opened.Wait());
    const DWORD start = GetTickCount();
    writer.Stop();
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(record.closed.Wait(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), OpenForReading(folder / L"long.mp4"));

    WriterRecord failing;
    CSlowWriter nowhere(failing.Listener());
    ASSERT_EQ(S_OK, nowhere.Start(folder / L"missing folder\\x.mp4", 0, 1000));
    ASSERT_TRUE(failing.closed.Wait());
    EXPECT_TRUE(failing.failed);
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), failing.error);
}
}  // namespace
