// The operating-system layer of the procedural code: each primitive wraps one platform call, checks
// its arguments, turns the result into 0 (success), -1 (the platform call failed) or -2 (invalid
// argument or time-out) and traces. The rest of the library calls the Mbim_ functions only.
#pragma once

#include <windows.h>

#include <stddef.h>

// A thread that can be told to end: the thread's handle and its named end event. Owned by the caller
// and passed to the thread as its argument; both handles are cleared once the thread has been ended.
struct os_thread_rec {
    HANDLE thread;
    HANDLE end_event;
};

// A thread body as _beginthreadex takes it.
typedef unsigned (*os_thread_start)(void* argument);

// Flags of create_event (CreateEventExA's).
#define OS_EVENT_MANUAL_RESET 0x1
#define OS_EVENT_INITIAL_SET 0x2

// The primitives (in their own namespace: `sleep` and friends must not meet the C library's names).
namespace os_util {

int create_thread(LPSECURITY_ATTRIBUTES security, os_thread_start start, unsigned flags, void* argument,
                  HANDLE* handle);
int create_thread_with_event(LPSECURITY_ATTRIBUTES security, os_thread_start start, unsigned flags,
                             os_thread_rec* record, const char* name);
void exit_cur_thread(unsigned* exit_code, HANDLE handle);
int send_thread_end_event(os_thread_rec* record, DWORD milliseconds);
DWORD get_thread_id(void);
int get_thread_priority(HANDLE thread);
int set_thread_priority(HANDLE thread, int priority);
DWORD sleep(DWORD milliseconds);
void initilize_critical_section(CRITICAL_SECTION* section);
int enter_critical_section(CRITICAL_SECTION* section);
int try_enter_critical_section(CRITICAL_SECTION* section);
int leave_critical_section(CRITICAL_SECTION* section);
void delete_critical_section(CRITICAL_SECTION* section);
int create_event(LPSECURITY_ATTRIBUTES security, const char* name, DWORD flags, HANDLE* handle);
int set_event(HANDLE event);
int reset_event(HANDLE event);
int delete_event(HANDLE* event);
int wait_on_single_object(HANDLE handle, DWORD milliseconds);
int wait_on_multiple_object(const HANDLE* handles, DWORD count, DWORD milliseconds);

int string_copy(char* dest, size_t dest_size, const char* src, size_t count);
int wide_string_copy(WCHAR* dest, size_t dest_size, const WCHAR* src, size_t count);
int string_len(const char* src, size_t max);
int wide_string_len(const WCHAR* src, size_t max);
int string_concat(char* dest, size_t dest_size, const char* src, size_t src_size, size_t count);
int wide_string_concat(WCHAR* dest, size_t dest_size, const WCHAR* src, size_t src_size, size_t count);
int memset_n(void* dest, size_t dest_size, int value, size_t count);
int wide_memset_n(WCHAR* dest, size_t dest_size, WCHAR value, size_t count);
int mem_copy(void* dest, size_t dest_size, const void* src, size_t count);
int wide_mem_copy(WCHAR* dest, size_t dest_size, const WCHAR* src, size_t count);
int string_compare(const char* s1, size_t s1_size, const char* s2, size_t s2_size, size_t count);
int string_icompare(const char* s1, size_t s1_size, const char* s2, size_t s2_size, size_t count);
int wide_string_compare(const WCHAR* s1, const WCHAR* s2, size_t count);
const char* strnstr_s(const char* src, size_t src_size, const char* sub, size_t sub_size, size_t count);
const char* strnistr_s(const char* src, size_t src_size, const char* sub, size_t sub_size, size_t count);

} // namespace os_util

// The portable API.
int Mbim_Thread_create(LPSECURITY_ATTRIBUTES security, os_thread_start start, unsigned flags, void* argument,
                       HANDLE* handle);
int Mbim_Thread_create_with_event(const char* name, LPSECURITY_ATTRIBUTES security, os_thread_start start,
                                  unsigned flags, os_thread_rec* record);
void Mbim_Thread_exit_current(unsigned* exit_code, HANDLE handle);
int Mbim_Thread_exit(os_thread_rec* record, int unused, DWORD milliseconds);
DWORD Mbim_Thread_get_id(void);
int Mbim_Thread_get_priority(HANDLE thread);
int Mbim_Thread_set_priority(HANDLE thread, int priority);
DWORD Mbim_sleep(DWORD milliseconds);
void Mbim_Mutex_init(CRITICAL_SECTION* section);
int Mbim_Mutex_lock(CRITICAL_SECTION* section);
int Mbim_Mutex_trylock(CRITICAL_SECTION* section);
int Mbim_Mutex_unlock(CRITICAL_SECTION* section);
void Mbim_Mutex_delete(CRITICAL_SECTION* section);
int Mbim_Event_create(LPSECURITY_ATTRIBUTES security, const char* name, HANDLE* handle, DWORD flags);
int Mbim_Event_set(HANDLE event);
int Mbim_Event_reset(HANDLE event);
int Mbim_Event_delete(HANDLE* event);
int Mbim_Event_wait(HANDLE handle, DWORD milliseconds);
int Mbim_Event_wait_multiple(const HANDLE* handles, DWORD count, DWORD milliseconds);

int Mbim_strncpy(char* dest, int dest_size, const char* src, int count);
int Mbim_wstrncpy(WCHAR* dest, int dest_size, const WCHAR* src, int count);
int Mbim_strlen(const char* src, int max);
int Mbim_wstrlen(const WCHAR* src, int max);
int Mbim_strncat(char* dest, int dest_size, const char* src, int src_size, int count);
int Mbim_wstrncat(WCHAR* dest, int dest_size, const WCHAR* src, int src_size, int count);
int Mbim_memset(void* dest, int dest_size, int value, int count);
int Mbim_wmemset(WCHAR* dest, int dest_size, WCHAR value, int count);
int Mbim_memcpy(void* dest, int dest_size, const void* src, int count);
int Mbim_wmemcpy(WCHAR* dest, int dest_size, const WCHAR* src, int count);
int Mbim_strncmp(const char* s1, int s1_size, const char* s2, int s2_size, int count);
int Mbim_strnicmp(const char* s1, int s1_size, const char* s2, int s2_size, int count);
int Mbim_wstrncmp(const WCHAR* s1, const WCHAR* s2, int count);
const char* Mbim_strnstr(const char* src, int src_size, const char* sub, int sub_size, int count);
const char* Mbim_strnistr(const char* src, int src_size, const char* sub, int sub_size, int count);
