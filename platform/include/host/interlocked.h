// Interlocked operations and ordered accesses, as compiler atomics so that ThreadSanitizer sees them.
#pragma once

#include <ntdef.h>

#define HOST_ILOCK_FN static inline

HOST_ILOCK_FN LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG InterlockedExchange(LONG volatile* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG InterlockedAdd(LONG volatile* p, LONG v) { return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG InterlockedOr(LONG volatile* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG InterlockedAnd(LONG volatile* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG InterlockedXor(LONG volatile* p, LONG v) { return __atomic_fetch_xor(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

HOST_ILOCK_FN LONG64 InterlockedIncrement64(LONG64 volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG64 InterlockedDecrement64(LONG64 volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG64 InterlockedExchange64(LONG64 volatile* p, LONG64 v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG64 InterlockedExchangeAdd64(LONG64 volatile* p, LONG64 v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG64 InterlockedAdd64(LONG64 volatile* p, LONG64 v) { return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG64 InterlockedOr64(LONG64 volatile* p, LONG64 v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG64 InterlockedAnd64(LONG64 volatile* p, LONG64 v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN LONG64 InterlockedCompareExchange64(LONG64 volatile* p, LONG64 exchange, LONG64 comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

HOST_ILOCK_FN PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
HOST_ILOCK_FN PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

#define MemoryBarrier() KeMemoryBarrier()
#define KeMemoryBarrierWithoutFence() __atomic_signal_fence(__ATOMIC_SEQ_CST)
#define _ReadWriteBarrier() __atomic_signal_fence(__ATOMIC_SEQ_CST)

// Plain reads and writes that other processors may race with: relaxed (NoFence) or acquire/release.
#define HOST_ORDERED_ACCESS(rnf, racq, wnf, wrel, type)                                                     \
    HOST_ILOCK_FN type rnf(type const volatile* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }        \
    HOST_ILOCK_FN type racq(type const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }       \
    HOST_ILOCK_FN void wnf(type volatile* p, type v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }         \
    HOST_ILOCK_FN void wrel(type volatile* p, type v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }

HOST_ORDERED_ACCESS(ReadNoFence8, ReadAcquire8, WriteNoFence8, WriteRelease8, CHAR)
HOST_ORDERED_ACCESS(ReadNoFence16, ReadAcquire16, WriteNoFence16, WriteRelease16, SHORT)
HOST_ORDERED_ACCESS(ReadNoFence, ReadAcquire, WriteNoFence, WriteRelease, LONG)
HOST_ORDERED_ACCESS(ReadNoFence64, ReadAcquire64, WriteNoFence64, WriteRelease64, LONG64)
HOST_ORDERED_ACCESS(ReadPointerNoFence, ReadPointerAcquire, WritePointerNoFence, WritePointerRelease, PVOID)
HOST_ORDERED_ACCESS(ReadULongNoFence, ReadULongAcquire, WriteULongNoFence, WriteULongRelease, ULONG)
HOST_ORDERED_ACCESS(ReadULong64NoFence, ReadULong64Acquire, WriteULong64NoFence, WriteULong64Release, ULONG64)
HOST_ORDERED_ACCESS(ReadUCharNoFence, ReadUCharAcquire, WriteUCharNoFence, WriteUCharRelease, UCHAR)
HOST_ORDERED_ACCESS(ReadBooleanNoFence, ReadBooleanAcquire, WriteBooleanNoFence, WriteBooleanRelease, BOOLEAN)

#undef HOST_ORDERED_ACCESS

// A full barrier as x86-64 makes one: a locked read-modify-write (ThreadSanitizer does not model a bare
// fence, and GCC refuses one in its builds).
HOST_ILOCK_FN void KeMemoryBarrier(void)
{
    volatile LONG fence = 0;
    InterlockedOr(&fence, 0);
}
