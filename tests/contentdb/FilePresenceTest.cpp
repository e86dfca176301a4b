// Which failed access checks still prove a file is there. Wine gives neither an encrypted file nor
// another user's file, so those answers are checked through the rule; a folder, which no one may
// open as a file, gives a real access denial.
#include <gtest/gtest.h>
#include "common/HResult.h"
#include "contentdb/KdCdbMgr.h"
#include "standins/ScratchFolder.h"

TEST(FilePresenceTest, InUseAlwaysCountsAndUnreadableOnlyWhenAsked)
{
    struct Case
    {
        HRESULT check;
        bool inUse;
        bool unreadable;
    } cases[] = {
        {S_OK, true, true},
        {S_FALSE, true, true},
        {HResultFromWin32(ERROR_SHARING_VIOLATION), true, true},
        {HResultFromWin32(ERROR_LOCK_VIOLATION), true, true},
        {HResultFromWin32(ERROR_ACCESS_DENIED), false, true},
        {HResultFromWin32(ERROR_FILE_ENCRYPTED), false, true},
        {HResultFromWin32(ERROR_FILE_NOT_FOUND), false, false},
        {HResultFromWin32(ERROR_PATH_NOT_FOUND), false, false},
        {E_INVALIDARG, false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.check);
        EXPECT_EQ(c.inUse, ShowsFilePresent(c.check, FilePresence::InUse));
        EXPECT_EQ(c.unreadable, ShowsFilePresent(c.check, FilePresence::Unreadable));
    }

    CScratchFolder scratch(L"lumpresence");
    const std::wstring folder = scratch.Folder();
    EXPECT_FALSE(IsFilePresent(folder.c_str(), FilePresence::InUse));
    EXPECT_TRUE(IsFilePresent(folder.c_str(), FilePresence::Unreadable));
    EXPECT_FALSE(IsFilePresent(scratch.PathOf(L"none").c_str(), FilePresence::Unreadable));
}
