#include <gtest/gtest.h>

#include "IpcContext.h"

TEST(TerminateThreads, FlagAndEventFollowTheWriter)
{
    IpcInitTerminiateThreadsEvent();
    const UCHAR set = 1;
    const UCHAR clear = 0;
    EXPECT_FALSE(IpcShouldTerminateThreads(&clear));
    EXPECT_EQ(KeReadStateEvent(IpcGetTerminateThreadsEvent()), 0);

    EXPECT_TRUE(IpcShouldTerminateThreads(&set));
    EXPECT_TRUE(IpcShouldTerminateThreads(NULL)); // a read leaves flag and event alone
    EXPECT_NE(KeReadStateEvent(IpcGetTerminateThreadsEvent()), 0);

    EXPECT_FALSE(IpcShouldTerminateThreads(&clear));
    EXPECT_EQ(KeReadStateEvent(IpcGetTerminateThreadsEvent()), 0);
}
