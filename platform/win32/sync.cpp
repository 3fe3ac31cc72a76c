// Win32 events, mutexes, waits, critical sections and condition variables on the executive's dispatcher
// headers: one wait engine and one clock for kernel and user code.
#include <synchapi.h>

#include <host/process.h>
#include <host/verifier.h>

#include "kernel/executive_internal.h"
#include "win32_internal.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>

using namespace host::exec;

namespace host::win32 {
namespace {

// ---------------------------------------------------------------------------------------------
// Failure injection.

struct Injection {
    ULONG count = 0;
    DWORD error = ERROR_SUCCESS;
    ULONG skip = 0; // creations that still succeed first
};
thread_local Injection t_injections[2];

Injection& InjectionFor(Creation kind) { return t_injections[kind == Creation::Thread ? 0 : 1]; }

// ---------------------------------------------------------------------------------------------
// Named objects. Win32 names live in a session's namespace: "Global\" names session 0's, "Local\" and
// bare names the caller's session. Names are case-sensitive, as Win32 object names are. A name lives as
// long as its object.

using NameKey = std::pair<ULONG, std::u16string>;

struct NamedObject : Object {
    using Object::Object;
    ~NamedObject() override;
    NameKey name;
    bool named = false;
};

struct Namespace {
    std::mutex lock;
    std::map<NameKey, NamedObject*> objects;
};

Namespace& Names()
{
    static Namespace* names = new Namespace; // objects may die on threads that outlive static teardown
    return *names;
}

NamedObject::~NamedObject()
{
    if (!named)
        return;
    Namespace& names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    auto it = names.objects.find(name);
    if (it != names.objects.end() && it->second == this)
        names.objects.erase(it);
}

// A reference on an object found in the namespace, unless it is already on its way out.
bool TryReference(Object* object)
{
    long count = object->references.load();
    while (count > 0)
        if (object->references.compare_exchange_weak(count, count + 1))
            return true;
    return false;
}

DWORD ParseName(LPCWSTR text, NameKey* key)
{
    std::u16string_view name(text);
    ULONG session = CurrentProcess().sessionId;
    constexpr std::u16string_view kGlobal = u"Global\\";
    constexpr std::u16string_view kLocal = u"Local\\";
    if (name.starts_with(kGlobal)) {
        session = 0;
        name.remove_prefix(kGlobal.size());
    } else if (name.starts_with(kLocal)) {
        name.remove_prefix(kLocal.size());
    }
    if (name.size() > MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    if (name.empty() || name.find(u'\\') != std::u16string_view::npos)
        return ERROR_PATH_NOT_FOUND; // another directory of the object namespace: none exists here
    *key = NameKey(session, std::u16string(name));
    return ERROR_SUCCESS;
}

// The Win32 creation pattern: an unnamed object is always new; a named one is opened when the name
// exists (ERROR_ALREADY_EXISTS, or ERROR_INVALID_HANDLE when it names an object of another kind).
template <class Make>
HANDLE CreateNamed(LPCWSTR name, ObjectKind kind, ACCESS_MASK access, Make make)
{
    NamedObject* object = nullptr;
    DWORD error = ERROR_SUCCESS;
    if (name != nullptr && name[0] != 0) {
        NameKey key;
        if (DWORD bad = ParseName(name, &key); bad != ERROR_SUCCESS) {
            SetLastError(bad);
            return nullptr;
        }
        Namespace& names = Names();
        std::lock_guard<std::mutex> guard(names.lock);
        auto it = names.objects.find(key);
        if (it != names.objects.end() && TryReference(it->second)) {
            object = it->second;
            error = ERROR_ALREADY_EXISTS;
        } else {
            object = make();
            object->name = std::move(key);
            object->named = true;
            names.objects[object->name] = object;
        }
    } else {
        object = make();
    }
    if (object->kind != kind) {
        ObjectDereference(object);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HANDLE handle = HandleCreate(object, access);
    ObjectDereference(object);
    SetLastError(error);
    return handle;
}

HANDLE OpenNamed(LPCWSTR name, ObjectKind kind, ACCESS_MASK access)
{
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    NameKey key;
    if (DWORD bad = ParseName(name, &key); bad != ERROR_SUCCESS) {
        SetLastError(bad == ERROR_PATH_NOT_FOUND && name[0] == 0 ? ERROR_FILE_NOT_FOUND : bad);
        return nullptr;
    }
    NamedObject* object = nullptr;
    {
        Namespace& names = Names();
        std::lock_guard<std::mutex> guard(names.lock);
        auto it = names.objects.find(key);
        if (it != names.objects.end() && TryReference(it->second))
            object = it->second;
    }
    if (object == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    HANDLE handle = nullptr;
    if (object->kind == kind)
        handle = HandleCreate(object, access);
    else
        SetLastError(ERROR_INVALID_HANDLE);
    ObjectDereference(object);
    return handle;
}

// Generic rights folded into the object's own rights.
ACCESS_MASK MapAccess(ACCESS_MASK desired, ACCESS_MASK modify, ACCESS_MASK all)
{
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        desired |= all;
    if (desired & GENERIC_READ)
        desired |= READ_CONTROL | SYNCHRONIZE;
    if (desired & GENERIC_WRITE)
        desired |= modify;
    if (desired & GENERIC_EXECUTE)
        desired |= SYNCHRONIZE;
    return desired & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED);
}

// ---------------------------------------------------------------------------------------------
// Events and mutexes.

struct EventObject : NamedObject {
    EventObject(bool manualReset, bool initialState) : NamedObject(ObjectKind::Event)
    {
        KeInitializeEvent(&event, manualReset ? NotificationEvent : SynchronizationEvent, initialState);
        ObjectSetBody(this, &event);
    }
    KEVENT event{};
};

struct Mutexes {
    std::mutex lock;
    std::set<struct MutexObject*> live;
};

Mutexes& LiveMutexes()
{
    static Mutexes* mutexes = new Mutexes;
    return *mutexes;
}

struct MutexObject : NamedObject {
    explicit MutexObject(bool owned) : NamedObject(ObjectKind::Mutex)
    {
        MutantInitialize(&mutant, owned);
        ObjectSetBody(this, &mutant);
        std::lock_guard<std::mutex> guard(LiveMutexes().lock);
        LiveMutexes().live.insert(this);
    }
    ~MutexObject() override
    {
        std::lock_guard<std::mutex> guard(LiveMutexes().lock);
        LiveMutexes().live.erase(this);
    }
    Mutant mutant{};
    bool abandoned = false; // dispatcher lock: its owner ended; the next acquirer is told
};

HANDLE CreateEventCommon(LPCWSTR name, bool manualReset, bool initialState, ACCESS_MASK access)
{
    if (InjectedFailure(Creation::Event))
        return nullptr;
    return CreateNamed(name, ObjectKind::Event, MapAccess(access, EVENT_MODIFY_STATE, EVENT_ALL_ACCESS),
                       [&] { return new EventObject(manualReset, initialState); });
}

HANDLE CreateMutexCommon(LPCWSTR name, bool initialOwner)
{
    // Opening an existing mutex by name never takes ownership of it.
    return CreateNamed(name, ObjectKind::Mutex, MUTEX_ALL_ACCESS, [&] { return new MutexObject(initialOwner); });
}

BOOL WithEvent(HANDLE handle, void (*change)(PKEVENT event))
{
    Object* object = nullptr;
    NTSTATUS status = HandleReference(handle, ObjectKind::Event, EVENT_MODIFY_STATE, &object, nullptr);
    if (!NT_SUCCESS(status))
        return Fail(ErrorFromStatus(status));
    change(&static_cast<EventObject*>(object)->event);
    ObjectDereference(object);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Waits.

DWORD Wait(DWORD count, const HANDLE* handles, bool all, DWORD milliseconds)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    Object* objects[MAXIMUM_WAIT_OBJECTS];
    DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
    DWORD referenced = 0;
    DWORD error = ERROR_SUCCESS;
    for (; referenced < count; referenced++) {
        NTSTATUS status = WaitableReference(handles[referenced], SYNCHRONIZE, &objects[referenced]);
        if (!NT_SUCCESS(status)) {
            error = ErrorFromStatus(status);
            break;
        }
        headers[referenced] = static_cast<DISPATCHER_HEADER*>(objects[referenced]->body);
        // A wait-all names each object once.
        for (DWORD j = 0; all && j < referenced; j++)
            if (headers[j] == headers[referenced])
                error = ERROR_INVALID_PARAMETER;
    }
    DWORD result = WAIT_FAILED;
    if (error == ERROR_SUCCESS) {
        if (milliseconds != 0)
            CheckBlockingIrql(all ? "WaitForMultipleObjects" : "WaitForSingleObject");
        NTSTATUS status = WaitHeaders(count, headers, all ? WaitAll : WaitAny, DeadlineAfter(milliseconds));
        if (status == STATUS_TIMEOUT) {
            result = WAIT_TIMEOUT;
        } else {
            result = WAIT_OBJECT_0 + static_cast<DWORD>(status - STATUS_WAIT_0);
            // The waiter now owns the mutexes it waited for: an abandoned one is reported (and healed).
            ThreadRecord* self = &Self();
            Lock lock(X().lock);
            for (DWORD i = 0; i < count; i++) {
                if (objects[i]->kind != ObjectKind::Mutex || (!all && i != result - WAIT_OBJECT_0))
                    continue;
                auto* mutex = static_cast<MutexObject*>(objects[i]);
                if (mutex->abandoned && mutex->mutant.owner == self) {
                    mutex->abandoned = false;
                    result = WAIT_ABANDONED_0 + (all ? 0 : i);
                }
            }
        }
    }
    for (DWORD i = 0; i < referenced; i++)
        ObjectDereference(objects[i]);
    if (result == WAIT_FAILED)
        SetLastError(error);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Critical sections: a host mutant behind DebugInfo, so that a blocked Enter is a host wait.

struct SectionLock {
    Mutant mutant;
};

SectionLock* SectionOf(LPCRITICAL_SECTION section, const char* what)
{
    auto* lock = section != nullptr ? static_cast<SectionLock*>(section->DebugInfo) : nullptr;
    if (lock == nullptr)
        VerifierReport(Check::InvalidParameter, "%s on critical section %p, not initialised", what,
                       static_cast<void*>(section));
    return lock;
}

void SectionInitialize(LPCRITICAL_SECTION section, DWORD spinCount)
{
    auto* lock = new SectionLock;
    MutantInitialize(&lock->mutant, false);
    *section = RTL_CRITICAL_SECTION{lock, -1, 0, nullptr, nullptr, spinCount};
}

bool SectionAcquire(LPCRITICAL_SECTION section, LONGLONG deadline, const char* what)
{
    SectionLock* lock = SectionOf(section, what);
    if (lock == nullptr)
        return false;
    DISPATCHER_HEADER* header = &lock->mutant.Header;
    if (deadline != 0)
        CheckBlockingIrql(what);
    if (WaitHeaders(1, &header, WaitAny, deadline) != STATUS_WAIT_0)
        return false;
    // Written by the owner only; ownership passes through the dispatcher lock.
    section->OwningThread = Self().id;
    section->RecursionCount++;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Condition variables: each sleeper waits on a header of its own, queued under the variable's address
// (dispatcher lock); a wake signals the oldest. Nothing is allocated for a variable without sleepers,
// as Windows allows condition variables that are never deleted.

std::unordered_map<const void*, std::deque<DISPATCHER_HEADER*>>& Sleepers()
{
    static auto* sleepers = new std::unordered_map<const void*, std::deque<DISPATCHER_HEADER*>>;
    return *sleepers;
}

void WakeSleepers(PCONDITION_VARIABLE variable, bool all)
{
    Lock lock(X().lock);
    auto it = Sleepers().find(variable);
    if (it == Sleepers().end())
        return;
    do {
        DISPATCHER_HEADER* header = it->second.front();
        it->second.pop_front();
        SetSignalState(header, 1);
        SignalLocked(header);
    } while (all && !it->second.empty());
    if (it->second.empty())
        Sleepers().erase(it);
}

} // namespace

NTSTATUS WaitableReference(HANDLE handle, ACCESS_MASK desired, Object** object)
{
    ACCESS_MASK granted = 0;
    NTSTATUS status = HandleReference(handle, ObjectKind::Any, 0, object, &granted);
    if (!NT_SUCCESS(status))
        return status;
    // The kind is checked before the access, so a handle that can never be waited on says so.
    switch ((*object)->kind) {
    case ObjectKind::Thread:
    case ObjectKind::Event:
    case ObjectKind::Mutex:
    case ObjectKind::Semaphore:
        status = (desired & ~granted) == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
        break;
    default:
        status = STATUS_OBJECT_TYPE_MISMATCH;
        break;
    }
    if (!NT_SUCCESS(status)) {
        ObjectDereference(*object);
        *object = nullptr;
    }
    return status;
}

void AbandonMutexesOf(ThreadRecord* record)
{
    Mutexes& mutexes = LiveMutexes();
    std::lock_guard<std::mutex> guard(mutexes.lock);
    Lock lock(X().lock);
    for (MutexObject* mutex : mutexes.live) {
        if (mutex->mutant.owner != record)
            continue;
        mutex->mutant.owner = nullptr;
        mutex->abandoned = true;
        SetSignalState(&mutex->mutant.Header, 1);
        SignalLocked(&mutex->mutant.Header);
    }
}

bool InjectedFailure(Creation kind)
{
    Injection& injection = InjectionFor(kind);
    if (injection.count == 0)
        return false;
    if (injection.skip > 0) {
        injection.skip--;
        return false;
    }
    injection.count--;
    SetLastError(injection.error);
    return true;
}

} // namespace host::win32

namespace host {

void FailNextCreations(Creation kind, ULONG count, DWORD error, ULONG after)
{
    win32::InjectionFor(kind) = win32::Injection{count, error, after};
}

NTSTATUS EventObjectFromHandle(HANDLE handle, PKEVENT* event)
{
    Object* object = nullptr;
    NTSTATUS status = HandleReference(handle, ObjectKind::Event, 0, &object, nullptr);
    if (NT_SUCCESS(status))
        *event = &static_cast<win32::EventObject*>(object)->event;
    return status;
}

} // namespace host

using namespace host::win32;

extern "C" {

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    UNREFERENCED_PARAMETER(lpEventAttributes);
    return CreateEventCommon(lpName, bManualReset, bInitialState, EVENT_ALL_ACCESS);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, WideText(lpName).get());
}

HANDLE CreateEventExW(LPSECURITY_ATTRIBUTES lpEventAttributes, LPCWSTR lpName, DWORD dwFlags, DWORD dwDesiredAccess)
{
    UNREFERENCED_PARAMETER(lpEventAttributes);
    if ((dwFlags & ~(CREATE_EVENT_MANUAL_RESET | CREATE_EVENT_INITIAL_SET)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateEventCommon(lpName, dwFlags & CREATE_EVENT_MANUAL_RESET, dwFlags & CREATE_EVENT_INITIAL_SET,
                             dwDesiredAccess);
}

HANDLE CreateEventExA(LPSECURITY_ATTRIBUTES lpEventAttributes, LPCSTR lpName, DWORD dwFlags, DWORD dwDesiredAccess)
{
    return CreateEventExW(lpEventAttributes, WideText(lpName).get(), dwFlags, dwDesiredAccess);
}

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    UNREFERENCED_PARAMETER(bInheritHandle);
    return OpenNamed(lpName, host::ObjectKind::Event, MapAccess(dwDesiredAccess, EVENT_MODIFY_STATE, EVENT_ALL_ACCESS));
}

HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    return OpenEventW(dwDesiredAccess, bInheritHandle, WideText(lpName).get());
}

BOOL SetEvent(HANDLE hEvent)
{
    return WithEvent(hEvent, [](PKEVENT event) { KeSetEvent(event, IO_NO_INCREMENT, FALSE); });
}

BOOL ResetEvent(HANDLE hEvent)
{
    return WithEvent(hEvent, [](PKEVENT event) { KeClearEvent(event); });
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    UNREFERENCED_PARAMETER(lpMutexAttributes);
    return CreateMutexCommon(lpName, bInitialOwner);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName)
{
    return CreateMutexW(lpMutexAttributes, bInitialOwner, WideText(lpName).get());
}

BOOL ReleaseMutex(HANDLE hMutex)
{
    host::Object* object = nullptr;
    NTSTATUS status = host::HandleReference(hMutex, host::ObjectKind::Mutex, 0, &object, nullptr);
    if (!NT_SUCCESS(status))
        return Fail(ErrorFromStatus(status));
    bool released = MutantRelease(&static_cast<MutexObject*>(object)->mutant);
    host::ObjectDereference(object);
    return released ? TRUE : Fail(ERROR_NOT_OWNER);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) { return Wait(1, &hHandle, false, dwMilliseconds); }

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    return Wait(nCount, lpHandles, bWaitAll, dwMilliseconds);
}

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { SectionInitialize(lpCriticalSection, 0); }

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount)
{
    SectionInitialize(lpCriticalSection, dwSpinCount);
    return TRUE;
}

BOOL InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount, DWORD Flags)
{
    UNREFERENCED_PARAMETER(Flags);
    SectionInitialize(lpCriticalSection, dwSpinCount);
    return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    SectionAcquire(lpCriticalSection, kInfinite, "EnterCriticalSection");
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    return SectionAcquire(lpCriticalSection, 0, "TryEnterCriticalSection");
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    SectionLock* lock = SectionOf(lpCriticalSection, "LeaveCriticalSection");
    if (lock == nullptr)
        return;
    if (lock->mutant.owner != &Self()) {
        host::VerifierReport(host::Check::InvalidParameter, "LeaveCriticalSection on %p by a thread that does not own it",
                             static_cast<void*>(lpCriticalSection));
        return;
    }
    if (--lpCriticalSection->RecursionCount == 0)
        lpCriticalSection->OwningThread = nullptr;
    MutantRelease(&lock->mutant);
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    SectionLock* lock = SectionOf(lpCriticalSection, "DeleteCriticalSection");
    if (lock == nullptr)
        return;
    bool waited;
    {
        Lock guard(X().lock);
        waited = HasWaitersLocked(&lock->mutant.Header);
    }
    if (waited) {
        host::VerifierReport(host::Check::InvalidParameter, "DeleteCriticalSection on %p while threads wait for it",
                             static_cast<void*>(lpCriticalSection));
        return;
    }
    delete lock;
    lpCriticalSection->DebugInfo = nullptr;
}

void InitializeConditionVariable(PCONDITION_VARIABLE ConditionVariable) { ConditionVariable->Ptr = nullptr; }

BOOL SleepConditionVariableCS(PCONDITION_VARIABLE ConditionVariable, PCRITICAL_SECTION CriticalSection,
                              DWORD dwMilliseconds)
{
    if (SectionOf(CriticalSection, "SleepConditionVariableCS") == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    DISPATCHER_HEADER header;
    HeaderInitialize(&header, EventSynchronizationObject, 0);
    DISPATCHER_HEADER* headers[1] = {&header};
    {
        Lock lock(X().lock);
        Sleepers()[ConditionVariable].push_back(&header);
    }
    LeaveCriticalSection(CriticalSection);
    if (dwMilliseconds != 0)
        CheckBlockingIrql("SleepConditionVariableCS");
    bool woken = WaitHeaders(1, headers, WaitAny, DeadlineAfter(dwMilliseconds)) == STATUS_WAIT_0;
    if (!woken) {
        // A wake that took this sleeper off the queue after the time-out still counts: it is not lost.
        Lock lock(X().lock);
        auto it = Sleepers().find(ConditionVariable);
        woken = true;
        if (it != Sleepers().end()) {
            auto found = std::find(it->second.begin(), it->second.end(), &header);
            if (found != it->second.end()) {
                it->second.erase(found);
                woken = false;
            }
            if (it->second.empty())
                Sleepers().erase(it);
        }
    }
    EnterCriticalSection(CriticalSection);
    return woken ? TRUE : Fail(ERROR_TIMEOUT);
}

void WakeConditionVariable(PCONDITION_VARIABLE ConditionVariable) { WakeSleepers(ConditionVariable, false); }

void WakeAllConditionVariable(PCONDITION_VARIABLE ConditionVariable) { WakeSleepers(ConditionVariable, true); }

} // extern "C"
