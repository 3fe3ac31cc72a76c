// Reports that do not belong to one host area.
#include <gtest/gtest.h>

#include <wdm.h>

#include "host_test.h"

namespace {

TEST(Verifier, FailedAssertionIsReported)
{
    hosttest::ExpectReport expect(host::Check::AssertionFailed);
    int value = 1;
    NT_ASSERT(value == 2);
    EXPECT_EQ(1, expect.Count());
    NT_ASSERT(value == 1);
    EXPECT_EQ(1, expect.Count());
}

} // namespace
