// Reference-counted kernel objects and the handle table.
#include <host/object.h>
#include <host/verifier.h>

#include <mutex>
#include <unordered_map>

struct _OBJECT_TYPE {
    host::ObjectKind kind;
};

namespace {

_OBJECT_TYPE g_threadType{host::ObjectKind::Thread};
POBJECT_TYPE g_threadTypePointer = &g_threadType;

struct HandleEntry {
    host::Object* object;
    ACCESS_MASK granted;
};

struct Tables {
    std::mutex lock;
    std::unordered_map<HANDLE, HandleEntry> handles;
    std::unordered_map<const void*, host::Object*> bodies;
    ULONG_PTR nextHandle = 0x100;
};

Tables& Table()
{
    static Tables* tables = new Tables; // handles may be closed from threads that outlive static teardown
    return *tables;
}

} // namespace

extern "C" {
POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
}

namespace host {

Object::Object(ObjectKind kind) : kind(kind)
{
    Tables& tables = Table();
    std::lock_guard<std::mutex> guard(tables.lock);
    tables.bodies[this] = this;
}

void ObjectReference(Object* object) { object->references.fetch_add(1); }

void ObjectDereference(Object* object)
{
    long left = object->references.fetch_sub(1) - 1;
    if (left > 0)
        return;
    if (left < 0) {
        VerifierReport(Check::InvalidParameter, "object %p dereferenced below zero", static_cast<void*>(object));
        return;
    }
    {
        Tables& tables = Table();
        std::lock_guard<std::mutex> guard(tables.lock);
        tables.bodies.erase(object->body);
    }
    delete object;
}

void ObjectSetBody(Object* object, void* body)
{
    Tables& tables = Table();
    std::lock_guard<std::mutex> guard(tables.lock);
    tables.bodies.erase(object->body);
    object->body = body;
    tables.bodies[body] = object;
}

Object* ObjectFromBody(const void* body)
{
    Tables& tables = Table();
    std::lock_guard<std::mutex> guard(tables.lock);
    auto it = tables.bodies.find(body);
    return it == tables.bodies.end() ? nullptr : it->second;
}

HANDLE HandleCreate(Object* object, ACCESS_MASK granted)
{
    ObjectReference(object);
    Tables& tables = Table();
    std::lock_guard<std::mutex> guard(tables.lock);
    auto handle = reinterpret_cast<HANDLE>(tables.nextHandle);
    tables.nextHandle += 4; // handle values are multiples of four, as on Windows
    tables.handles[handle] = HandleEntry{object, granted};
    return handle;
}

NTSTATUS HandleReference(HANDLE handle, ObjectKind kind, ACCESS_MASK desired, Object** object, ACCESS_MASK* granted)
{
    Tables& tables = Table();
    std::lock_guard<std::mutex> guard(tables.lock);
    auto it = tables.handles.find(handle);
    if (it == tables.handles.end())
        return STATUS_INVALID_HANDLE;
    if (kind != ObjectKind::Any && it->second.object->kind != kind)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if ((desired & ~it->second.granted) != 0)
        return STATUS_ACCESS_DENIED;
    ObjectReference(it->second.object);
    *object = it->second.object;
    if (granted != nullptr)
        *granted = it->second.granted;
    return STATUS_SUCCESS;
}

NTSTATUS HandleClose(HANDLE handle)
{
    Object* object = nullptr;
    {
        Tables& tables = Table();
        std::lock_guard<std::mutex> guard(tables.lock);
        auto it = tables.handles.find(handle);
        if (it == tables.handles.end())
            return STATUS_INVALID_HANDLE;
        object = it->second.object;
        tables.handles.erase(it);
    }
    ObjectDereference(object);
    return STATUS_SUCCESS;
}

} // namespace host

extern "C" {

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation)
{
    UNREFERENCED_PARAMETER(AccessMode);
    if (Object == nullptr)
        return STATUS_INVALID_PARAMETER;
    host::Object* object = nullptr;
    ACCESS_MASK granted = 0;
    host::ObjectKind kind = ObjectType != nullptr ? ObjectType->kind : host::ObjectKind::Any;
    NTSTATUS status = host::HandleReference(Handle, kind, DesiredAccess, &object, &granted);
    if (!NT_SUCCESS(status))
        return status;
    *Object = object->body;
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = granted;
    }
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object)
{
    host::Object* object = host::ObjectFromBody(Object);
    if (object == nullptr) {
        host::VerifierReport(host::Check::InvalidParameter, "ObReferenceObject on %p, not an object", Object);
        return 0;
    }
    return object->references.fetch_add(1) + 1;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    host::Object* object = host::ObjectFromBody(Object);
    if (object == nullptr) {
        host::VerifierReport(host::Check::InvalidParameter, "ObDereferenceObject on %p, not an object", Object);
        return 0;
    }
    long left = object->references.load() - 1;
    host::ObjectDereference(object);
    return left;
}

NTSTATUS ZwClose(HANDLE Handle) { return host::HandleClose(Handle); }

} // extern "C"
