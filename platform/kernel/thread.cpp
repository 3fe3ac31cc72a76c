// Thread records, system threads and the thread queries.
#include "executive_internal.h"

#include <host/verifier.h>

namespace host::exec {
namespace {

// The thread object: its body is the waitable KTHREAD; it owns the host's record of the thread.
struct ThreadHolder : Object {
    ThreadHolder() : Object(ObjectKind::Thread)
    {
        record.object = this;
        record.kthread.Record = &record;
        ObjectSetBody(this, &record.kthread);
    }
    ThreadRecord record;
};

// Threads the host did not start get a record on first use, ended with the thread.
struct ForeignRecord {
    ThreadRecord* record = nullptr;
    ~ForeignRecord()
    {
        if (record != nullptr)
            RecordExit(record);
    }
};
thread_local ForeignRecord t_foreign;

std::atomic<ULONG_PTR> g_nextThreadId{0x1000};

// Unwinds a system thread to its trampoline.
struct Termination {
    NTSTATUS status;
};

void Trampoline(ThreadRecord* record, PKSTART_ROUTINE start, PVOID context)
{
    SetSelf(record);
    KIRQL irql;
    int locks;
    CallbackEnter("system thread", &irql, &locks);
    try {
        start(context);
    } catch (const Termination&) {
    }
    CallbackLeave("system thread", irql, locks);
    RecordExit(record);
}

} // namespace

constinit thread_local ThreadRecord* t_self = nullptr;

void SetSelf(ThreadRecord* record) { t_self = record; }

ThreadRecord& SelfMake()
{
    ThreadRecord* record = RecordCreate(false);
    t_foreign.record = record;
    t_self = record;
    return *record;
}

ThreadRecord* RecordCreate(bool registered)
{
    Lock lock(X().lock);
    return RecordCreateLocked(registered);
}

ThreadRecord* RecordCreateLocked(bool registered)
{
    auto* object = new ThreadHolder;
    ThreadRecord* record = &object->record;
    HeaderInitialize(&record->kthread.Header, ThreadObject, 0);
    record->id = reinterpret_cast<HANDLE>(g_nextThreadId.fetch_add(4));
    Exec& x = X();
    x.records.insert(record);
    if (registered) {
        record->registered = true;
        x.runnable++;
    }
    return record;
}

void RecordExit(ThreadRecord* record)
{
    Exec& x = X();
    {
        Lock lock(x.lock);
        record->exited = true;
        SetSignalState(&record->kthread.Header, 1);
        SignalLocked(&record->kthread.Header);
        x.records.erase(record);
        x.systemThreads.erase(record);
        UnregisterLocked(lock, *record, true);
    }
    if (t_self == record)
        t_self = nullptr;
    ObjectDereference(record->object);
}

void HostThreadExit(Lock& lock, ThreadRecord*& record)
{
    ThreadRecord* ending = record;
    record = nullptr; // stopping the host must not wake a freed record
    lock.unlock();
    RecordExit(ending);
}

int ThreadLeakCheck(Image* image)
{
    std::vector<HANDLE> leaked;
    {
        Lock lock(X().lock);
        for (ThreadRecord* record : X().systemThreads)
            if (record->image == image)
                leaked.push_back(record->id);
    }
    for (HANDLE id : leaked)
        VerifierReport(Check::ThreadLeak, "image %s unloaded with its thread %p still running",
                       ImageName(image).c_str(), id);
    return static_cast<int>(leaked.size());
}

} // namespace host::exec

using namespace host::exec;

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    if (ThreadHandle == nullptr || StartRoutine == nullptr)
        return STATUS_INVALID_PARAMETER;
    ThreadRecord* record = RecordCreate(true);
    record->systemThread = true;
    record->image = host::ImageFromAddress(reinterpret_cast<const void*>(StartRoutine));
    {
        Lock lock(X().lock);
        X().systemThreads.insert(record);
    }
    // Kernel handles carry full access.
    HANDLE handle = host::HandleCreate(record->object, THREAD_ALL_ACCESS);
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = PsGetCurrentProcessId();
        ClientId->UniqueThread = record->id;
    }
    try {
        std::thread(Trampoline, record, StartRoutine, StartContext).detach();
    } catch (const std::system_error&) {
        host::HandleClose(handle);
        RecordExit(record);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    if (!Self().systemThread) {
        host::VerifierReport(host::Check::InvalidParameter, "PsTerminateSystemThread on a thread it did not create");
        abort();
    }
    throw Termination{ExitStatus};
}

PKTHREAD KeGetCurrentThread(void) { return &Self().kthread; }
PETHREAD PsGetCurrentThread(void) { return &Self().kthread; }
HANDLE PsGetCurrentThreadId(void) { return Self().id; }
HANDLE PsGetCurrentProcessId(void) { return reinterpret_cast<HANDLE>(4); } // the system process

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    Lock lock(X().lock);
    KPRIORITY previous = Thread->Record->priority;
    Thread->Record->priority = Priority;
    return previous;
}

LONG KeSetBasePriorityThread(PKTHREAD Thread, LONG Increment)
{
    Lock lock(X().lock);
    LONG previous = Thread->Record->baseIncrement;
    Thread->Record->baseIncrement = Increment;
    Thread->Record->priority = kDefaultPriority + Increment;
    return previous;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
{
    Lock lock(X().lock);
    return Thread->Record->priority;
}

} // extern "C"
