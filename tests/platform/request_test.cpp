// Requests through the test driver pair from the user-mode entry: buffers, completion status, time-outs
// of synchronous sends, purge, cancellation, forwarding by a filter and the verifier's double completion.
#include "fxstack.h"

#include "host_test.h"

#include <algorithm>

namespace
{

using namespace fxtest;

using RequestTest = StackTest;

bool Contains(const Calls& calls, const std::string& call)
{
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

TEST_F(RequestTest, OpensByInterfacePathAndEchoes)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    auto paths = host::IoInterfaceList(GUID_FXTEST_INTERFACE);
    ASSERT_EQ(1u, paths.size());
    EXPECT_EQ(u"\\\\?\\TEST#FXDEV#0#{5b0d3a2e-8f61-4c1e-9b7a-2d4e6f708192}", paths[0]);
    Take();

    HANDLE handle = Open();
    const char in[6] = "hello";
    char out[8] = {};
    ULONG_PTR returned = 0;
    EXPECT_EQ(STATUS_SUCCESS,
              Control(handle, IOCTL_FXFUNC_ECHO, &returned, in, sizeof(in), out, sizeof(out)));
    EXPECT_EQ(sizeof(in), returned);
    EXPECT_STREQ("hello", out);
    // The output buffer must hold the input: the driver's minimum length is checked.
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Control(handle, IOCTL_FXFUNC_ECHO, &returned, in, sizeof(in), out, 2));
    EXPECT_EQ(0u, returned);
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
    EXPECT_EQ((Calls{"FxFunc:FileCreate", "FxFunc:Echo 0", "FxFunc:Echo c0000023", "FxFunc:FileCleanup",
                     "FxFunc:FileClose"}),
              Take());
}

TEST_F(RequestTest, CompletionStatusReachesTheSenderUnchanged)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = Open();
    EXPECT_EQ(FXFUNC_INFO_STATUS, Control(handle, IOCTL_FXFUNC_STATUS));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              Control(handle, CTL_CODE(FXTEST_DEVICE, 0xfff, METHOD_BUFFERED, 0)));
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
}

TEST_F(RequestTest, TimedOutSynchronousSendIsCancelled)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = Open();
    Take();
    LONGLONG start = host::ClockNow();
    EXPECT_EQ(STATUS_IO_TIMEOUT, Control(handle, IOCTL_FXFUNC_SEND_TIMED));
    EXPECT_EQ(100 * kMs, host::ClockNow() - start);
    EXPECT_EQ((Calls{"FxLower:Hold", "FxLower:EvtRequestCancel lower", "FxFunc:SendTimed c00000b5"}), Take());
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
}

TEST_F(RequestTest, PurgeCancelsWaitingRequests)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = Open();
    NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
    {
        fxtest::Thread a([&] { first = Control(handle, IOCTL_FXFUNC_PARK); });
        fxtest::Thread b([&] { second = Control(handle, IOCTL_FXFUNC_PARK); });
        host::ClockAdvance(0); // both are parked
        EXPECT_EQ(STATUS_PENDING, first);
        EXPECT_EQ(STATUS_SUCCESS, Control(handle, IOCTL_FXFUNC_PURGE));
    }
    EXPECT_EQ(STATUS_CANCELLED, first);
    EXPECT_EQ(STATUS_CANCELLED, second);
    // Started again, the queue takes requests; removal cancels them.
    NTSTATUS third = STATUS_PENDING;
    fxtest::Thread c([&] { third = Control(handle, IOCTL_FXFUNC_PARK); });
    host::ClockAdvance(0);
    EXPECT_EQ(STATUS_PENDING, third);
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    c.Join();
    EXPECT_EQ(STATUS_CANCELLED, third);
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
}

TEST_F(RequestTest, SecondCompletionIsReported)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = Open();
    {
        hosttest::ExpectReport expect(host::Check::RequestCompletedTwice);
        EXPECT_EQ(STATUS_SUCCESS, Control(handle, IOCTL_FXFUNC_COMPLETE_TWICE));
    }
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
}

TEST_F(RequestTest, FilterPassesOnWhatItDoesNotHandle)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = Open();
    Take();
    // The lower filter passes it to the bus's device, which knows nothing of it.
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Control(handle, IOCTL_FXFUNC_PASS_DOWN));
    EXPECT_TRUE(Contains(Take(), "FxLower:PassDown 81232020"));
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
}

TEST_F(RequestTest, RequestsWaitWhileTheDeviceIsStopped)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = Open();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpStopDevice(kInstance));
    NTSTATUS status = STATUS_PENDING;
    fxtest::Thread sender([&] { status = Control(handle, IOCTL_FXFUNC_STATUS); });
    host::ClockAdvance(1000 * kMs);
    EXPECT_EQ(STATUS_PENDING, status);
    ASSERT_EQ(STATUS_SUCCESS, host::PnpStartDevice(kInstance));
    sender.Join();
    EXPECT_EQ(FXFUNC_INFO_STATUS, status);
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
}

TEST_F(RequestTest, BadHandlesNamesAndBuffersGetTheirStatus)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, host::IoOpen(u"\\\\?\\TEST#NONE#0#{x}", &handle));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, host::IoOpen(u"no prefix", &handle));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, host::IoOpen(u"", &handle));
    EXPECT_EQ(nullptr, handle);
    auto bogus = reinterpret_cast<HANDLE>(0x7ffc);
    EXPECT_EQ(STATUS_INVALID_HANDLE, Control(bogus, IOCTL_FXFUNC_STATUS));
    EXPECT_EQ(STATUS_INVALID_HANDLE, host::IoClose(bogus));
    handle = Open();
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              host::IoDeviceControl(handle, IOCTL_FXFUNC_ECHO, nullptr, 4, nullptr, 0, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
    EXPECT_EQ(STATUS_INVALID_HANDLE, host::IoClose(handle));
}

TEST_F(RequestTest, RequestsToASurpriseRemovedDeviceFail)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = Open();
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSurpriseRemoveDevice(kInstance));
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, Control(handle, IOCTL_FXFUNC_STATUS));
    EXPECT_TRUE(host::IoInterfaceList(GUID_FXTEST_INTERFACE).empty());
    EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
}

} // namespace
