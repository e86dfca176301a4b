#include <gtest/gtest.h>
#include <process.h>
#include <string>
#include <vector>
#include "common/Contract.h"
#include "common/LockRank.h"
#include "common/Scoped.h"
#include "common/ThreadChecker.h"

namespace
{
// Collects the contract failures of one test in place of the test main's handler.
class ContractTest : public testing::Test
{
protected:
    void SetUp() override
    {
        Failures().clear();
        m_previous = SetContractFailureHandler(&Record);
    }
    void TearDown() override { SetContractFailureHandler(m_previous); }

    static std::vector<std::string>& Failures()
    {
        static std::vector<std::string> failures;
        return failures;
    }

private:
    static void Record(const char* what, const char*, int) { Failures().push_back(what ? what : ""); }
    ContractFailureHandler m_previous = nullptr;
};

#if LUM_CHECKS
// Held, then wanted: whether taking the second against the order is reported.
struct OrderCase
{
    LockRank held;
    LockRank wanted;
    bool reported;
};

TEST_F(ContractTest, TakingALowerOrEqualRankWhileHoldingAHigherOneIsReported)
{
    const OrderCase cases[] = {
        {LockRank::WorkerQueue, LockRank::PendingCounts, false},   // the queue hooks' order
        {LockRank::DbSinkOwner, LockRank::DbListeners, false},     // a notification's order
        {LockRank::NotifyDatabase, LockRank::DbConnection, false}, // a hand-off's lookups
        {LockRank::PendingCounts, LockRank::WorkerQueue, true},
        {LockRank::DbListeners, LockRank::DbConnection, true},     // a close inside a notification
        {LockRank::WorkerQueue, LockRank::NotifyDatabase, true},
        {LockRank::TraceWriter, LockRank::EventLog, true},
        {LockRank::WorkerQueue, LockRank::WorkerQueue, true},      // another worker's queue
        {LockRank::Outside, LockRank::WorkerThread, false},        // a stand-in's lock
        {LockRank::TraceWriter, LockRank::Outside, false},
    };
    for (const OrderCase& c : cases)
    {
        Failures().clear();
        CCriticalSection held(c.held);
        CCriticalSection wanted(c.wanted);
        {
            CLockGuard first(held);
            CLockGuard second(wanted);
        }
        EXPECT_EQ(Failures().size(), c.reported ? 1u : 0u)
            << LockRankName(c.held) << " held, " << LockRankName(c.wanted) << " wanted";
        if (c.reported && !Failures().empty())
        {
            EXPECT_NE(Failures()[0].find(LockRankName(c.wanted)), std::string::npos) << Failures()[0];
        }
    }
}

TEST_F(ContractTest, ReenteringAndReleasingOutOfOrderKeepTheRecordRight)
{
    CCriticalSection queue(LockRank::WorkerQueue);
    CCriticalSection counts(LockRank::PendingCounts);
    CCriticalSection database(LockRank::NotifyDatabase);
    queue.Lock();
    queue.Lock();  // re-entrant, as the forced-end save relies on
    counts.Lock();
    EXPECT_EQ(HighestHeldLockRank(), LockRank::PendingCounts);
    queue.Unlock();
    queue.Unlock();  // the queue is let go before the counts it was taken before
    EXPECT_TRUE(Failures().empty());
    EXPECT_EQ(HighestHeldLockRank(), LockRank::PendingCounts);
    database.Lock();  // the counts are still held
    database.Unlock();
    counts.Unlock();
    EXPECT_EQ(Failures().size(), 1u);
    database.Lock();  // nothing held any more
    database.Unlock();
    EXPECT_EQ(Failures().size(), 1u);
    EXPECT_EQ(HighestHeldLockRank(), LockRank::Outside);
}

TEST_F(ContractTest, AFailedAssertionAndAForeignThreadReachTheHandler)
{
    LUM_ASSERT(1 + 1 == 2);
    EXPECT_TRUE(Failures().empty());
    LUM_ASSERT(1 + 1 == 3);
    ASSERT_EQ(Failures().size(), 1u);
    EXPECT_EQ(Failures()[0], "1 + 1 == 3");

    CThreadChecker checker;
    EXPECT_TRUE(checker.IsCurrent()) << "unbound: any thread";
    checker.Bind();
    struct CProbe
    {
        CThreadChecker* checker;
        bool current;
        static unsigned __stdcall Run(void* self)
        {
            auto* probe = static_cast<CProbe*>(self);
            probe->current = probe->checker->IsCurrent();
            return 0;
        }
    } probe{&checker, true};
    const HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &CProbe::Run, &probe, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_FALSE(probe.current);
    EXPECT_TRUE(checker.IsCurrent());
    checker.Unbind();
}
#else
TEST_F(ContractTest, ReleaseBuildsCheckNothing)
{
    CCriticalSection high(LockRank::TraceWriter);
    CCriticalSection low(LockRank::WorkerThread);
    CLockGuard first(high);
    CLockGuard second(low);
    LUM_ASSERT(false);
    EXPECT_TRUE(Failures().empty());
}
#endif
}  // namespace
