// The wait engine on dispatcher headers, and the kernel's events and waits built on it.
#include "executive_internal.h"

#include <host/verifier.h>

namespace host::exec {
namespace {

bool SignalledFor(const DISPATCHER_HEADER* header, const ThreadRecord* record)
{
    if (header->Type == MutantObject)
        return SignalState(header) > 0 || reinterpret_cast<const Mutant*>(header)->owner == record;
    return SignalState(header) > 0;
}

// Applies what a satisfied wait does to the object: synchronization objects reset, semaphores count
// down, mutants pass to the waiter.
void Consume(DISPATCHER_HEADER* header, ThreadRecord* record)
{
    switch (header->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        SetSignalState(header, 0);
        break;
    case SemaphoreObject:
        SetSignalState(header, SignalState(header) - 1);
        break;
    case MutantObject:
        SetSignalState(header, SignalState(header) - 1);
        reinterpret_cast<Mutant*>(header)->owner = record;
        break;
    default:
        break; // notification objects stay signalled
    }
}

// Satisfies the wait now if it can (lock held).
bool TrySatisfy(ThreadRecord* record, ULONG count, DISPATCHER_HEADER* const* headers, WAIT_TYPE type,
                NTSTATUS* status)
{
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; i++)
            if (SignalledFor(headers[i], record)) {
                Consume(headers[i], record);
                *status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                return true;
            }
        return false;
    }
    for (ULONG i = 0; i < count; i++)
        if (!SignalledFor(headers[i], record))
            return false;
    for (ULONG i = 0; i < count; i++)
        Consume(headers[i], record);
    *status = STATUS_WAIT_0;
    return true;
}

} // namespace

LONG SignalState(const DISPATCHER_HEADER* header) { return __atomic_load_n(&header->SignalState, __ATOMIC_ACQUIRE); }

void SetSignalState(DISPATCHER_HEADER* header, LONG state)
{
    __atomic_store_n(&header->SignalState, state, __ATOMIC_RELEASE);
}

void HeaderInitialize(DISPATCHER_HEADER* header, UCHAR type, LONG signalState)
{
    header->Type = type;
    header->Initialized = 1;
    header->Reserved[0] = header->Reserved[1] = 0;
    SetSignalState(header, signalState);
    InitializeListHead(&header->WaitListHead);
}

bool HasWaitersLocked(const DISPATCHER_HEADER* header) { return X().waited.count(header) != 0; }

void SignalLocked(DISPATCHER_HEADER* header)
{
    if (!HasWaitersLocked(header))
        return;
    PLIST_ENTRY entry = header->WaitListHead.Flink;
    while (entry != &header->WaitListHead && SignalState(header) > 0) {
        PLIST_ENTRY next = entry->Flink;
        KWAIT_BLOCK* block = CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
        auto* record = static_cast<ThreadRecord*>(block->Thread);
        entry = next;
        if (!record->blocked)
            continue; // woken already, not yet unlinked
        ULONG count = block->WaitType == WaitAny ? 1 : record->waitCount;
        DISPATCHER_HEADER* single[1] = {header};
        DISPATCHER_HEADER* all[MAXIMUM_WAIT_OBJECTS];
        for (ULONG i = 0; block->WaitType != WaitAny && i < count; i++)
            all[i] = static_cast<DISPATCHER_HEADER*>(record->blocks[i].Object);
        NTSTATUS status;
        if (TrySatisfy(record, count, block->WaitType == WaitAny ? single : all,
                       static_cast<WAIT_TYPE>(block->WaitType), &status))
            Wake(*record, block->WaitType == WaitAny ? STATUS_WAIT_0 + block->WaitKey : status);
    }
}

NTSTATUS WaitHeaders(ULONG count, DISPATCHER_HEADER* const* headers, WAIT_TYPE type, LONGLONG deadline)
{
    Exec& x = X();
    ThreadRecord& self = Self();
    Lock lock(x.lock);
    NTSTATUS status;
    if (TrySatisfy(&self, count, headers, type, &status))
        return status;
    if (deadline <= NowLocked())
        return STATUS_TIMEOUT;
    for (ULONG i = 0; i < count; i++) {
        KWAIT_BLOCK& block = self.blocks[i];
        block.Thread = &self;
        block.Object = headers[i];
        block.WaitKey = static_cast<USHORT>(i);
        block.WaitType = static_cast<UCHAR>(type);
        InsertTailList(&headers[i]->WaitListHead, &block.WaitListEntry);
        x.waited[headers[i]]++;
    }
    self.waitType = type;
    self.waitCount = count;
    Block(lock, self, deadline);
    for (ULONG i = 0; i < count; i++) {
        RemoveEntryList(&self.blocks[i].WaitListEntry);
        auto it = x.waited.find(headers[i]);
        if (--it->second == 0)
            x.waited.erase(it);
    }
    self.waitCount = 0;
    return self.result;
}

void MutantInitialize(Mutant* mutant, bool owned)
{
    HeaderInitialize(&mutant->Header, MutantObject, owned ? 0 : 1);
    mutant->owner = owned ? &Self() : nullptr;
}

bool MutantRelease(Mutant* mutant)
{
    ThreadRecord& self = Self();
    Lock lock(X().lock);
    if (mutant->owner != &self)
        return false;
    LONG state = SignalState(&mutant->Header) + 1;
    SetSignalState(&mutant->Header, state);
    if (state == 1) {
        mutant->owner = nullptr;
        SignalLocked(&mutant->Header);
    }
    return true;
}

} // namespace host::exec

using namespace host::exec;

extern "C" {

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    UCHAR type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    {
        Lock lock(X().lock);
        if (!HasWaitersLocked(&Event->Header)) {
            HeaderInitialize(&Event->Header, type, State ? 1 : 0);
            return;
        }
        // The waiters stay linked so that their waits still end cleanly.
        Event->Header.Type = type;
        SetSignalState(&Event->Header, State ? 1 : 0);
        SignalLocked(&Event->Header);
    }
    host::VerifierReport(host::Check::EventReinitWithWaiters, "event %p initialised while threads wait on it",
                         static_cast<void*>(Event));
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    Lock lock(X().lock);
    LONG previous = SignalState(&Event->Header);
    SetSignalState(&Event->Header, 1);
    SignalLocked(&Event->Header);
    return previous;
}

void KeClearEvent(PRKEVENT Event) { SetSignalState(&Event->Header, 0); }

LONG KeResetEvent(PRKEVENT Event) { return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_ACQ_REL); }

LONG KeReadStateEvent(PRKEVENT Event) { return SignalState(&Event->Header); }

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    // The host keeps its own wait blocks; the caller's array only decides how many objects are allowed.
    if (Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        host::VerifierReport(host::Check::WaitTooManyObjects, "wait on %u objects %s a wait-block array", Count,
                             WaitBlockArray != nullptr ? "with" : "without");
        return STATUS_INVALID_PARAMETER;
    }
    if (Count == 0 || Object == nullptr || (WaitType != WaitAny && WaitType != WaitAll)) {
        host::VerifierReport(host::Check::InvalidParameter, "wait on %u objects of wait type %d", Count, WaitType);
        return STATUS_INVALID_PARAMETER;
    }
    DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; i++) {
        headers[i] = static_cast<DISPATCHER_HEADER*>(Object[i]);
        if (headers[i] == nullptr || headers[i]->Initialized == 0) {
            host::VerifierReport(host::Check::WaitUninitialisedObject, "wait on object %p, never initialised",
                                 Object[i]);
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (Timeout == nullptr || Timeout->QuadPart != 0)
        CheckBlockingIrql("KeWaitForMultipleObjects");
    return WaitHeaders(Count, headers, WaitType, DeadlineFromTimeout(Timeout, Now()));
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout)
{
    return KeWaitForMultipleObjects(1, &Object, WaitAny, WaitReason, WaitMode, Alertable, Timeout, nullptr);
}

} // extern "C"
