// Base types, status values, lists and counted strings with their 64-bit Windows sizes.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <type_traits>

#include <sal.h>

#define VOID void
typedef char CHAR;
typedef unsigned char UCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t DWORD64;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef int32_t LONG32;
typedef uint32_t ULONG32;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef size_t SIZE_T;
typedef intptr_t SSIZE_T;
typedef uint8_t BOOLEAN;
typedef char16_t WCHAR;
typedef int16_t CSHORT;
typedef char CCHAR;
typedef LONG NTSTATUS;
typedef ULONG_PTR KAFFINITY;
typedef LONG KPRIORITY;
typedef ULONG LOGICAL;

typedef void* PVOID;
typedef const void* PCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCSZ;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef SHORT* PSHORT;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef ULONG64* PULONG64;
typedef LONG64* PLONG64;
typedef ULONGLONG* PULONGLONG;
typedef LONGLONG* PLONGLONG;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef NTSTATUS* PNTSTATUS;
typedef KAFFINITY* PKAFFINITY;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define ANYSIZE_ARRAY 1
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffUL
#define MAXLONG 0x7fffffffL
#define MAXULONG_PTR (~(ULONG_PTR)0)

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - offsetof(type, field)))
#define ALIGN_UP_BY(length, alignment) (((ULONG_PTR)(length) + (alignment) - 1) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))

// Status values. A value is success when its top two bits are 00 or 01.
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_1 ((NTSTATUS)0x00000001L)
#define STATUS_WAIT_63 ((NTSTATUS)0x0000003FL)
#define STATUS_ABANDONED ((NTSTATUS)0x00000080L)
#define STATUS_ABANDONED_WAIT_0 ((NTSTATUS)0x00000080L)
#define STATUS_USER_APC ((NTSTATUS)0x000000C0L)
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_MORE_ENTRIES ((NTSTATUS)0x00000105L)
#define STATUS_OBJECT_NAME_EXISTS ((NTSTATUS)0x40000000L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#define STATUS_INTEGER_OVERFLOW ((NTSTATUS)0xC0000095L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#define STATUS_INTERNAL_ERROR ((NTSTATUS)0xC00000E5L)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_NAME_TOO_LONG ((NTSTATUS)0xC0000106L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_DRIVER_ENTRYPOINT_NOT_FOUND ((NTSTATUS)0xC0000263L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#define STATUS_POWER_STATE_INVALID ((NTSTATUS)0xC00002D3L)

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;
static_assert(sizeof(GUID) == 16, "GUID keeps its Windows layout");

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool InlineIsEqualGUID(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                      \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without a terminator
    USHORT MaximumLength; // bytes
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

// Works for both wide (u"...") and narrow literals; the buffer type follows the literal.
#define RTL_CONSTANT_STRING(s)                                                                             \
    {                                                                                                      \
        (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s),                                           \
            const_cast<std::remove_const_t<std::remove_reference_t<decltype((s)[0])>>*>(s)                \
    }

// Corrupted list links end the process at once, as the kernel's fast-fail does.
#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
extern "C" [[noreturn]] void __fastfail(unsigned int Code);

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

inline void InitializeListHead(PLIST_ENTRY ListHead) { ListHead->Flink = ListHead->Blink = ListHead; }

inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) { return (BOOLEAN)(ListHead->Flink == ListHead); }

inline void RtlpCheckListEntry(PLIST_ENTRY Entry)
{
    if (Entry->Flink->Blink != Entry || Entry->Blink->Flink != Entry)
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
}

inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = Entry->Flink;
    PLIST_ENTRY prev = Entry->Blink;
    if (next->Blink != Entry || prev->Flink != Entry)
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    prev->Flink = next;
    next->Blink = prev;
    return (BOOLEAN)(next == prev);
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Flink;
    PLIST_ENTRY next = entry->Flink;
    if (entry->Blink != ListHead || next->Blink != entry)
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    ListHead->Flink = next;
    next->Blink = ListHead;
    return entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Blink;
    PLIST_ENTRY prev = entry->Blink;
    if (entry->Flink != ListHead || prev->Flink != entry)
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    ListHead->Blink = prev;
    prev->Flink = ListHead;
    return entry;
}

inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY prev = ListHead->Blink;
    if (prev->Flink != ListHead)
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    Entry->Flink = ListHead;
    Entry->Blink = prev;
    prev->Flink = Entry;
    ListHead->Blink = Entry;
}

inline void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = ListHead->Flink;
    if (next->Blink != ListHead)
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    Entry->Flink = next;
    Entry->Blink = ListHead;
    next->Blink = Entry;
    ListHead->Flink = Entry;
}

inline void PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry)
{
    Entry->Next = ListHead->Next;
    ListHead->Next = Entry;
}

inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead)
{
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    if (first != nullptr)
        ListHead->Next = first->Next;
    return first;
}

#define _ReturnAddress() __builtin_return_address(0)
