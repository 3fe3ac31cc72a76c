// Win32 threads: start, identity, process inheritance, exit codes and early exits, priorities, creation
// failures, and the sleeps and counters of the host clock.
#include <gtest/gtest.h>

#include <windows.h>

#include <host/host.h>
#include <host/process.h>
#include <host/sync.h>
#include <wdm.h>

#include "host_test.h"

namespace {

TEST(Win32Threads, RunInTheCreatorsProcessAndEndWithTheirExitCode)
{
    auto service = host::ProcessCreate(u"C:\\Svc\\svc.exe");
    host::SetCurrentProcess(service);
    struct Seen {
        HANDLE gate = nullptr;
        DWORD process = 0;
        DWORD thread = 0;
        KIRQL irql = HIGH_LEVEL;
    } seen;
    seen.gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID context) -> DWORD {
            auto* s = static_cast<Seen*>(context);
            s->process = GetCurrentProcessId();
            s->thread = GetCurrentThreadId();
            s->irql = KeGetCurrentIrql();
            WaitForSingleObject(s->gate, INFINITE);
            return 42;
        },
        &seen, 0, &id);
    ASSERT_NE(nullptr, thread);
    host::ClockAdvance(0); // lets it run until it blocks on the gate
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), code);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0));

    SetEvent(seen.gate);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(42u, code);
    EXPECT_EQ(service->id, seen.process);
    EXPECT_EQ(id, seen.thread);
    EXPECT_NE(GetCurrentThreadId(), seen.thread);
    EXPECT_EQ(PASSIVE_LEVEL, seen.irql);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_TRUE(CloseHandle(seen.gate));
    host::SetCurrentProcess(nullptr);

    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

// Early exits unwind the thread's stack to its start: destructors run, the rest of the body does not.
TEST(Win32Threads, EarlyExitsUnwindAndKeepTheExitCode)
{
    struct Case {
        const char* name;
        bool crt;
        void (*end)();
    };
    static const Case kCases[] = {
        {"ExitThread", false, [] { ExitThread(7); }},
        {"_endthreadex", true, [] { _endthreadex(7); }},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        struct Run {
            const Case* c;
            bool unwound = false;
            bool after = false;
        } run{&c};
        auto body = [](void* context) -> unsigned {
            auto* r = static_cast<Run*>(context);
            struct Guard {
                bool* flag;
                ~Guard() { *flag = true; }
            } guard{&r->unwound};
            r->c->end();
            r->after = true;
            return 1;
        };
        HANDLE thread = c.crt ? reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, &run, 0, nullptr))
                              : CreateThread(nullptr, 0, body, &run, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(7u, code);
        EXPECT_TRUE(run.unwound);
        EXPECT_FALSE(run.after);
        CloseHandle(thread);
    }
}

TEST(Win32Threads, PrioritiesAreRecordedAndChecked)
{
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(GetCurrentThread()));
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(THREAD_PRIORITY_HIGHEST, GetThreadPriority(GetCurrentThread()));
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 3));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));

    HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, GetThreadPriority(thread));
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    EXPECT_EQ(THREAD_PRIORITY_ERROR_RETURN, GetThreadPriority(reinterpret_cast<HANDLE>(0x7770)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Win32Threads, InjectedCreationFailuresComeFirstThenCreationWorks)
{
    host::FailNextCreations(host::Creation::Thread, 2);
    auto body = [](LPVOID) -> DWORD { return 0; };
    EXPECT_EQ(nullptr, CreateThread(nullptr, 0, body, nullptr, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    EXPECT_EQ(0u, _beginthreadex(nullptr, 0, body, nullptr, 0, nullptr));
    HANDLE thread = CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    // Only the calling thread's creations fail.
    DWORD innerError = 0;
    thread = CreateThread(
        nullptr, 0,
        [](LPVOID out) -> DWORD {
            host::FailNextCreations(host::Creation::Thread, 1, ERROR_NO_SYSTEM_RESOURCES);
            if (CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr) == nullptr)
                *static_cast<DWORD*>(out) = GetLastError();
            return 0;
        },
        &innerError, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES), innerError);
    thread = CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

TEST(Win32Threads, SleepsAndCountersFollowTheHostClock)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(10000000, frequency.QuadPart);
    ULONGLONG ticks = GetTickCount64();
    QueryPerformanceCounter(&before);
    Sleep(1500);
    EXPECT_EQ(0u, SleepEx(250, TRUE));
    QueryPerformanceCounter(&after);
    EXPECT_EQ(1750u, GetTickCount64() - ticks);
    EXPECT_EQ(1750 * 10000, after.QuadPart - before.QuadPart);
    EXPECT_EQ(static_cast<DWORD>(GetTickCount64()), GetTickCount());
    Sleep(0); // returns at once
    EXPECT_EQ(after.QuadPart, host::ClockNow());
}

} // namespace
