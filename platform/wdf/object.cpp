// Framework objects: handles, the parent/child tree, contexts, deletion and references.
#include "fx.h"

#include <host/executive.h>
#include <host/verifier.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

namespace fx
{
namespace
{

// Guards the tree, object states, contexts and the set of live handles. Never held across a callback.
std::mutex& TreeLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

// Bumped whenever a handle stops being live: a thread's cached checks older than it no longer count.
std::atomic<uint64_t> g_handleGeneration{0};

// Handles this thread found live recently, with the generation read before the check. A handle
// checked again in the same generation is still live (a spin lock taken per packet is checked once).
struct CheckedHandle {
    const Object* object = nullptr;
    Kind kind = Kind::Any;
    uint64_t generation = 0;
};
constexpr size_t kCheckedHandles = 16;
thread_local CheckedHandle t_checked[kCheckedHandles];

CheckedHandle& CheckedSlot(const Object* object)
{
    return t_checked[(reinterpret_cast<uintptr_t>(object) >> 4) % kCheckedHandles];
}

std::unordered_set<const Object*>& LiveObjects()
{
    static auto* live = new std::unordered_set<const Object*>;
    return *live;
}

std::unordered_map<host::Image*, Object*>& DriversByImage()
{
    static auto* drivers = new std::unordered_map<host::Image*, Object*>;
    return *drivers;
}

// A context block starts with a header that leads back to its object.
struct ContextHeader {
    Object* object;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type;
    alignas(16) unsigned char data[1];
};
constexpr size_t kContextDataOffset = offsetof(ContextHeader, data);

ContextHeader* HeaderOf(void* data)
{
    return reinterpret_cast<ContextHeader*>(static_cast<unsigned char*>(data) - kContextDataOffset);
}

PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType(PCWDF_OBJECT_CONTEXT_TYPE_INFO type)
{
    if (type->EvtDriverGetUniqueContextType != nullptr)
        return type->EvtDriverGetUniqueContextType();
    return type->UniqueType != nullptr ? type->UniqueType : type;
}

void* AllocateContextData(Object* object, PCWDF_OBJECT_CONTEXT_TYPE_INFO type, size_t size)
{
    void* block = calloc(1, kContextDataOffset + std::max<size_t>(size, 1));
    if (block == nullptr)
        return nullptr;
    auto* header = static_cast<ContextHeader*>(block);
    header->object = object;
    header->type = type;
    return header->data;
}

// Adds the context that `attributes` describes (if any) under the tree lock. Returns the existing
// context and STATUS_OBJECT_NAME_EXISTS when the object already has one of that type.
NTSTATUS AddContextLocked(Object* object, const WDF_OBJECT_ATTRIBUTES* attributes, void** context)
{
    if (attributes->ContextTypeInfo == nullptr) {
        // Callbacks without a context type still belong to the object.
        if (attributes->EvtCleanupCallback != nullptr || attributes->EvtDestroyCallback != nullptr)
            object->contexts.push_back(
                Context{nullptr, attributes->EvtCleanupCallback, attributes->EvtDestroyCallback, nullptr});
        if (context != nullptr)
            *context = nullptr;
        return STATUS_SUCCESS;
    }
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = UniqueType(attributes->ContextTypeInfo);
    for (auto& existing : object->contexts)
        if (existing.type == type) {
            if (context != nullptr)
                *context = existing.data;
            return STATUS_OBJECT_NAME_EXISTS;
        }
    size_t size = attributes->ContextSizeOverride > type->ContextSize ? attributes->ContextSizeOverride
                                                                      : type->ContextSize;
    void* data = AllocateContextData(object, type, size);
    if (data == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    object->contexts.push_back(
        Context{type, attributes->EvtCleanupCallback, attributes->EvtDestroyCallback, data});
    if (object->firstType.load(std::memory_order_relaxed) == nullptr) {
        object->firstData = data;
        object->firstType.store(type, std::memory_order_release);
    }
    if (context != nullptr)
        *context = data;
    return STATUS_SUCCESS;
}

bool IsSelfOrAncestor(const Object* candidate, const Object* object)
{
    for (const Object* o = object; o != nullptr; o = o->parent)
        if (o == candidate)
            return true;
    return false;
}

thread_local std::vector<CallbackScope*> t_callbacks;
// Deletions requested inside callbacks, run once the dispatcher of the callback has finished with it.
thread_local std::vector<Object*> t_deferred;

// Runs one kind of context callback (cleanup or destroy) of every context, in allocation order.
void RunContextCallbacks(Object* object, PFN_WDF_OBJECT_CONTEXT_CLEANUP Context::*which, const char* what)
{
    std::vector<Context> contexts;
    {
        std::lock_guard<std::mutex> guard(TreeLock());
        contexts = object->contexts;
    }
    for (auto& context : contexts)
        if (context.*which != nullptr) {
            KIRQL irql;
            int locks;
            host::CallbackEnter(what, &irql, &locks);
            (context.*which)(ToHandle(object));
            host::CallbackLeave(what, irql, locks);
        }
}

void Destroy(Object* object)
{
    RunContextCallbacks(object, &Context::destroy, "EvtDestroyCallback");
    std::vector<Context> contexts;
    {
        // The handle stays valid through the destroy callbacks, which may still read the contexts.
        std::lock_guard<std::mutex> guard(TreeLock());
        LiveObjects().erase(object);
        g_handleGeneration.fetch_add(1, std::memory_order_acq_rel);
        contexts.swap(object->contexts);
    }
    for (auto& context : contexts)
        if (context.data != nullptr)
            free(HeaderOf(context.data));
    delete object;
}

// Deletes a live object: children first (newest first), then its own activity stops, then its
// cleanup callbacks run, and the creation reference is dropped.
void DeleteTree(Object* object)
{
    std::vector<Object*> children;
    {
        std::lock_guard<std::mutex> guard(TreeLock());
        object->state = Object::State::Deleting;
        children = object->children;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        bool live;
        {
            std::lock_guard<std::mutex> guard(TreeLock());
            live = (*it)->state == Object::State::Live || (*it)->state == Object::State::DeletePending;
        }
        if (live)
            DeleteTree(*it);
    }
    object->Dispose();
    RunContextCallbacks(object, &Context::cleanup, "EvtCleanupCallback");
    {
        std::lock_guard<std::mutex> guard(TreeLock());
        object->state = Object::State::Deleted;
        if (object->parent != nullptr) {
            auto& siblings = object->parent->children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), object), siblings.end());
            object->parent = nullptr;
        }
        if (object->kind == Kind::Driver)
            for (auto it = DriversByImage().begin(); it != DriversByImage().end(); ++it)
                if (it->second == object) {
                    DriversByImage().erase(it);
                    break;
                }
    }
    Dereference(object);
}

} // namespace

Object::~Object() = default;

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::Any:
        return "object";
    case Kind::Generic:
        return "WDFOBJECT";
    case Kind::Driver:
        return "WDFDRIVER";
    case Kind::SpinLock:
        return "WDFSPINLOCK";
    case Kind::WaitLock:
        return "WDFWAITLOCK";
    case Kind::WorkItem:
        return "WDFWORKITEM";
    case Kind::Timer:
        return "WDFTIMER";
    case Kind::Dpc:
        return "WDFDPC";
    case Kind::Memory:
        return "WDFMEMORY";
    case Kind::Device:
        return "WDFDEVICE";
    case Kind::Queue:
        return "WDFQUEUE";
    case Kind::Request:
        return "WDFREQUEST";
    case Kind::IoTarget:
        return "WDFIOTARGET";
    case Kind::FileObject:
        return "WDFFILEOBJECT";
    case Kind::Key:
        return "WDFKEY";
    case Kind::String:
        return "WDFSTRING";
    case Kind::ResourceList:
        return "WDFCMRESLIST";
    case Kind::Interrupt:
        return "WDFINTERRUPT";
    case Kind::DmaEnabler:
        return "WDFDMAENABLER";
    case Kind::CommonBuffer:
        return "WDFCOMMONBUFFER";
    case Kind::NetAdapter:
        return "NETADAPTER";
    case Kind::NetConfiguration:
        return "NETCONFIGURATION";
    case Kind::NetPacketQueue:
        return "NETPACKETQUEUE";
    }
    return "object";
}

Object* FromHandle(WDFOBJECT handle, Kind expected, const char* api)
{
    auto* object = static_cast<Object*>(handle);
    // Without the verifier a handle is the object, as a real framework takes it without its checks.
    if (handle != nullptr && !host::VerifierEnabled())
        return object;
    const uint64_t generation = g_handleGeneration.load(std::memory_order_acquire);
    CheckedHandle& checked = CheckedSlot(object);
    if (handle != nullptr && checked.object == object && checked.generation == generation &&
        (expected == Kind::Any || checked.kind == expected))
        return object;
    {
        std::lock_guard<std::mutex> guard(TreeLock());
        if (handle != nullptr && LiveObjects().count(object) != 0 &&
            (expected == Kind::Any || object->kind == expected)) {
            checked = {object, object->kind, generation};
            return object;
        }
    }
    host::VerifierReport(host::Check::InvalidParameter, "%s: %p is not a live %s", api, handle,
                         KindName(expected));
    return nullptr;
}

NTSTATUS Attach(Object* object, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent, const void* caller)
{
    object->image = host::ImageFromAddress(caller);
    Object* parent = defaultParent;
    if (attributes != nullptr) {
        if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
            delete object;
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        object->executionLevel = attributes->ExecutionLevel;
        object->synchronizationScope = attributes->SynchronizationScope;
        if (attributes->ParentObject != nullptr) {
            parent = FromHandle(attributes->ParentObject, Kind::Any, "ParentObject");
            if (parent == nullptr) {
                delete object;
                return STATUS_INVALID_PARAMETER;
            }
        }
    }
    if (parent == nullptr && object->kind != Kind::Driver) {
        delete object;
        return STATUS_INVALID_PARAMETER;
    }
    if (object->executionLevel == WdfExecutionLevelInvalid)
        object->executionLevel = WdfExecutionLevelInheritFromParent;
    if (object->synchronizationScope == WdfSynchronizationScopeInvalid)
        object->synchronizationScope = WdfSynchronizationScopeInheritFromParent;

    std::lock_guard<std::mutex> guard(TreeLock());
    if (parent != nullptr && parent->state != Object::State::Live) {
        delete object;
        return STATUS_DELETE_PENDING;
    }
    if (attributes != nullptr) {
        NTSTATUS status = AddContextLocked(object, attributes, nullptr);
        if (!NT_SUCCESS(status)) {
            delete object;
            return status;
        }
    }
    object->parent = parent;
    if (parent != nullptr)
        parent->children.push_back(object);
    LiveObjects().insert(object);
    // The lock kind follows the execution level the object resolves to now.
    WDF_EXECUTION_LEVEL level = WdfExecutionLevelDispatch;
    for (const Object* o = object; o != nullptr; o = o->parent)
        if (o->executionLevel != WdfExecutionLevelInheritFromParent) {
            level = o->executionLevel;
            break;
        }
    object->lock.passive = level == WdfExecutionLevelPassive;
    KeInitializeSpinLock(&object->lock.spin);
    KeInitializeEvent(&object->lock.event, SynchronizationEvent, TRUE);
    if (object->kind == Kind::Driver)
        DriversByImage()[object->image] = object;
    return STATUS_SUCCESS;
}

bool DeferDeletion(Object* object)
{
    for (auto it = t_callbacks.rbegin(); it != t_callbacks.rend(); ++it)
        if (IsSelfOrAncestor(object, (*it)->object_)) {
            (*it)->deferred_.push_back(object);
            return true;
        }
    return false;
}

void Delete(Object* object)
{
    {
        std::lock_guard<std::mutex> guard(TreeLock());
        if (object->state != Object::State::Live) {
            host::VerifierReport(host::Check::ObjectDeletedTwice, "%s %p deleted again",
                                 KindName(object->kind), static_cast<void*>(object));
            return;
        }
    }
    if (DeferDeletion(object)) {
        std::lock_guard<std::mutex> guard(TreeLock());
        object->state = Object::State::DeletePending;
        return;
    }
    DeleteTree(object);
}

void Reference(Object* object)
{
    object->references.fetch_add(1);
}

void Dereference(Object* object)
{
    long left = object->references.fetch_sub(1) - 1;
    if (left == 0)
        Destroy(object);
    else if (left < 0)
        host::VerifierReport(host::Check::InvalidParameter, "%s %p dereferenced below zero",
                             KindName(object->kind), static_cast<void*>(object));
}

WDF_EXECUTION_LEVEL ExecutionLevel(const Object* object)
{
    std::lock_guard<std::mutex> guard(TreeLock());
    for (const Object* o = object; o != nullptr; o = o->parent)
        if (o->executionLevel != WdfExecutionLevelInheritFromParent)
            return o->executionLevel;
    return WdfExecutionLevelDispatch;
}

Object* SynchronizationOwner(const Object* object)
{
    std::lock_guard<std::mutex> guard(TreeLock());
    for (Object* o = object->parent; o != nullptr; o = o->parent) {
        if (o->synchronizationScope == WdfSynchronizationScopeNone)
            return nullptr;
        if (o->synchronizationScope == WdfSynchronizationScopeDevice ||
            o->synchronizationScope == WdfSynchronizationScopeQueue)
            return o;
    }
    return nullptr;
}

NTSTATUS CheckSerialization(Object* object, bool serialize, bool passiveCallbacks)
{
    Object* owner = serialize ? SynchronizationOwner(object) : nullptr;
    if (owner == nullptr || owner->lock.passive == passiveCallbacks)
        return STATUS_SUCCESS;
    Delete(object);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void AcquireLock(Object* object)
{
    if (object->lock.passive) {
        KeWaitForSingleObject(&object->lock.event, Executive, KernelMode, FALSE, nullptr);
    } else {
        KIRQL irql;
        KeAcquireSpinLock(&object->lock.spin, &irql);
        object->lock.irql = irql;
    }
}

void ReleaseLock(Object* object)
{
    if (object->lock.passive)
        KeSetEvent(&object->lock.event, IO_NO_INCREMENT, FALSE);
    else
        KeReleaseSpinLock(&object->lock.spin, object->lock.irql);
}

Object* DriverOfCaller(const void* caller)
{
    host::Image* image = host::ImageFromAddress(caller);
    std::lock_guard<std::mutex> guard(TreeLock());
    auto it = DriversByImage().find(image);
    return it == DriversByImage().end() ? nullptr : it->second;
}

CallbackScope::CallbackScope(Object* object, const char* what, bool serialize)
    : CallbackScope(object, what, serialize ? SynchronizationOwner(object) : nullptr)
{
}

CallbackScope::CallbackScope(Object* object, const char* what, Object* serializer)
    : object_(object), what_(what), serializer_(serializer)
{
    host::CallbackEnter(what_, &irql_, &locks_);
    if (serializer_ != nullptr)
        AcquireLock(serializer_);
    t_callbacks.push_back(this);
}

CallbackScope::~CallbackScope()
{
    t_callbacks.pop_back();
    if (serializer_ != nullptr)
        ReleaseLock(serializer_);
    host::CallbackLeave(what_, irql_, locks_);
    t_deferred.insert(t_deferred.end(), deferred_.begin(), deferred_.end());
}

void RunDeferredDeletions()
{
    while (!t_deferred.empty()) {
        std::vector<Object*> pending;
        pending.swap(t_deferred);
        for (Object* object : pending) {
            {
                std::lock_guard<std::mutex> guard(TreeLock());
                object->state = Object::State::Live;
            }
            Delete(object);
        }
    }
}

bool InOwnCallback(const Object* object)
{
    for (CallbackScope* scope : t_callbacks)
        if (scope->object_ == object)
            return true;
    return false;
}

} // namespace fx

using namespace fx;

extern "C" {

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    Object* object = FromHandle(Handle, Kind::Any, "WdfObjectGetTypedContext");
    if (object == nullptr || TypeInfo == nullptr)
        return nullptr;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = UniqueType(TypeInfo);
    if (object->firstType.load(std::memory_order_acquire) == type)
        return object->firstData;
    std::lock_guard<std::mutex> guard(TreeLock());
    for (auto& context : object->contexts)
        if (context.type == type)
            return context.data;
    return nullptr;
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context)
{
    Object* object = FromHandle(Handle, Kind::Any, "WdfObjectAllocateContext");
    if (object == nullptr || ContextAttributes == nullptr || ContextAttributes->ContextTypeInfo == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (ContextAttributes->ParentObject != nullptr)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(TreeLock());
    if (object->state != Object::State::Live)
        return STATUS_DELETE_PENDING;
    return AddContextLocked(object, ContextAttributes, Context);
}

WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer)
{
    if (ContextPointer == nullptr)
        return nullptr;
    return ToHandle(HeaderOf(ContextPointer)->object);
}

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object)
{
    if (Object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Object = nullptr;
    return Publish(new (std::nothrow) fx::Object(Kind::Generic), Attributes, DriverOfCaller(_ReturnAddress()),
                   _ReturnAddress(), Object);
}

void WdfObjectDelete(WDFOBJECT Object)
{
    auto* object = static_cast<fx::Object*>(Object);
    {
        std::lock_guard<std::mutex> guard(TreeLock());
        if (Object != nullptr && LiveObjects().count(object) == 0) {
            host::VerifierReport(host::Check::ObjectDeletedTwice,
                                 "WdfObjectDelete: %p is no longer an object", Object);
            return;
        }
    }
    object = FromHandle(Object, Kind::Any, "WdfObjectDelete");
    if (object == nullptr)
        return;
    if (object->kind == Kind::Driver) {
        host::VerifierReport(host::Check::InvalidParameter,
                             "WdfObjectDelete: the driver object is deleted at unload");
        return;
    }
    Delete(object);
}

void WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File)
{
    UNREFERENCED_PARAMETER(Tag);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(File);
    if (Object* object = FromHandle(Handle, Kind::Any, "WdfObjectReference"))
        Reference(object);
}

void WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File)
{
    UNREFERENCED_PARAMETER(Tag);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(File);
    if (Object* object = FromHandle(Handle, Kind::Any, "WdfObjectDereference"))
        Dereference(object);
}

void WdfObjectAcquireLock(WDFOBJECT Object)
{
    if (fx::Object* object = FromHandle(Object, Kind::Any, "WdfObjectAcquireLock"))
        AcquireLock(object);
}

void WdfObjectReleaseLock(WDFOBJECT Object)
{
    if (fx::Object* object = FromHandle(Object, Kind::Any, "WdfObjectReleaseLock"))
        ReleaseLock(object);
}

} // extern "C"
