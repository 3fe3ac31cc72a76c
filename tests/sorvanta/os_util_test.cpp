// The operating-system layer: bounded strings and memory, events and waits, threads with end events.
#include "os_util.h"

#include <host/sync.h>

#include <gtest/gtest.h>

#include <string.h>

namespace {

// ---- strings and memory --------------------------------------------------------------------------

TEST(OsStrings, CopyLengthAndCompare)
{
    char dest[16];
    memset(dest, '#', sizeof(dest));
    EXPECT_EQ(Mbim_strncpy(dest, 16, "abc", 3), 0);
    EXPECT_EQ(memcmp(dest, "abc", 4), 0) << "NUL written at dest[3]";

    const char sixteen[] = "0123456789ABCDEF";
    memset(dest, '#', sizeof(dest));
    EXPECT_EQ(Mbim_strncpy(dest, 16, sixteen, 16), 0);
    EXPECT_EQ(memcmp(dest, sixteen, 16), 0) << "exactly full: no NUL";

    memset(dest, '#', sizeof(dest));
    EXPECT_EQ(Mbim_strncpy(dest, 16, "a longer source text", 17), -2);
    EXPECT_EQ(dest[0], '#') << "untouched";
    EXPECT_EQ(Mbim_strncpy(dest, 0, "abc", 3), -1);
    EXPECT_EQ(Mbim_strncpy(dest, -5, "abc", 3), -1);
    EXPECT_EQ(Mbim_strncpy(dest, 16, nullptr, 3), -2);
    EXPECT_EQ(dest[0], '#');

    EXPECT_EQ(Mbim_strlen(nullptr, 10), 0);
    EXPECT_EQ(Mbim_strlen("abc", 0), 0);
    EXPECT_EQ(Mbim_strlen("abcdef", 4), 4);
    EXPECT_EQ(Mbim_wstrlen(u"abc", 10), 3);
    EXPECT_EQ(Mbim_wstrlen(nullptr, 10), -2);

    EXPECT_EQ(Mbim_strncmp("abc", 4, "abd", 4, 0), -1);
    EXPECT_EQ(Mbim_strncmp("abc", 4, "abd", 4, 2), 0);
    EXPECT_LT(Mbim_strncmp("abc", 4, "abd", 4, 3), 0);
    EXPECT_EQ(Mbim_strncmp("ab", 3, "ab", 3, 3), 0) << "a NUL both share ends the comparison";
    EXPECT_EQ(Mbim_strncmp("abc", 2, "abc", 4, 3), -1) << "a size below the count";
    EXPECT_EQ(Mbim_strnicmp("VEN_14c3", 9, "ven_14C3", 9, 8), 0);
    EXPECT_EQ(Mbim_wstrncmp(u"modem", u"modem", 5), 1);
    EXPECT_EQ(Mbim_wstrncmp(u"modem", u"model", 5), 0);
    EXPECT_EQ(Mbim_wstrncmp(u"modem", nullptr, 5), 0);
    EXPECT_EQ(Mbim_wstrncmp(u"modem", u"modem", -1), -1);
}

TEST(OsStrings, SubstringSearch)
{
    const char path[] = "\\\\?\\pci#ven_14c3&dev_4d75&subsys_00000000#3&11583659&0&e0#{c471d7f9}";
    const char* found = Mbim_strnistr(path, sizeof(path), "VEN_14C3&DEV_4D75", 18, 18);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found, path + 8);
    EXPECT_EQ(Mbim_strnstr(path, sizeof(path), "VEN_14C3&DEV_4D75", 18, 18), nullptr) << "exact case";
    EXPECT_EQ(Mbim_strnstr(path, sizeof(path), "ven_14c3&dev_4d75", 18, 18), path + 8);
    EXPECT_EQ(Mbim_strnistr(path, sizeof(path), "", 1, 18), nullptr) << "empty sub";
    EXPECT_EQ(Mbim_strnistr("short", 6, "longer than the source", 23, 23), nullptr) << "sub size above src size";
    EXPECT_EQ(Mbim_strnistr("abc", 16, "abcd", 5, 16), nullptr) << "sub longer than the text";
    EXPECT_EQ(Mbim_strnstr(path, sizeof(path), "x", 2, 0), nullptr);
    EXPECT_EQ(Mbim_strnistr(nullptr, 10, "a", 2, 1), nullptr);
}

TEST(OsStrings, ConcatRefusesWhatDoesNotFit)
{
    char dest[8] = "ab";
    EXPECT_EQ(Mbim_strncat(dest, 8, "cde", 4, 3), 0);
    EXPECT_STREQ(dest, "abcde");
    EXPECT_EQ(Mbim_strncat(dest, 8, "fgh", 4, 3), 0);
    EXPECT_EQ(memcmp(dest, "abcdefgh", 8), 0) << "exactly full: no NUL";
    char small[8] = "abcdef";
    EXPECT_EQ(Mbim_strncat(small, 8, "xyz", 4, 3), -2);
    EXPECT_STREQ(small, "abcdef");
    // A negative size or count must not become a huge size_t that passes the room check.
    EXPECT_EQ(Mbim_strncat(small, -1, "xyz", 4, 3), -1);
    EXPECT_EQ(Mbim_strncat(small, 8, "xyz", 4, -1), -1);
    EXPECT_EQ(Mbim_strncat(small, 8, "xyz", -4, 3), -1);
    EXPECT_STREQ(small, "abcdef");

    WCHAR wide[8] = u"ab";
    EXPECT_EQ(Mbim_wstrncat(wide, 8, u"cd", 2, 2), 0);
    EXPECT_EQ(memcmp(wide, u"abcd", 5 * sizeof(WCHAR)), 0);
    EXPECT_EQ(Mbim_wstrncat(wide, 8, u"efghij", 6, 6), -2) << "more than the room behind the text";
    EXPECT_EQ(Mbim_wstrncat(wide, 4, u"efghij", 6, 6), -1) << "count above the destination size";
    EXPECT_EQ(Mbim_wstrncat(wide, -1, u"e", 1, 1), -1);
    EXPECT_EQ(Mbim_wstrncat(nullptr, 8, u"e", 1, 1), -2);
}

TEST(OsMemory, SetAndCopy)
{
    uint8_t buffer[8] = {};
    EXPECT_EQ(Mbim_memset(buffer, 8, 0x1AB, 4), 0);
    EXPECT_EQ(buffer[3], 0xAB);
    EXPECT_EQ(buffer[4], 0);
    EXPECT_EQ(Mbim_memset(buffer, 8, 0, 9), -2);
    EXPECT_EQ(Mbim_memset(buffer, -1, 0, 1), -1);
    EXPECT_EQ(buffer[0], 0xAB);

    const uint8_t source[4] = {1, 2, 3, 4};
    EXPECT_EQ(Mbim_memcpy(buffer, 8, source, 4), 0);
    EXPECT_EQ(buffer[3], 4);
    EXPECT_EQ(Mbim_memcpy(buffer, 3, source, 4), -2);
    EXPECT_EQ(Mbim_memcpy(buffer, 8, nullptr, 4), -2);
    EXPECT_EQ(Mbim_memcpy(buffer, 8, source, 0), 0);
    EXPECT_EQ(Mbim_memcpy(buffer, -2, source, 4), -1);

    WCHAR wide[4] = {};
    EXPECT_EQ(Mbim_wmemset(wide, 4, u'z', 4), 0);
    EXPECT_EQ(wide[3], u'z');
    EXPECT_EQ(Mbim_wmemcpy(wide, 4, u"ab", 2), 0);
    EXPECT_EQ(wide[1], u'b');
    EXPECT_EQ(Mbim_wmemcpy(wide, 1, u"ab", 2), -2);
    EXPECT_EQ(Mbim_wstrncpy(wide, 4, u"xy", 2), 0);
    EXPECT_EQ(wide[2], u'\0');
    EXPECT_EQ(Mbim_wstrncpy(wide, -1, u"xy", 2), -1);
}

// ---- events and waits ----------------------------------------------------------------------------

TEST(OsEvents, NamedEventsAreSharedAndWaitsReportTheLowestIndex)
{
    HANDLE first = nullptr, second = nullptr;
    EXPECT_EQ(Mbim_Event_create(nullptr, "OsUtilTestEvent", &first, OS_EVENT_MANUAL_RESET), 0);
    EXPECT_EQ(Mbim_Event_create(nullptr, "OsUtilTestEvent", &second, OS_EVENT_MANUAL_RESET), 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Mbim_Event_wait(second, 0), -2);
    EXPECT_NE(Mbim_Event_set(first), 0);
    EXPECT_EQ(Mbim_Event_wait(second, 0), 0) << "the same object";

    HANDLE a = nullptr, b = nullptr;
    Mbim_Event_create(nullptr, nullptr, &a, OS_EVENT_MANUAL_RESET);
    Mbim_Event_create(nullptr, nullptr, &b, OS_EVENT_MANUAL_RESET | OS_EVENT_INITIAL_SET);
    HANDLE handles[] = {a, b, first};
    EXPECT_EQ(Mbim_Event_wait_multiple(handles, 3, 0), 1);
    Mbim_Event_set(a);
    EXPECT_EQ(Mbim_Event_wait_multiple(handles, 3, 0), 0) << "lowest signalled index wins";
    Mbim_Event_reset(a);
    Mbim_Event_reset(b);
    Mbim_Event_reset(first);
    EXPECT_EQ(Mbim_Event_wait_multiple(handles, 3, 50), -2) << "time-out";
    EXPECT_EQ(Mbim_Event_wait(a, 50), -2);

    for (HANDLE* h : {&first, &second, &a, &b})
        EXPECT_EQ(Mbim_Event_delete(h), 0);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(Mbim_Event_delete(&first), -2) << "already null";
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(Mbim_Event_delete(nullptr), -1);
    EXPECT_EQ(Mbim_Event_set(nullptr), -2);
    EXPECT_EQ(Mbim_Event_reset(nullptr), -2);
    EXPECT_EQ(Mbim_Event_wait_multiple(nullptr, 2, 0), -2);
}

unsigned WINAPI HoldMutexAndEnd(void* mutex)
{
    WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
    return 0;
}

TEST(OsEvents, AnAbandonedOrFailedWaitIsMinusOne)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    HANDLE thread = nullptr;
    ASSERT_EQ(Mbim_Thread_create(nullptr, HoldMutexAndEnd, 0, mutex, &thread), 0);
    EXPECT_EQ(Mbim_Event_wait(thread, INFINITE), 0);
    HANDLE event = nullptr;
    Mbim_Event_create(nullptr, nullptr, &event, OS_EVENT_MANUAL_RESET);
    HANDLE handles[] = {event, mutex};
    EXPECT_EQ(Mbim_Event_wait_multiple(handles, 2, 0), -1) << "abandoned by its ended owner";
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    CloseHandle(thread);
    Mbim_Event_delete(&event);

    HANDLE closed = nullptr;
    Mbim_Event_create(nullptr, nullptr, &closed, 0);
    HANDLE stale = closed;
    Mbim_Event_delete(&closed);
    EXPECT_EQ(Mbim_Event_wait(stale, 0), -1) << "a handle that is no longer valid";
}

// ---- critical sections ---------------------------------------------------------------------------

TEST(OsMutex, LockTryAndNullSections)
{
    CRITICAL_SECTION section;
    Mbim_Mutex_init(&section);
    EXPECT_EQ(Mbim_Mutex_lock(&section), 0);
    EXPECT_EQ(Mbim_Mutex_trylock(&section), 0) << "the owner enters again";
    EXPECT_EQ(Mbim_Mutex_unlock(&section), 0);
    EXPECT_EQ(Mbim_Mutex_unlock(&section), 0);
    Mbim_Mutex_delete(&section);
    EXPECT_EQ(Mbim_Mutex_lock(nullptr), -2);
    EXPECT_EQ(Mbim_Mutex_trylock(nullptr), -2);
    EXPECT_EQ(Mbim_Mutex_unlock(nullptr), -2);
    Mbim_Mutex_delete(nullptr);
    Mbim_Mutex_init(nullptr);
}

// ---- threads with end events ---------------------------------------------------------------------

HANDLE s_gate = nullptr;

// Ends when its record's end event is set.
unsigned WINAPI EndsOnItsEvent(void* argument)
{
    auto* record = static_cast<os_thread_rec*>(argument);
    Mbim_Event_wait(record->end_event, INFINITE);
    return 0;
}

// Ignores its end event until the gate opens.
unsigned WINAPI WaitsForTheGate(void*)
{
    Mbim_Event_wait(s_gate, INFINITE);
    return 0;
}

TEST(OsThreads, EndingAThreadThroughItsRecord)
{
    os_thread_rec record = {};
    ASSERT_EQ(Mbim_Thread_create_with_event("OsUtilTestEnd1", nullptr, EndsOnItsEvent, 0, &record), 0);
    ASSERT_NE(record.thread, nullptr);
    ASSERT_NE(record.end_event, nullptr);
    EXPECT_EQ(Mbim_Thread_exit(&record, 0, 0), -2) << "milliseconds 0";
    EXPECT_EQ(Mbim_Event_wait(record.end_event, 0), -2) << "the end event was not set";
    EXPECT_EQ(Mbim_Thread_exit(&record, 0, 1000), 0);
    EXPECT_EQ(record.thread, nullptr);
    EXPECT_EQ(record.end_event, nullptr);
    EXPECT_EQ(Mbim_Thread_exit(&record, 0, 1000), -2) << "nothing left to end";

    Mbim_Event_create(nullptr, nullptr, &s_gate, OS_EVENT_MANUAL_RESET);
    ASSERT_EQ(Mbim_Thread_create_with_event("OsUtilTestEnd2", nullptr, WaitsForTheGate, 0, &record), 0);
    EXPECT_EQ(Mbim_Thread_exit(&record, 0, 100), -2) << "time-out";
    EXPECT_NE(record.thread, nullptr);
    EXPECT_NE(record.end_event, nullptr);
    Mbim_Event_set(s_gate);
    EXPECT_EQ(Mbim_Thread_exit(&record, 0, INFINITE), 0);
    Mbim_Event_delete(&s_gate);

    EXPECT_EQ(Mbim_Thread_create_with_event(nullptr, nullptr, EndsOnItsEvent, 0, &record), -1) << "no name";
    EXPECT_EQ(record.thread, nullptr);
}

TEST(OsThreads, CreationFailuresLeaveNothingBehind)
{
    os_thread_rec record = {};
    host::FailNextCreations(host::Creation::Event, 1);
    EXPECT_EQ(Mbim_Thread_create_with_event("OsUtilTestFail1", nullptr, EndsOnItsEvent, 0, &record), -1);
    EXPECT_EQ(record.end_event, nullptr);

    host::FailNextCreations(host::Creation::Thread, 1);
    EXPECT_EQ(Mbim_Thread_create_with_event("OsUtilTestFail2", nullptr, EndsOnItsEvent, 0, &record), -1);
    EXPECT_EQ(record.end_event, nullptr) << "the end event is closed again";
    EXPECT_EQ(record.thread, nullptr);

    HANDLE thread = reinterpret_cast<HANDLE>(1);
    host::FailNextCreations(host::Creation::Thread, 1);
    EXPECT_EQ(Mbim_Thread_create(nullptr, WaitsForTheGate, 0, nullptr, &thread), -1);
    EXPECT_EQ(thread, nullptr);

    HANDLE event = reinterpret_cast<HANDLE>(1);
    host::FailNextCreations(host::Creation::Event, 1);
    EXPECT_EQ(Mbim_Event_create(nullptr, "OsUtilTestFail3", &event, OS_EVENT_MANUAL_RESET), 0);
    EXPECT_EQ(event, nullptr) << "create_event reports failure through the handle";
}

TEST(OsThreads, SleepAndIds)
{
    EXPECT_EQ(Mbim_sleep(25), 25u);
    EXPECT_EQ(Mbim_Thread_get_id(), GetCurrentThreadId());
}

} // namespace
