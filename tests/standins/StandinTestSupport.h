#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include "standins/BusyNotify.h"
#include "standins/FolderList.h"
#include "standins/ManagerQueueEntry.h"
#include "standins/ManagerSite.h"
#include "standins/ManagerStatus.h"
#include "standins/QueueEventsSink.h"
#include "tests/support/TestSync.h"
#include <thread>

// Every case runs in the multi-threaded apartment with the class-wide stand-ins reset, and ends
// with every stand-in object it made released again.
class StandinTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        CManagerStatus::Reset();
        CBusyNotify::Reset();
        CFolderList::Reset();
        m_live = LiveCounts();
    }

    void TearDown() override
    {
        EXPECT_EQ(m_live, LiveCounts());
        CoUninitialize();
    }

private:
    static std::vector<LONG> LiveCounts()
    {
        return {CManagerSite::LiveCount(),  CManagerQueueEntry::LiveCount(), CManagerStatus::LiveCount(),
                CBusyNotify::LiveCount(),   CFolderList::LiveCount(),        CQueueEventsSink::LiveCount()};
    }

    std::vector<LONG> m_live;
};
