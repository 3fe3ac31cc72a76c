// Suspend/resume notification: the system sleep and resume of the power manager reach the registered
// callbacks in order, on another thread and in the registering process; unregistering ends them.
#include <gtest/gtest.h>

#include <windows.h>
#include <powerbase.h>

#include <host/pnp.h>
#include <host/power_broadcast.h>
#include <host/process.h>

#include <mutex>
#include <vector>

namespace {

struct Calls {
    std::mutex lock;
    std::vector<ULONG> types;
    std::vector<DWORD> threads;
    std::vector<DWORD> processes;
};

ULONG CALLBACK Record(PVOID context, ULONG type, PVOID setting)
{
    EXPECT_EQ(nullptr, setting);
    auto* calls = static_cast<Calls*>(context);
    std::lock_guard<std::mutex> guard(calls->lock);
    calls->types.push_back(type);
    calls->threads.push_back(GetCurrentThreadId());
    calls->processes.push_back(GetCurrentProcessId());
    return 0;
}

TEST(Win32PowerNotify, SleepAndResumeReachTheCallbackInTheRegisteringProcess)
{
    Calls calls;
    DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS subscription{Record, &calls};
    HPOWERNOTIFY registration = nullptr;
    auto service = host::ProcessCreate(u"C:\\Svc\\Svc.exe");
    host::SetCurrentProcess(service);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              PowerRegisterSuspendResumeNotification(DEVICE_NOTIFY_CALLBACK, &subscription, &registration));
    host::SetCurrentProcess(nullptr);

    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemSleep(PowerSystemSleeping3));
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemResume());
    host::PowerBroadcastSuspendResume(PBT_APMRESUMEAUTOMATIC);
    {
        std::lock_guard<std::mutex> guard(calls.lock);
        EXPECT_EQ((std::vector<ULONG>{PBT_APMSUSPEND, PBT_APMRESUMEAUTOMATIC, PBT_APMRESUMESUSPEND,
                                      PBT_APMRESUMEAUTOMATIC}),
                  calls.types);
        for (size_t i = 0; i < calls.types.size(); i++) {
            EXPECT_NE(GetCurrentThreadId(), calls.threads[i]);
            EXPECT_EQ(service->id, calls.processes[i]);
        }
    }

    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), PowerUnregisterSuspendResumeNotification(registration));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), PowerUnregisterSuspendResumeNotification(registration));
    host::PowerBroadcastSuspendResume(PBT_APMSUSPEND);
    std::lock_guard<std::mutex> guard(calls.lock);
    EXPECT_EQ(4u, calls.types.size());
}

TEST(Win32PowerNotify, OnlyACallbackSubscriptionIsTaken)
{
    HPOWERNOTIFY registration = nullptr;
    DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS empty{nullptr, nullptr};
    DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS subscription{Record, nullptr};
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              PowerRegisterSuspendResumeNotification(DEVICE_NOTIFY_CALLBACK, &empty, &registration));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              PowerRegisterSuspendResumeNotification(0, &subscription, &registration));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              PowerRegisterSuspendResumeNotification(DEVICE_NOTIFY_CALLBACK, nullptr, &registration));
}

} // namespace
