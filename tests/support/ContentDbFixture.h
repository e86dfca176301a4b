#pragma once
// A test with the stand-in content database registered for its whole length. On the way out no
// connection, notification sink or module lock of the database may be left.
#include <gtest/gtest.h>
#include <objbase.h>
#include <memory>
#include <string>
#include <vector>
#include "com/ModuleLock.h"
#include "standins/ContentDatabase.h"
#include "tests/support/TestSync.h"

class ContentDbTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_locksBefore = ModuleLockCount();
        m_db = CContentDatabase::Create();
        ASSERT_EQ(S_OK, m_db->Register());
    }

    void TearDown() override
    {
        Control().Reset();
        m_db->Revoke();
        EXPECT_TRUE(m_db->WaitNotificationsIdle(kTestWaitMs));
        EXPECT_EQ(0, m_db->LiveConnections());
        EXPECT_EQ(0u, m_db->SinkCount());
        m_db.reset();
        EXPECT_EQ(m_locksBefore, ModuleLockCount());
        CoUninitialize();
    }

    CContentDbCatalogue& Items() { return m_db->Catalogue(); }
    CContentDbControl& Control() { return m_db->Control(); }
    LONG Count(CdbMethod method) { return Control().CallCount(method); }
    CdbCall LastCall(CdbMethod method)
    {
        const std::vector<CdbCall> calls = Control().Calls(method);
        return calls.empty() ? CdbCall{} : calls.back();
    }
    // The texts of the recorded calls of one method: queries of searches, ids of deletions.
    std::vector<std::wstring> Texts(CdbMethod method)
    {
        std::vector<std::wstring> texts;
        for (const CdbCall& call : Control().Calls(method))
            texts.push_back(call.text);
        return texts;
    }

    LONG m_locksBefore = 0;
    std::shared_ptr<CContentDatabase> m_db;
};
