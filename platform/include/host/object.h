// Kernel objects with reference counts and the handle table shared by the kernel and Win32 views.
#pragma once

#include <atomic>

#include <wdm.h>

namespace host {

enum class ObjectKind {
    Any, // only as a query: matches every kind
    Thread,
    Key,
    Event,
    Mutex,
    Semaphore,
    File,
    Section,
    WmiBlock,
    Other,
};

struct Object {
    // Registers the object so that ObfReferenceObject/ObfDereferenceObject resolve its body.
    explicit Object(ObjectKind kind);
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // What ObReferenceObjectByHandle hands out (a KTHREAD for a thread). Registered with ObjectSetBody.
    void* body = this;
    const ObjectKind kind;
    std::atomic<long> references{1};
};

void ObjectReference(Object* object);
// Drops a reference; the object is deleted with the last one.
void ObjectDereference(Object* object);
// Makes `body` resolvable by ObfReferenceObject/ObfDereferenceObject.
void ObjectSetBody(Object* object, void* body);
Object* ObjectFromBody(const void* body);

// The handle takes its own reference on the object.
HANDLE HandleCreate(Object* object, ACCESS_MASK granted);
// Returns a referenced object; STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH or STATUS_ACCESS_DENIED.
NTSTATUS HandleReference(HANDLE handle, ObjectKind kind, ACCESS_MASK desired, Object** object,
                         ACCESS_MASK* granted);
NTSTATUS HandleClose(HANDLE handle);

} // namespace host
