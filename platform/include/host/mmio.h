// Register windows: a simulated device claims a range of physical address space and serves the driver's
// register accesses to it. MmMapIoSpaceEx maps a window; READ_REGISTER_*/WRITE_REGISTER_* on the mapped
// addresses reach the handlers below, on the calling thread and at its IRQL.
#pragma once

#include <ntdef.h>

#include <functional>

namespace host {

struct IoWindowHandlers {
    // `offset` is from the window's physical base; `width` is 1, 2, 4 or 8 bytes. A missing read
    // handler reads all ones; a missing write handler drops the write.
    std::function<ULONG64(ULONG64 offset, ULONG width)> read;
    std::function<void(ULONG64 offset, ULONG width, ULONG64 value)> write;
};

struct IoWindow;

// Claims [physicalBase, physicalBase + length); NULL when the range is empty, wraps or overlaps a
// registered window. Handlers run with no host lock held, so they may call the host; handlers of
// different windows may run at the same time.
IoWindow* IoWindowRegister(ULONG64 physicalBase, ULONG64 length, IoWindowHandlers handlers);
// Withdraws the window and returns once no handler of it is running (other than the caller's own, when
// a handler unregisters its window). Mappings of it stay; accessing them is then reported.
void IoWindowUnregister(IoWindow* window);

} // namespace host
