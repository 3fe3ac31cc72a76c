// Emulated processors: each a registered host thread draining its own DPC queue at DISPATCH_LEVEL.
#include "executive_internal.h"

#include <host/verifier.h>

namespace host::exec {
namespace {

constexpr UCHAR kDpcObject = 19;
constexpr UCHAR kThreadedDpcObject = 24;

ULONG CurrentProcessor()
{
    ThreadRecord* self = SelfIfAny();
    return self != nullptr && self->processor >= 0 ? static_cast<ULONG>(self->processor) : 0;
}

ULONG ProcessorCount()
{
    Lock lock(X().lock);
    return static_cast<ULONG>(X().processors.size());
}

} // namespace

void ProcessorMain(Processor* processor)
{
    Exec& x = X();
    processor->record->processor = static_cast<int>(processor->index);
    SetSelf(processor->record);
    Lock lock(x.lock);
    for (;;) {
        if (!processor->runs.empty()) {
            std::function<void()> run = std::move(processor->runs.front());
            processor->runs.pop_front();
            processor->busy = true;
            lock.unlock();
            KIRQL old = KeRaiseIrqlToDpcLevel();
            run();
            KeLowerIrql(old);
            lock.lock();
        } else if (!IsListEmpty(&processor->dpcs)) {
            PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&processor->dpcs), KDPC, DpcListEntry);
            // Cleared before the call, so the routine may queue its DPC again (or free it).
            dpc->DpcData = nullptr;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext;
            PVOID argument1 = dpc->SystemArgument1;
            PVOID argument2 = dpc->SystemArgument2;
            processor->busy = true;
            lock.unlock();
            KIRQL old = KeRaiseIrqlToDpcLevel();
            KIRQL irql;
            int locks;
            CallbackEnter("DPC routine", &irql, &locks);
            routine(dpc, context, argument1, argument2);
            CallbackLeave("DPC routine", irql, locks);
            KeLowerIrql(old);
            lock.lock();
        } else if (x.stopping) {
            break;
        } else {
            IdleWait(lock, *processor->record);
            continue;
        }
        processor->busy = false;
        CheckQuiescersLocked();
    }
    HostThreadExit(lock, processor->record);
}

namespace {

struct Flush {
    KEVENT done;
    LONG left;
};

void FlushMarker(PKDPC dpc, PVOID context, PVOID, PVOID)
{
    UNREFERENCED_PARAMETER(dpc);
    auto* flush = static_cast<Flush*>(context);
    if (InterlockedDecrement(&flush->left) == 0)
        KeSetEvent(&flush->done, IO_NO_INCREMENT, FALSE);
}

} // namespace

bool DpcQueueLocked(PKDPC dpc, PVOID argument1, PVOID argument2)
{
    Exec& x = X();
    if (dpc->DpcData != nullptr || x.processors.empty())
        return false;
    ULONG target = dpc->Number != 0 ? dpc->Number - 1u : CurrentProcessor();
    Processor* processor = x.processors[target < x.processors.size() ? target : 0].get();
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->DpcData = processor;
    if (dpc->Importance == HighImportance)
        InsertHeadList(&processor->dpcs, &dpc->DpcListEntry);
    else
        InsertTailList(&processor->dpcs, &dpc->DpcListEntry);
    WakeIdle(processor->record);
    return true;
}

int DpcLeakCheck(Image* image)
{
    std::vector<PKDPC> leaked;
    {
        Lock lock(X().lock);
        for (auto& processor : X().processors)
            for (PLIST_ENTRY entry = processor->dpcs.Flink; entry != &processor->dpcs; entry = entry->Flink) {
                PKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
                if (ImageFromAddress(reinterpret_cast<const void*>(dpc->DeferredRoutine)) == image)
                    leaked.push_back(dpc);
            }
    }
    for (PKDPC dpc : leaked)
        VerifierReport(Check::DpcLeak, "image %s unloaded with its DPC %p still queued", ImageName(image).c_str(),
                       static_cast<void*>(dpc));
    return static_cast<int>(leaked.size());
}

} // namespace host::exec

namespace host {

bool ProcessorRun(ULONG index, std::function<void()> run)
{
    exec::Exec& x = exec::X();
    exec::Lock lock(x.lock);
    if (index >= x.processors.size())
        return false;
    exec::Processor* processor = x.processors[index].get();
    processor->runs.push_back(std::move(run));
    exec::WakeIdle(processor->record);
    return true;
}

} // namespace host

using namespace host::exec;

extern "C" {

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    memset(Dpc, 0, sizeof(*Dpc));
    Dpc->Type = kDpcObject;
    Dpc->Importance = MediumImportance;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

// Threaded DPCs run as ordinary DPCs, at DISPATCH_LEVEL, as Windows does when threaded DPCs are off.
void KeInitializeThreadedDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    KeInitializeDpc(Dpc, DeferredRoutine, DeferredContext);
    Dpc->Type = kThreadedDpcObject;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    Lock lock(X().lock);
    return DpcQueueLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    Lock lock(X().lock);
    if (Dpc->DpcData == nullptr)
        return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

void KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number)
{
    if (Number < 0 || static_cast<ULONG>(Number) >= ProcessorCount()) {
        host::VerifierReport(host::Check::InvalidParameter, "DPC %p targeted at processor %d of %u",
                             static_cast<void*>(Dpc), Number, ProcessorCount());
        return;
    }
    Dpc->Number = static_cast<USHORT>(Number + 1);
}

NTSTATUS KeSetTargetProcessorDpcEx(PKDPC Dpc, PPROCESSOR_NUMBER ProcNumber)
{
    if (ProcNumber == nullptr || ProcNumber->Group != 0 || ProcNumber->Number >= ProcessorCount())
        return STATUS_INVALID_PARAMETER;
    Dpc->Number = static_cast<USHORT>(ProcNumber->Number + 1);
    return STATUS_SUCCESS;
}

void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = static_cast<UCHAR>(Importance); }

// Queues a marker behind every processor's queue and waits for all of them.
void KeFlushQueuedDpcs(void)
{
    Flush flush;
    KeInitializeEvent(&flush.done, NotificationEvent, FALSE);
    std::vector<KDPC> markers;
    {
        Lock lock(X().lock);
        size_t count = X().processors.size();
        if (count == 0)
            return;
        flush.left = static_cast<LONG>(count);
        markers.resize(count);
        for (size_t i = 0; i < count; i++) {
            KeInitializeDpc(&markers[i], FlushMarker, &flush);
            markers[i].Number = static_cast<USHORT>(i + 1);
            DpcQueueLocked(&markers[i], nullptr, nullptr);
        }
    }
    KeWaitForSingleObject(&flush.done, Executive, KernelMode, FALSE, nullptr);
}

ULONG KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber)
{
    ULONG index = CurrentProcessor();
    if (ProcNumber != nullptr) {
        ProcNumber->Group = 0;
        ProcNumber->Number = static_cast<UCHAR>(index);
        ProcNumber->Reserved = 0;
    }
    return index;
}

ULONG KeGetCurrentProcessorNumber(void) { return CurrentProcessor(); }

ULONG KeQueryActiveProcessorCountEx(USHORT GroupNumber)
{
    return GroupNumber == 0 || GroupNumber == ALL_PROCESSOR_GROUPS ? ProcessorCount() : 0;
}

ULONG KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors)
{
    ULONG count = ProcessorCount();
    if (ActiveProcessors != nullptr)
        *ActiveProcessors = count >= 64 ? ~KAFFINITY{0} : (KAFFINITY{1} << count) - 1;
    return count;
}

NTSTATUS KeGetProcessorNumberFromIndex(ULONG ProcIndex, PPROCESSOR_NUMBER ProcNumber)
{
    if (ProcNumber == nullptr || ProcIndex >= ProcessorCount())
        return STATUS_INVALID_PARAMETER;
    ProcNumber->Group = 0;
    ProcNumber->Number = static_cast<UCHAR>(ProcIndex);
    ProcNumber->Reserved = 0;
    return STATUS_SUCCESS;
}

// Affinity is recorded, not applied: DPCs and threads run where the host put them.
KAFFINITY KeSetSystemAffinityThreadEx(KAFFINITY Affinity)
{
    ThreadRecord& self = Self();
    KAFFINITY previous = self.systemAffinity;
    self.systemAffinity = Affinity;
    return previous;
}

void KeRevertToUserAffinityThreadEx(KAFFINITY Affinity) { Self().systemAffinity = Affinity; }

void KeSetSystemGroupAffinityThread(PGROUP_AFFINITY Affinity, PGROUP_AFFINITY PreviousAffinity)
{
    ThreadRecord& self = Self();
    if (PreviousAffinity != nullptr)
        *PreviousAffinity = self.groupAffinity;
    if (Affinity != nullptr)
        self.groupAffinity = *Affinity;
}

void KeRevertToUserGroupAffinityThread(PGROUP_AFFINITY PreviousAffinity)
{
    ThreadRecord& self = Self();
    self.groupAffinity = PreviousAffinity != nullptr ? *PreviousAffinity : GROUP_AFFINITY{};
}

} // extern "C"
