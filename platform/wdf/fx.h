// The framework's object model: every handle is an fx::Object with a parent, children, contexts,
// callbacks and a reference count. Private to the platform library.
#pragma once

#include <wdf.h>

#include <host/executive.h>
#include <host/image.h>

#include <atomic>
#include <string>
#include <vector>

namespace fx
{

enum class Kind : ULONG {
    Any, // only as a query
    Generic,
    Driver,
    SpinLock,
    WaitLock,
    WorkItem,
    Timer,
    Dpc,
    Memory,
    Device,
    Queue,
    Request,
    IoTarget,
    FileObject,
    Key,
    String,
    ResourceList,
    Interrupt,
    DmaEnabler,
    CommonBuffer,
    NetAdapter,
    NetConfiguration,
    NetPacketQueue,
};

const char* KindName(Kind kind);

// The lock behind WdfObjectAcquireLock and automatic serialisation: a spin lock for objects that run
// at DISPATCH_LEVEL, a wait lock (a synchronization event) for passive ones.
struct PresentationLock {
    bool passive = false;
    KSPIN_LOCK spin = 0;
    KIRQL irql = PASSIVE_LEVEL;
    KEVENT event{};
};

struct Context {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy;
    void* data;
};

struct Object {
    explicit Object(Kind kind) : kind(kind) {}
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // Stops what the object does before its cleanup callbacks run (flush, cancel and wait).
    virtual void Dispose() {}

    const Kind kind;
    Object* parent = nullptr;
    std::vector<Object*> children; // guarded by the tree lock
    std::vector<Context> contexts; // guarded by the tree lock
    // The first typed context, for lookups without the tree lock: set once (data before type), never
    // changed while the object lives.
    std::atomic<PCWDF_OBJECT_CONTEXT_TYPE_INFO> firstType{nullptr};
    void* firstData = nullptr;
    WDF_EXECUTION_LEVEL executionLevel = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope = WdfSynchronizationScopeInheritFromParent;
    std::atomic<long> references{1};
    enum class State { Live, DeletePending, Deleting, Deleted } state = State::Live;
    host::Image* image = nullptr;
    PresentationLock lock;
};

// Validates a handle (a live object of the expected kind) and reports a bad one.
Object* FromHandle(WDFOBJECT handle, Kind expected, const char* api);
inline WDFOBJECT ToHandle(Object* object)
{
    return static_cast<WDFOBJECT>(object);
}
template <typename T> T* As(WDFOBJECT handle, Kind kind, const char* api)
{
    return static_cast<T*>(FromHandle(handle, kind, api));
}

// Links a new object into the tree per its attributes. `defaultParent` is used when the attributes
// name none (nullptr: a parent is required). On failure the object is destroyed.
NTSTATUS Attach(Object* object, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent, const void* caller);
void Delete(Object* object);

// Attaches a newly allocated object (nullptr when the allocation failed) and hands out its handle.
template <typename Handle>
NTSTATUS Publish(Object* object, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent, const void* caller,
                 Handle* handle)
{
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = Attach(object, attributes, defaultParent, caller);
    if (NT_SUCCESS(status))
        *handle = reinterpret_cast<Handle>(static_cast<WDFOBJECT>(object));
    return status;
}

// Automatic serialisation needs an owner lock usable at the level the callbacks run at; a new object
// that cannot have one is deleted again and STATUS_INVALID_DEVICE_REQUEST returned.
NTSTATUS CheckSerialization(Object* object, bool serialize, bool passiveCallbacks);
void Reference(Object* object);
void Dereference(Object* object);

WDF_EXECUTION_LEVEL ExecutionLevel(const Object* object);
// The object whose lock serialises `object`'s callbacks, or nullptr when nothing does.
Object* SynchronizationOwner(const Object* object);
void AcquireLock(Object* object);
void ReleaseLock(Object* object);

// The driver created by the image containing `caller`, or nullptr.
Object* DriverOfCaller(const void* caller);

struct Driver : Object {
    Driver() : Object(Kind::Driver) {}
    PDRIVER_OBJECT driverObject = nullptr;
    std::u16string registryPath;
    WDF_DRIVER_CONFIG config{};
};

// The framework driver of a driver object, or nullptr.
Driver* DriverFromObject(PDRIVER_OBJECT driverObject);
// Gives a framework driver's driver object the framework's AddDevice, which runs EvtDriverDeviceAdd.
void DriverInstallAddDevice(PDRIVER_OBJECT driverObject);

// Brackets a driver callback run on behalf of `object`: the host's IRQL and lock checks, deletions
// of the object (or an ancestor) requested inside it deferred until it returns, and its automatic
// serialisation lock when `serialize` is set.
class CallbackScope
{
  public:
    CallbackScope(Object* object, const char* what, bool serialize);
    // Serialised by `serializer`'s lock (nullptr: not serialised), as queue callbacks are by the lock
    // their synchronisation scope names.
    CallbackScope(Object* object, const char* what, Object* serializer);
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

  private:
    Object* object_;
    const char* what_;
    Object* serializer_;
    KIRQL irql_;
    int locks_;
    std::vector<Object*> deferred_;
    friend bool DeferDeletion(Object* object);
    friend bool InOwnCallback(const Object* object);
};

// Runs the deletions requested inside callbacks on this thread. The code that dispatched a callback
// calls it when it no longer touches the object (a work item after marking itself idle, ...).
void RunDeferredDeletions();

// True when the calling thread is inside a callback of `object`.
bool InOwnCallback(const Object* object);

// A system work item that leads back to the framework object it runs for.
template <typename T> struct OwnedWork {
    host::WorkItem item{};
    T* owner = nullptr;
    static T* From(host::WorkItem* item) { return CONTAINING_RECORD(item, OwnedWork, item)->owner; }
};

} // namespace fx
