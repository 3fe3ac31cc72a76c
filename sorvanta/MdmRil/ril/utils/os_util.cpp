#include "os_util.h"

#include "ril_trace.h"

#include <ctype.h>
#include <stdint.h>
#include <string.h>

namespace os_util {
namespace {

// Named and unnamed events of this layer ask for full event access (EVENT_ALL_ACCESS).
constexpr DWORD kEventAllAccess = 0x1F0003;

// The placeholder that stands for a pointer argument in the "Invalid params" lines.
const char* Arg(const void* pointer)
{
    return pointer ? " " : "Null !";
}

// Low 32 bits of a handle, as the wait lines print them.
unsigned HandleBits(HANDLE handle)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle));
}

// Not an indented line: the compare and search primitives write theirs from column 0.
#define OS_TRACE_COL0(...) RIL_TRACE(RIL_MASK_FLOW, __VA_ARGS__)

template <typename Upper>
int CompareBounded(const char* s1, const char* s2, size_t count, Upper upper)
{
    for (size_t i = 0; i < count; i++) {
        signed char a = static_cast<signed char>(upper(s1[i]));
        signed char b = static_cast<signed char>(upper(s2[i]));
        if (a != b)
            return a - b;
        if (a == '\0')
            return 0;
    }
    return 0;
}

char Same(char c)
{
    return c;
}

char Upper(char c)
{
    return static_cast<char>(toupper(static_cast<unsigned char>(c)));
}

// The substring search shared by the exact and the case-insensitive forms; `texts` holds their lines.
struct SearchTexts {
    const char* invalid;
    const char* tooLong;
    const char* found;
    const char* notFound;
};

template <typename Fold>
const char* SearchBounded(const char* src, size_t src_size, const char* sub, size_t sub_size, size_t count,
                          Fold fold, const SearchTexts& texts, bool lengthsInTooLong)
{
    if (src == nullptr || sub == nullptr || count == 0 || src_size == 0 || sub_size == 0 || sub_size > src_size) {
        OS_TRACE_COL0(texts.invalid, src ? src : "Null !", sub ? sub : "Null !", static_cast<int>(count),
                      static_cast<int>(src_size), static_cast<int>(sub_size));
        return nullptr;
    }
    if (sub[0] == '\0')
        return nullptr;
    int srcLen = string_len(src, src_size);
    int subLen = string_len(sub, sub_size);
    size_t compared = count < static_cast<size_t>(subLen) ? count : static_cast<size_t>(subLen);
    if (static_cast<size_t>(srcLen) < count && subLen > srcLen) {
        if (lengthsInTooLong)
            OS_TRACE_COL0(texts.tooLong, subLen, srcLen);
        else
            OS_TRACE_COL0(texts.tooLong);
        return nullptr;
    }
    for (size_t i = 0; i + compared <= static_cast<size_t>(srcLen); i++) {
        if (CompareBounded(src + i, sub, compared, fold) == 0) {
            OS_TRACE_COL0(texts.found, sub);
            return src + i;
        }
    }
    OS_TRACE_COL0(texts.notFound, sub);
    return nullptr;
}

} // namespace

// ---- threads -------------------------------------------------------------------------------------

int create_thread(LPSECURITY_ATTRIBUTES security, os_thread_start start, unsigned flags, void* argument,
                  HANDLE* handle)
{
    RIL_TRACE_OS("create_thread : %s++ \n", __func__);
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(security, 0, start, argument, flags, nullptr));
    if (handle != nullptr)
        *handle = thread;
    if (thread == nullptr) {
        RIL_TRACE_OS("create_thread : %s-- thread creation failed\n", __func__);
        return -1;
    }
    RIL_TRACE_OS("create_thread : %s-- thread creation successfull with handle %p \n", __func__, thread);
    return 0;
}

int create_thread_with_event(LPSECURITY_ATTRIBUTES security, os_thread_start start, unsigned flags,
                             os_thread_rec* record, const char* name)
{
    RIL_TRACE_OS("create_thread_with_event : %s++ for name: %s \n", __func__, name ? name : " ");
    if (name == nullptr || record == nullptr)
        return -1;
    record->end_event = CreateEventExA(nullptr, name, CREATE_EVENT_MANUAL_RESET, kEventAllAccess);
    if (record->end_event != nullptr && GetLastError() == ERROR_ALREADY_EXISTS)
        RIL_TRACE_OS("create_thread_with_event : %s **ERROR##  Event %s already exists!! \n", __func__, name);
    if (record->end_event == nullptr) {
        RIL_TRACE_OS("create_thread_with_event : %s-- ERROR! event creation failed\n", __func__);
        return -1;
    }
    RIL_TRACE_OS("create_thread_with_event : %s Event created with name %s is: %p, will create thread now\n",
                 __func__, name, record->end_event);
    record->thread = reinterpret_cast<HANDLE>(_beginthreadex(security, 0, start, record, flags, nullptr));
    if (record->thread == nullptr) {
        CloseHandle(record->end_event);
        record->end_event = nullptr;
        RIL_TRACE_OS("create_thread_with_event : %s-- ERROR! thread creation failed\n", __func__);
        return -1;
    }
    RIL_TRACE_OS("create_thread_with_event : %s--\n", __func__);
    return 0;
}

void exit_cur_thread(unsigned* exit_code, HANDLE handle)
{
    RIL_TRACE_OS("exit_cur_thread : %s++\n", __func__);
    if (handle != nullptr)
        CloseHandle(handle);
    _endthreadex(exit_code ? *exit_code : 0);
}

int send_thread_end_event(os_thread_rec* record, DWORD milliseconds)
{
    RIL_TRACE_OS("send_thread_end_event : %s++\n", __func__);
    if (record == nullptr || record->end_event == nullptr || record->thread == nullptr || milliseconds == 0) {
        RIL_TRACE_OS("send_thread_end_event : Invalid params %s--\n", __func__);
        return -2;
    }
    SetEvent(record->end_event);
    DWORD result = WaitForSingleObject(record->thread, milliseconds);
    if (result == WAIT_OBJECT_0) {
        CloseHandle(record->thread);
        CloseHandle(record->end_event);
        record->thread = nullptr;
        record->end_event = nullptr;
        RIL_TRACE_OS("send_thread_end_event : %s--\n", __func__);
        return 0;
    }
    if (result == WAIT_TIMEOUT) {
        RIL_TRACE_OS("send_thread_end_event : Time out in  terminating thread %3p, %s--\n", record->thread, __func__);
        return -2;
    }
    RIL_TRACE_OS("send_thread_end_event : Unable to terminate thread %s--\n", __func__);
    return -1;
}

DWORD get_thread_id(void)
{
    RIL_TRACE_OS("get_thread_id : %s++\n", __func__);
    DWORD id = GetCurrentThreadId();
    RIL_TRACE_OS("get_thread_id : %s--\n", __func__);
    return id;
}

int get_thread_priority(HANDLE thread)
{
    RIL_TRACE_OS("get_thread_priority : %s++\n", __func__);
    int priority = GetThreadPriority(thread);
    RIL_TRACE_OS("get_thread_priority : %s--\n", __func__);
    return priority;
}

int set_thread_priority(HANDLE thread, int priority)
{
    RIL_TRACE_OS("set_thread_priority : %s++\n", __func__);
    int result = SetThreadPriority(thread, priority);
    RIL_TRACE_OS("set_thread_priority : %s--\n", __func__);
    return result;
}

DWORD sleep(DWORD milliseconds)
{
    RIL_TRACE_OS("sleep : %s++   ,  %d \n", __func__, milliseconds);
    Sleep(milliseconds);
    RIL_TRACE_OS("sleep : %s--\n", __func__);
    return milliseconds;
}

// ---- critical sections ---------------------------------------------------------------------------

void initilize_critical_section(CRITICAL_SECTION* section)
{
    RIL_TRACE_OS("initilize_critical_section : %s++\n", __func__);
    if (section != nullptr)
        InitializeCriticalSection(section);
    RIL_TRACE_OS("initilize_critical_section : %s--\n", __func__);
}

int enter_critical_section(CRITICAL_SECTION* section)
{
    if (section == nullptr) {
        RIL_TRACE_OS("enter_critical_section : %s Invalid params \n", __func__);
        return -2;
    }
    EnterCriticalSection(section);
    return 0;
}

int try_enter_critical_section(CRITICAL_SECTION* section)
{
    if (section == nullptr) {
        RIL_TRACE_OS("try_enter_critical_section : %s Invalid params \n", __func__);
        return -2;
    }
    if (!TryEnterCriticalSection(section)) {
        RIL_TRACE_OS("try_enter_critical_section : Could not enter critical section %s--\n", __func__);
        return -1;
    }
    RIL_TRACE_OS("try_enter_critical_section : %s--\n", __func__);
    return 0;
}

int leave_critical_section(CRITICAL_SECTION* section)
{
    if (section == nullptr) {
        RIL_TRACE_OS("leave_critical_section : %s Invalid params \n", __func__);
        return -2;
    }
    LeaveCriticalSection(section);
    return 0;
}

void delete_critical_section(CRITICAL_SECTION* section)
{
    if (section == nullptr)
        return;
    DeleteCriticalSection(section);
    RIL_TRACE_OS("delete_critical_section : %s--\n", __func__);
}

// ---- events and waits ----------------------------------------------------------------------------

int create_event(LPSECURITY_ATTRIBUTES security, const char* name, DWORD flags, HANDLE* handle)
{
    RIL_TRACE_OS("create_event : %s++\n", __func__);
    if (handle == nullptr)
        return -2;
    *handle = CreateEventExA(security, name, flags, kEventAllAccess);
    if (*handle != nullptr && name != nullptr && GetLastError() == ERROR_ALREADY_EXISTS)
        RIL_TRACE_OS("create_event :  ERROR** Event %s already exists!\n", name);
    RIL_TRACE_OS("create_event : %s--\n", __func__);
    return 0;
}

int set_event(HANDLE event)
{
    RIL_TRACE_OS("set_event : %s++\n", __func__);
    if (event == nullptr) {
        RIL_TRACE_OS("set_event : Invalid Parameters %s--\n", __func__);
        return -2;
    }
    return SetEvent(event);
}

int reset_event(HANDLE event)
{
    RIL_TRACE_OS("reset_event : %s++\n", __func__);
    if (event == nullptr) {
        RIL_TRACE_OS("reset_event : Invaild Handle %s\n", __func__);
        return -2;
    }
    return ResetEvent(event);
}

int delete_event(HANDLE* event)
{
    RIL_TRACE_OS("delete_event : ++\n");
    if (event == nullptr || *event == nullptr) {
        RIL_TRACE_OS("delete_event : Invaild Handle %s\n", __func__);
        return -2;
    }
    if (!CloseHandle(*event)) {
        RIL_TRACE_OS("delete_event : Failed to close handle\n");
        return -1;
    }
    *event = nullptr;
    RIL_TRACE_OS("delete_event : %s++\n", __func__);
    return 0;
}

int wait_on_single_object(HANDLE handle, DWORD milliseconds)
{
    DWORD result = WaitForSingleObject(handle, milliseconds);
    if (result == WAIT_OBJECT_0) {
        RIL_TRACE_OS("wait_on_single_object :  ev occured on %03d %s--\n", HandleBits(handle), __func__);
        return 0;
    }
    if (result == WAIT_TIMEOUT) {
        RIL_TRACE_OS("wait_on_single_object : Time out on obj %03d in  %s--\n", HandleBits(handle), __func__);
        return -2;
    }
    RIL_TRACE_OS("wait_on_single_object : Error in wait in %s--\n", __func__);
    return -1;
}

int wait_on_multiple_object(const HANDLE* handles, DWORD count, DWORD milliseconds)
{
    if (handles == nullptr || count == 0) {
        RIL_TRACE_OS("wait_on_multiple_object : Error %d  in  %s--\n", -2, __func__);
        return -2;
    }
    DWORD result = WaitForMultipleObjects(count, handles, FALSE, milliseconds);
    unsigned first = HandleBits(handles[0]);
    unsigned second = count > 1 ? HandleBits(handles[1]) : 0;
    if (result == WAIT_TIMEOUT) {
        RIL_TRACE_OS("wait_on_multiple_object : Time out in  wait, ret: %d, hdls { th: %03d , %03d } %s--\n",
                     result, first, second, __func__);
        return -2;
    }
    if (result >= WAIT_OBJECT_0 + count) {
        RIL_TRACE_OS("wait_on_multiple_object : Error %d  in  %s--\n", result, __func__);
        return -1;
    }
    int index = static_cast<int>(result - WAIT_OBJECT_0);
    if (index == 0)
        RIL_TRACE_OS("wait_on_multiple_object : -- 1st multi Ev 1st occurred , res: %d, hdls { th: %03d , %03d } \n",
                     result, first, second);
    else
        RIL_TRACE_OS("wait_on_multiple_object : -- multi ev %d (0 based) occurred , res: %d, hdls { th: %03d , %03d } \n",
                     index, result, first, second);
    return index;
}

// ---- bounded strings and memory ------------------------------------------------------------------

// The narrow and wide bounded copies: exactly `count` units (a binary copy: it does not stop at a NUL;
// string callers pass a count below the destination size), then a NUL when room is left.
template <typename Unit, typename Copy>
int CopyBounded(Unit* dest, size_t dest_size, const Unit* src, size_t count, Copy copy, const char* invalid,
                const char* failed)
{
    if (src == nullptr || count == 0 || dest_size < count) {
        RIL_TRACE_OS(invalid, Arg(dest), static_cast<int>(dest_size), Arg(src), static_cast<int>(count));
        return -2;
    }
    if (copy(dest, dest_size, src, count) != 0) {
        RIL_TRACE_OS(failed, Arg(dest), static_cast<int>(dest_size), Arg(src), static_cast<int>(count));
        return -1;
    }
    if (count < dest_size)
        dest[count] = Unit(0);
    return 0;
}

int string_copy(char* dest, size_t dest_size, const char* src, size_t count)
{
    return CopyBounded(dest, dest_size, src, count,
                       [](char* d, size_t size, const char* s, size_t n) { return memcpy_s(d, size, s, n); },
                       "string_copy : Invaild params; dest %s size: %d src %s size: %d \n",
                       "string_copy : Failed to copy; dest %s size: %d src %s size: %d \n");
}

int wide_string_copy(WCHAR* dest, size_t dest_size, const WCHAR* src, size_t count)
{
    return CopyBounded(dest, dest_size, src, count,
                       [](WCHAR* d, size_t size, const WCHAR* s, size_t n) { return wmemcpy_s(d, size, s, n); },
                       "wide_string_copy : Invalid params; dest %s size: %d src %s size: %d \n",
                       "wide_string_copy : Failed to copy; dest %s size: %d src %s size: %d \n");
}

int string_len(const char* src, size_t max)
{
    if (src == nullptr || max == 0) {
        RIL_TRACE_OS("string_len : Invalid params; src %s size: %d \n", Arg(src), static_cast<int>(max));
        return -2;
    }
    return static_cast<int>(strnlen(src, max));
}

int wide_string_len(const WCHAR* src, size_t max)
{
    if (src == nullptr || max == 0) {
        RIL_TRACE_OS("wide_string_len : Invaild params %s , len= %d\n", src ? " " : "NULL !", static_cast<int>(max));
        return -2;
    }
    return static_cast<int>(wcsnlen(src, max));
}

int string_concat(char* dest, size_t dest_size, const char* src, size_t src_size, size_t count)
{
    if (dest == nullptr || src == nullptr || dest_size == 0 || src_size < count) {
        RIL_TRACE_OS("string_concat : Invaild params srclen: %zd  maxcnt: %zd, destsz: %zd \n", src_size, count,
                     dest_size);
        return -2;
    }
    size_t length = strnlen(dest, dest_size);
    if (dest_size - length < count) {
        RIL_TRACE_OS("string_concat : Invalid params; dest size: %d, avail: %d src size: %d , mincat: %d\n",
                     static_cast<int>(dest_size), static_cast<int>(dest_size - length), static_cast<int>(src_size),
                     static_cast<int>(count));
        return -2;
    }
    memcpy(dest + length, src, count);
    if (length + count < dest_size)
        dest[length + count] = '\0';
    return 0;
}

int wide_string_concat(WCHAR* dest, size_t dest_size, const WCHAR* src, size_t src_size, size_t count)
{
    if (dest == nullptr || src == nullptr) {
        RIL_TRACE_OS("wide_string_concat : Invalid params; dest %s , src %s \n", Arg(dest), Arg(src));
        return -2;
    }
    size_t length = wcsnlen(dest, dest_size);
    size_t room = dest_size - length;
    size_t n = src_size < count ? src_size : count;
    if (room < n) {
        RIL_TRACE_OS("wide_string_concat : Invalid params; dest size: %d, avail: %d src size: %d \n",
                     static_cast<int>(dest_size), static_cast<int>(room), static_cast<int>(src_size));
        return -2;
    }
    if (src_size > room) {
        RIL_TRACE_OS("wide_string_concat : Error occurred; dest %s size: %d srch %s size: %d \n", Arg(dest),
                     static_cast<int>(dest_size), Arg(src), static_cast<int>(src_size));
        return -2;
    }
    wmemcpy(dest + length, src, src_size);
    if (n < room)
        dest[length + n] = u'\0';
    return 0;
}

// The narrow and wide fills: `count` units of `value` into a destination of `dest_size` units.
template <typename Unit, typename Fill>
int FillBounded(Unit* dest, size_t dest_size, int value, size_t count, Fill fill, const char* invalid)
{
    if (dest == nullptr || dest_size == 0 || dest_size < count) {
        RIL_TRACE_OS(invalid, Arg(dest), static_cast<int>(dest_size), value, static_cast<int>(count));
        return -2;
    }
    if (count != 0)
        fill(dest, value, count);
    return 0;
}

int memset_n(void* dest, size_t dest_size, int value, size_t count)
{
    return FillBounded(static_cast<uint8_t*>(dest), dest_size, value, count,
                       [](uint8_t* d, int v, size_t n) { memset(d, v & 0xFF, n); },
                       "memset_n : Invalid params; dest %s size: %d srch %c size: %d \n");
}

int wide_memset_n(WCHAR* dest, size_t dest_size, WCHAR value, size_t count)
{
    return FillBounded(dest, dest_size, value, count,
                       [](WCHAR* d, int v, size_t n) { wmemset(d, static_cast<WCHAR>(v), n); },
                       "wide_memset_n : Invalid params; dest %s size: %d srch %c size: %d \n");
}

int mem_copy(void* dest, size_t dest_size, const void* src, size_t count)
{
    if (src == nullptr || dest_size < count) {
        RIL_TRACE_OS("mem_copy : Invalid params; dest %s size: %d src %s size: %d \n", Arg(dest),
                     static_cast<int>(dest_size), Arg(src), static_cast<int>(count));
        return -2;
    }
    if (count == 0)
        return 0;
    errno_t error = memcpy_s(dest, dest_size, src, count);
    if (error != 0) {
        RIL_TRACE_OS("mem_copy : Invalid params; dest %s size: %d src %s size: %d \n", Arg(dest),
                     static_cast<int>(dest_size), Arg(src), static_cast<int>(count));
        return error;
    }
    return 0;
}

int wide_mem_copy(WCHAR* dest, size_t dest_size, const WCHAR* src, size_t count)
{
    if (dest == nullptr || src == nullptr || dest_size < count) {
        RIL_TRACE_OS("wide_mem_copy : Invalid params; dest %s size: %d src %s size: %d \n", Arg(dest),
                     static_cast<int>(dest_size), Arg(src), static_cast<int>(count));
        return -2;
    }
    errno_t error = wmemcpy_s(dest, dest_size, src, count);
    if (error != 0)
        RIL_TRACE_OS("wide_mem_copy : Invalid params; dest %s size: %d src %s size: %d \n", Arg(dest),
                     static_cast<int>(dest_size), Arg(src), static_cast<int>(count));
    return error;
}

// The exact and case-insensitive bounded compares.
template <typename Fold>
int CompareChecked(const char* s1, size_t s1_size, const char* s2, size_t s2_size, size_t count, Fold fold,
                   const char* invalid)
{
    if (s1 == nullptr || s2 == nullptr || count == 0 || s1_size < count || s2_size < count) {
        OS_TRACE_COL0(invalid, Arg(s1), Arg(s2), static_cast<int>(count), static_cast<int>(s1_size),
                      static_cast<int>(s2_size));
        return -1;
    }
    return CompareBounded(s1, s2, count, fold);
}

int string_compare(const char* s1, size_t s1_size, const char* s2, size_t s2_size, size_t count)
{
    return CompareChecked(s1, s1_size, s2, s2_size, count, Same,
                          "string_compare : Invaild params; dest %s  src %s size: %d  dst_size = %d src_size = %d\n");
}

int string_icompare(const char* s1, size_t s1_size, const char* s2, size_t s2_size, size_t count)
{
    return CompareChecked(s1, s1_size, s2, s2_size, count, Upper,
                          "string_icompare : Invaild params; dest %s  src %s size: %d  dst_size = %d src_size = %d\n");
}

int wide_string_compare(const WCHAR* s1, const WCHAR* s2, size_t count)
{
    if (s1 == nullptr || s2 == nullptr || count == 0) {
        RIL_TRACE_OS("wide_string_compare : Invaild params; dest %s  src %s size: %d \n", Arg(s1), Arg(s2),
                     static_cast<int>(count));
        return 0;
    }
    return wcsncmp(s1, s2, count) == 0 ? 1 : 0;
}

const char* strnstr_s(const char* src, size_t src_size, const char* sub, size_t sub_size, size_t count)
{
    static const SearchTexts texts = {
        "strnstr_s : Invaild params : src_str %s  sub_str %s max_count: %d  src_size = %d sub_str_size = %d\n",
        "strnstr_s : Sub string  len %d is greater than source string len %d \n",
        "strnstr_s : Sub String %s FOUND! in src_str\n",
        "strnstr_s : Sub String %s Not found in src_str\n,",
    };
    return SearchBounded(src, src_size, sub, sub_size, count, Same, texts, true);
}

const char* strnistr_s(const char* src, size_t src_size, const char* sub, size_t sub_size, size_t count)
{
    static const SearchTexts texts = {
        "strnistr_s : Invaild params : src_str %s  sub_str %s max_count: %d  src_size = %d sub_str_size = %d\n",
        "strnistr_s : Sub string is len is greater than source string len\n",
        "strnistr_s : Ok!______ Sub String %s Found in src_str\n",
        "strnistr_s : Sub String %s ### Not found in src_str\n,",
    };
    return SearchBounded(src, src_size, sub, sub_size, count, Upper, texts, false);
}

} // namespace os_util
