// The main of every test program: a broken contract of the plug-in (LUM_ASSERT, the lock order)
// fails the test that runs into it, on whichever thread it happens, and the program goes on.
#include <gmock/gmock.h>
#include "common/Contract.h"

namespace
{
void FailTest(const char* what, const char* file, int line)
{
    ADD_FAILURE_AT(file ? file : "?", line) << "contract failed: " << (what ? what : "?");
}
}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleMock(&argc, argv);
    SetContractFailureHandler(&FailTest);
    return RUN_ALL_TESTS();
}
