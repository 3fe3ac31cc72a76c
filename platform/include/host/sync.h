// Host control of the Win32 threads and synchronisation objects: deterministic creation failures, and
// the kernel object behind a Win32 event handle.
#pragma once

#include <windef.h>
#include <wdm.h>

namespace host {

enum class Creation { Thread, Event };
// The calling thread's next `count` creations of that kind, after `after` that succeed, fail with
// `error` (0 stops injecting).
void FailNextCreations(Creation kind, ULONG count, DWORD error = 8 /* ERROR_NOT_ENOUGH_MEMORY */, ULONG after = 0);

// The KEVENT behind a Win32 event handle, referenced (release with ObDereferenceObject), so that kernel
// code can KeSetEvent what user code waits on. STATUS_INVALID_HANDLE or STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS EventObjectFromHandle(HANDLE handle, PKEVENT* event);

} // namespace host
