// The Mbim_ API over the primitives of os_util: most calls forward unchanged; the string and memory
// calls take signed sizes and refuse a negative one before the primitive sees it as a huge size_t.
#include "os_util.h"

#include "ril_trace.h"

using namespace os_util;

int Mbim_Thread_create(LPSECURITY_ATTRIBUTES security, os_thread_start start, unsigned flags, void* argument,
                       HANDLE* handle)
{
    return create_thread(security, start, flags, argument, handle);
}

int Mbim_Thread_create_with_event(const char* name, LPSECURITY_ATTRIBUTES security, os_thread_start start,
                                  unsigned flags, os_thread_rec* record)
{
    return create_thread_with_event(security, start, flags, record, name);
}

void Mbim_Thread_exit_current(unsigned* exit_code, HANDLE handle)
{
    exit_cur_thread(exit_code, handle);
}

int Mbim_Thread_exit(os_thread_rec* record, int, DWORD milliseconds)
{
    RIL_TRACE_OS("Mbim_Thread_exit :  thread hdl: %p, evt hdl: %p\n", record ? record->thread : nullptr,
                 record ? record->end_event : nullptr);
    return send_thread_end_event(record, milliseconds);
}

DWORD Mbim_Thread_get_id(void)
{
    return get_thread_id();
}

int Mbim_Thread_get_priority(HANDLE thread)
{
    return get_thread_priority(thread);
}

int Mbim_Thread_set_priority(HANDLE thread, int priority)
{
    return set_thread_priority(thread, priority);
}

DWORD Mbim_sleep(DWORD milliseconds)
{
    return sleep(milliseconds);
}

void Mbim_Mutex_init(CRITICAL_SECTION* section)
{
    initilize_critical_section(section);
}

int Mbim_Mutex_lock(CRITICAL_SECTION* section)
{
    return enter_critical_section(section);
}

int Mbim_Mutex_trylock(CRITICAL_SECTION* section)
{
    return try_enter_critical_section(section);
}

int Mbim_Mutex_unlock(CRITICAL_SECTION* section)
{
    return leave_critical_section(section);
}

void Mbim_Mutex_delete(CRITICAL_SECTION* section)
{
    delete_critical_section(section);
}

int Mbim_Event_create(LPSECURITY_ATTRIBUTES security, const char* name, HANDLE* handle, DWORD flags)
{
    return create_event(security, name, flags, handle);
}

int Mbim_Event_set(HANDLE event)
{
    return set_event(event);
}

int Mbim_Event_reset(HANDLE event)
{
    return reset_event(event);
}

int Mbim_Event_delete(HANDLE* event)
{
    if (event == nullptr)
        return -1;
    return delete_event(event);
}

int Mbim_Event_wait(HANDLE handle, DWORD milliseconds)
{
    return wait_on_single_object(handle, milliseconds);
}

int Mbim_Event_wait_multiple(const HANDLE* handles, DWORD count, DWORD milliseconds)
{
    return wait_on_multiple_object(handles, count, milliseconds);
}

// ---- bounded strings and memory ------------------------------------------------------------------

namespace {

bool RefuseNegative(const char* function, int size, int reported)
{
    if (size >= 0)
        return false;
    RIL_TRACE_OS("%s : Error! destination size Negative!! src len: %d, return\n", function, reported);
    return true;
}

} // namespace

int Mbim_strncpy(char* dest, int dest_size, const char* src, int count)
{
    if (dest_size <= 0) {
        RIL_TRACE_OS("Mbim_strncpy : Error! destination size Negative!! src len: %d, return\n", count);
        return -1;
    }
    return string_copy(dest, dest_size, src, static_cast<size_t>(count));
}

int Mbim_wstrncpy(WCHAR* dest, int dest_size, const WCHAR* src, int count)
{
    if (RefuseNegative(__func__, dest_size, count))
        return -1;
    return wide_string_copy(dest, dest_size, src, static_cast<size_t>(count));
}

int Mbim_strlen(const char* src, int max)
{
    int length = max < 0 ? -2 : string_len(src, static_cast<size_t>(max));
    return length == -2 ? 0 : length;
}

int Mbim_wstrlen(const WCHAR* src, int max)
{
    if (max < 0)
        return -2;
    return wide_string_len(src, static_cast<size_t>(max));
}

// The siblings' refusal applies here too: a negative size or count would become a huge size_t and
// defeat the room check.
int Mbim_strncat(char* dest, int dest_size, const char* src, int src_size, int count)
{
    if (dest_size <= 0 || src_size < 0 || count < 0) {
        RIL_TRACE_OS("Mbim_strncat : Error! destination size Negative!! src len: %d, return\n", count);
        return -1;
    }
    return string_concat(dest, dest_size, src, src_size, count);
}

int Mbim_wstrncat(WCHAR* dest, int dest_size, const WCHAR* src, int src_size, int count)
{
    if (dest_size < 0 || dest_size < count || src_size < 0 || count < 0) {
        RIL_TRACE_OS("Mbim_wstrncat : Error! out of bounds!!  destlen: %d, src len: %d, catsize: %d return\n",
                     dest_size, src_size, count);
        return -1;
    }
    return wide_string_concat(dest, dest_size, src, src_size, count);
}

int Mbim_memset(void* dest, int dest_size, int value, int count)
{
    if (RefuseNegative(__func__, dest_size, count))
        return -1;
    return memset_n(dest, dest_size, value, static_cast<size_t>(count));
}

int Mbim_wmemset(WCHAR* dest, int dest_size, WCHAR value, int count)
{
    if (RefuseNegative(__func__, dest_size, count))
        return -1;
    return wide_memset_n(dest, dest_size, value, static_cast<size_t>(count));
}

int Mbim_memcpy(void* dest, int dest_size, const void* src, int count)
{
    if (RefuseNegative(__func__, dest_size, count))
        return -1;
    return mem_copy(dest, dest_size, src, static_cast<size_t>(count));
}

int Mbim_wmemcpy(WCHAR* dest, int dest_size, const WCHAR* src, int count)
{
    if (RefuseNegative(__func__, dest_size, count))
        return -1;
    return wide_mem_copy(dest, dest_size, src, static_cast<size_t>(count));
}

namespace {

// The compares need a count above 0 and sizes that are not negative.
bool RefuseCompare(const char* function, int s1_size, int s2_size, int count)
{
    if (count > 0 && s1_size >= 0 && s2_size >= 0)
        return false;
    RIL_TRACE(RIL_MASK_FLOW, "%s : Error! max size not proper!! max len: %d", function, count);
    return true;
}

} // namespace

int Mbim_strncmp(const char* s1, int s1_size, const char* s2, int s2_size, int count)
{
    if (RefuseCompare(__func__, s1_size, s2_size, count))
        return -1;
    return string_compare(s1, s1_size, s2, s2_size, count);
}

int Mbim_strnicmp(const char* s1, int s1_size, const char* s2, int s2_size, int count)
{
    if (RefuseCompare(__func__, s1_size, s2_size, count))
        return -1;
    return string_icompare(s1, s1_size, s2, s2_size, count);
}

int Mbim_wstrncmp(const WCHAR* s1, const WCHAR* s2, int count)
{
    if (count < 0) {
        RIL_TRACE_OS("Mbim_wstrncmp : Error! max size Negative!! max len: %d", count);
        return -1;
    }
    return wide_string_compare(s1, s2, static_cast<size_t>(count));
}

const char* Mbim_strnstr(const char* src, int src_size, const char* sub, int sub_size, int count)
{
    if (count == 0) {
        RIL_TRACE_OS("Mbim_strnstr : Error! max size Not proper!! max len: %d", count);
        return nullptr;
    }
    if (src_size < 0 || sub_size < 0 || count < 0)
        return nullptr;
    return strnstr_s(src, src_size, sub, sub_size, count);
}

const char* Mbim_strnistr(const char* src, int src_size, const char* sub, int sub_size, int count)
{
    if (src_size < 0 || sub_size < 0 || count < 0)
        return nullptr;
    return strnistr_s(src, src_size, sub, sub_size, count);
}
