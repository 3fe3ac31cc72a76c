// Win32 synchronisation on the shared wait engine: events and their names, waits, mutexes, critical
// sections and condition variables, and kernel code signalling a user event.
#include <gtest/gtest.h>

#include <windows.h>

#include <host/host.h>
#include <host/process.h>
#include <host/sync.h>
#include <wdm.h>

#include "host_test.h"

#include <functional>
#include <vector>

namespace {

constexpr LONGLONG Ms(LONGLONG ms) { return ms * 10000; }

using hosttest::JoinThread;
using hosttest::StartThread;

TEST(Win32Events, AutoResetIsConsumedByOneWaitManualResetStays)
{
    struct Case {
        const char* name;
        HANDLE (*create)();
        bool manual;
    };
    static const Case kCases[] = {
        {"CreateEventW auto", [] { return CreateEventW(nullptr, FALSE, TRUE, nullptr); }, false},
        {"CreateEventW manual", [] { return CreateEventW(nullptr, TRUE, TRUE, nullptr); }, true},
        {"CreateEventExA auto", [] { return CreateEventExA(nullptr, nullptr, CREATE_EVENT_INITIAL_SET, EVENT_ALL_ACCESS); }, false},
        {"CreateEventExA manual",
         [] { return CreateEventExA(nullptr, nullptr, CREATE_EVENT_INITIAL_SET | CREATE_EVENT_MANUAL_RESET, EVENT_ALL_ACCESS); },
         true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        HANDLE event = c.create();
        ASSERT_NE(nullptr, event);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
        EXPECT_EQ(c.manual ? WAIT_OBJECT_0 : static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
        EXPECT_TRUE(SetEvent(event));
        EXPECT_TRUE(ResetEvent(event));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
        CloseHandle(event);
    }
    EXPECT_EQ(nullptr, CreateEventExW(nullptr, nullptr, 4, EVENT_ALL_ACCESS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(Win32Events, NamesShareOneObjectUntilTheLastHandleCloses)
{
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, u"MessageEvent");
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    HANDLE second = CreateEventExA(nullptr, "MessageEvent", 0, EVENT_ALL_ACCESS);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_NE(first, second);
    SetEvent(second);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0)); // the existing manual-reset event, not a new one

    // Names are case-sensitive; Local\ is the caller's session, Global\ session 0 (the default process's).
    EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE, FALSE, u"messageevent"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    HANDLE local = OpenEventA(SYNCHRONIZE, FALSE, "Local\\MessageEvent");
    HANDLE global = OpenEventA(SYNCHRONIZE, FALSE, "Global\\MessageEvent");
    EXPECT_NE(nullptr, local);
    EXPECT_NE(nullptr, global);
    auto user = host::ProcessCreate(u"C:\\App\\app.exe");
    user->sessionId = 1;
    host::SetCurrentProcess(user);
    EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE, FALSE, u"MessageEvent"));
    HANDLE fromSession1 = OpenEventW(SYNCHRONIZE, FALSE, u"Global\\MessageEvent");
    EXPECT_NE(nullptr, fromSession1);
    host::SetCurrentProcess(nullptr);

    // A handle without EVENT_MODIFY_STATE cannot set the event; one without SYNCHRONIZE cannot wait.
    EXPECT_FALSE(SetEvent(local));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    HANDLE modifyOnly = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"MessageEvent");
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(modifyOnly, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

    // The name belongs to the event: a mutex cannot take it.
    EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, u"MessageEvent"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    for (HANDLE handle : {first, second, local, global, fromSession1, modifyOnly})
        EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE, FALSE, u"MessageEvent"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    HANDLE fresh = CreateEventW(nullptr, FALSE, FALSE, u"MessageEvent");
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(fresh, 0));
    CloseHandle(fresh);
}

TEST(Win32Events, InjectedFailuresRefuseCreation)
{
    host::FailNextCreations(host::Creation::Event, 1);
    EXPECT_EQ(nullptr, CreateEventW(nullptr, FALSE, FALSE, u"Injected"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE, FALSE, u"Injected"));
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"Injected");
    EXPECT_NE(nullptr, event);
    CloseHandle(event);

    // Failures after a number of creations that still succeed.
    host::FailNextCreations(host::Creation::Event, 1, ERROR_NO_SYSTEM_RESOURCES, 2);
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE second = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(nullptr, first);
    EXPECT_NE(nullptr, second);
    EXPECT_EQ(nullptr, CreateEventW(nullptr, FALSE, FALSE, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES), GetLastError());
    event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(nullptr, event);
    for (HANDLE made : {first, second, event})
        CloseHandle(made);
}

TEST(Win32Waits, WaitAnyGivesTheLowestSignalledIndexWaitAllNeedsEvery)
{
    HANDLE events[3];
    for (HANDLE& event : events)
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, events, FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, events, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, events, FALSE, 0));

    SetEvent(events[0]);
    SetEvent(events[2]);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, events, TRUE, 0));
    HANDLE setter = StartThread([&] {
        Sleep(30);
        SetEvent(events[1]);
    });
    LONGLONG start = host::ClockNow();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, events, TRUE, INFINITE));
    EXPECT_EQ(Ms(30), host::ClockNow() - start);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, events, FALSE, 0)); // all consumed
    JoinThread(setter);

    start = host::ClockNow();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, events, FALSE, 5000));
    EXPECT_EQ(Ms(5000), host::ClockNow() - start);
    for (HANDLE event : events)
        CloseHandle(event);
}

TEST(Win32Waits, BadArgumentsFailTheWait)
{
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key));
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
    struct Case {
        const char* name;
        DWORD count;
        std::vector<HANDLE> handles;
        BOOL all;
        DWORD error;
    };
    const Case cases[] = {
        {"null handle", 1, {nullptr}, FALSE, ERROR_INVALID_HANDLE},
        {"closed handle", 2, {event, reinterpret_cast<HANDLE>(0x7ff0)}, FALSE, ERROR_INVALID_HANDLE},
        {"not waitable", 1, {reinterpret_cast<HANDLE>(key)}, FALSE, ERROR_INVALID_HANDLE},
        {"no objects", 0, {event}, FALSE, ERROR_INVALID_PARAMETER},
        {"over the limit", MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, ERROR_INVALID_PARAMETER},
        {"wait-all twice on one", 2, {event, event}, TRUE, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(c.count, c.handles.data(), c.all, INFINITE));
        EXPECT_EQ(c.error, GetLastError());
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0));
    RegCloseKey(key);
    CloseHandle(event);
}

TEST(Win32Waits, KernelCodeSignalsTheEventBehindAUserHandle)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"DeviceModeNotifyEvent");
    PKEVENT kernelEvent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, host::EventObjectFromHandle(event, &kernelEvent));
    HANDLE system = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(
                                  &system, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                  [](PVOID context) {
                                      LARGE_INTEGER delay;
                                      delay.QuadPart = -Ms(10);
                                      KeDelayExecutionThread(KernelMode, FALSE, &delay);
                                      KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
                                  },
                                  kernelEvent));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(system, INFINITE)); // a kernel thread handle is waitable too
    ZwClose(system);
    ObDereferenceObject(kernelEvent);
    CloseHandle(event);

    EXPECT_EQ(STATUS_INVALID_HANDLE, host::EventObjectFromHandle(event, &kernelEvent));
}

TEST(Win32Mutexes, OwnershipIsRecursiveReleasedOnlyByTheOwnerAndAbandonedWithIt)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0)); // recursion
    DWORD otherWait = 0;
    BOOL otherRelease = TRUE;
    DWORD otherError = 0;
    JoinThread(StartThread([&] {
        otherWait = WaitForSingleObject(mutex, 20);
        otherRelease = ReleaseMutex(mutex);
        otherError = GetLastError();
    }));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), otherWait);
    EXPECT_FALSE(otherRelease);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), otherError);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());

    // A thread that ends owning it abandons it: the next owner is told once.
    JoinThread(StartThread([&] { EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, INFINITE)); }));
    HANDLE other = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[2] = {other, mutex};
    EXPECT_EQ(WAIT_ABANDONED_0 + 1, WaitForMultipleObjects(2, both, FALSE, 0));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(other);
    CloseHandle(mutex);
}

TEST(Win32CriticalSections, RecursiveForTheOwnerAndBlockingAsAHostWait)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    BOOL otherTry = TRUE;
    JoinThread(StartThread([&] { otherTry = TryEnterCriticalSection(&section); }));
    EXPECT_FALSE(otherTry);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);

    // Holders sleep inside the section: a blocked Enter must let virtual time move on.
    int inside = 0;
    int most = 0;
    std::vector<HANDLE> threads;
    for (int i = 0; i < 3; i++)
        threads.push_back(StartThread([&] {
            EnterCriticalSection(&section);
            most = std::max(most, ++inside);
            Sleep(100);
            inside--;
            LeaveCriticalSection(&section);
        }));
    LONGLONG start = host::ClockNow();
    for (HANDLE thread : threads)
        JoinThread(thread);
    EXPECT_EQ(1, most);
    EXPECT_EQ(Ms(300), host::ClockNow() - start);
    DeleteCriticalSection(&section);

    hosttest::ExpectReport expect(host::Check::InvalidParameter);
    EnterCriticalSection(&section); // deleted
}

TEST(Win32CriticalSections, LeaveByANonOwnerIsReported)
{
    CRITICAL_SECTION section;
    InitializeCriticalSectionAndSpinCount(&section, 4000);
    EnterCriticalSection(&section);
    {
        hosttest::ExpectReport expect(host::Check::InvalidParameter);
        JoinThread(StartThread([&] { LeaveCriticalSection(&section); }));
    }
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

TEST(Win32ConditionVariables, WakeOneWakeAllAndTimeOut)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    CONDITION_VARIABLE ready = CONDITION_VARIABLE_INIT;
    int items = 0;
    int taken = 0;
    std::vector<HANDLE> consumers;
    for (int i = 0; i < 3; i++)
        consumers.push_back(StartThread([&] {
            EnterCriticalSection(&section);
            while (items == 0)
                EXPECT_TRUE(SleepConditionVariableCS(&ready, &section, INFINITE));
            items--;
            taken++;
            LeaveCriticalSection(&section);
        }));
    host::ClockAdvance(0); // all three asleep
    EnterCriticalSection(&section);
    items = 1;
    LeaveCriticalSection(&section);
    WakeConditionVariable(&ready);
    host::ClockAdvance(0);
    EnterCriticalSection(&section);
    EXPECT_EQ(1, taken);
    items = 2;
    LeaveCriticalSection(&section);
    WakeAllConditionVariable(&ready);
    for (HANDLE consumer : consumers)
        JoinThread(consumer);
    EXPECT_EQ(3, taken);

    EnterCriticalSection(&section);
    LONGLONG start = host::ClockNow();
    EXPECT_FALSE(SleepConditionVariableCS(&ready, &section, 250));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), GetLastError());
    EXPECT_EQ(Ms(250), host::ClockNow() - start);
    EXPECT_TRUE(TryEnterCriticalSection(&section)); // the section is held again after the time-out
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    WakeConditionVariable(&ready); // nobody asleep: nothing happens
    DeleteCriticalSection(&section);
}

} // namespace
