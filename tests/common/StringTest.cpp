#include <gtest/gtest.h>
#include "common/CallbackType.h"
#include "common/String.h"
#include "tests/support/TestSync.h"

TEST(String, CopiesShareUntilWritten)
{
    CString a(L"media");
    CString b(a);
    EXPECT_EQ(a.GetString(), b.GetString());
    b += L"-file";
    EXPECT_STREQ(L"media", a);
    EXPECT_STREQ(L"media-file", b);
}

TEST(String, AppendsItsOwnText)
{
    CString a(L"ab");
    a.Append(a.GetString(), a.GetLength());
    a += a;
    EXPECT_STREQ(L"abababab", a);
}

TEST(String, FormatGrowsPastTheFirstBuffer)
{
    CString longText;
    for (int i = 0; i < 100; ++i)
        longText += L"0123456789";
    CString formatted;
    formatted.Format(L"%s-%08x", longText.GetString(), 0x1234u);
    EXPECT_EQ(1009, formatted.GetLength());
    EXPECT_EQ(1000, formatted.Find(L"-00001234"));
}

TEST(String, SlicesClampToTheText)
{
    CString s(L"C:\\Media\\clip.mp4");
    EXPECT_STREQ(L"C:\\", s.Left(3));
    EXPECT_STREQ(L"mp4", s.Right(3));
    EXPECT_STREQ(L"clip.mp4", s.Mid(s.ReverseFind(L'\\') + 1));
    EXPECT_STREQ(L"", s.Mid(100));
    EXPECT_STREQ(s, s.Left(1000));
    EXPECT_EQ(-1, s.Find(L'x'));
    EXPECT_EQ(0, CString(L"ABC").CompareNoCase(L"abc"));
}

namespace
{
DWORD g_raisedCode = 0;

// Records the exception and ends the thread that raised it.
LONG WINAPI RecordAndLeaveThread(EXCEPTION_POINTERS* info)
{
    if (info->ExceptionRecord->ExceptionCode != 0xC000008C)
        return EXCEPTION_CONTINUE_SEARCH;
    g_raisedCode = info->ExceptionRecord->ExceptionCode;
    ExitThread(0);
}

DWORD WINAPI IndexPastTheEnd(void*)
{
    CString text(L"x");
    (void)text[5];
    return 1;
}
}  // namespace

// On a thread of its own without COM, which the handler ends.
TEST(String, IndexOutOfRangeRaisesTheArrayBoundsException)
{
    LUM_ASSERT_CALLBACK_TYPE(RecordAndLeaveThread, PVECTORED_EXCEPTION_HANDLER);
    void* handler = AddVectoredExceptionHandler(1, RecordAndLeaveThread);
    LUM_ASSERT_CALLBACK_TYPE(IndexPastTheEnd, LPTHREAD_START_ROUTINE);
    CScopedHandle thread(CreateThread(nullptr, 0, IndexPastTheEnd, nullptr, 0, nullptr));
    ASSERT_TRUE(thread.IsValid());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), kTestWaitMs));
    DWORD exitCode = 1;
    GetExitCodeThread(thread.Get(), &exitCode);
    RemoveVectoredExceptionHandler(handler);
    EXPECT_EQ(0xC000008Cu, g_raisedCode);
    EXPECT_EQ(0u, exitCode);  // left by the handler, not returned
}
