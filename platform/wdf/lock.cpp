// Framework spin locks and wait locks.
#include "fx.h"

#include <new>

namespace fx
{
namespace
{

struct SpinLock : Object {
    SpinLock() : Object(Kind::SpinLock) { KeInitializeSpinLock(&lock); }
    KSPIN_LOCK lock = 0;
    KIRQL irql = PASSIVE_LEVEL;
};

// A wait lock is a synchronization event: signalled means free.
struct WaitLock : Object {
    WaitLock() : Object(Kind::WaitLock) { KeInitializeEvent(&event, SynchronizationEvent, TRUE); }
    KEVENT event{};
};

} // namespace
} // namespace fx

using namespace fx;

extern "C" {

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock)
{
    if (SpinLock == nullptr)
        return STATUS_INVALID_PARAMETER;
    *SpinLock = nullptr;
    return Publish(new (std::nothrow) fx::SpinLock, SpinLockAttributes, DriverOfCaller(_ReturnAddress()),
                   _ReturnAddress(), SpinLock);
}

void WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    if (auto* lock = As<fx::SpinLock>(SpinLock, Kind::SpinLock, "WdfSpinLockAcquire")) {
        KIRQL irql;
        KeAcquireSpinLock(&lock->lock, &irql);
        lock->irql = irql;
    }
}

void WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    if (auto* lock = As<fx::SpinLock>(SpinLock, Kind::SpinLock, "WdfSpinLockRelease"))
        KeReleaseSpinLock(&lock->lock, lock->irql);
}

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock)
{
    if (Lock == nullptr)
        return STATUS_INVALID_PARAMETER;
    *Lock = nullptr;
    return Publish(new (std::nothrow) fx::WaitLock, LockAttributes, DriverOfCaller(_ReturnAddress()),
                   _ReturnAddress(), Lock);
}

NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout)
{
    auto* lock = As<fx::WaitLock>(Lock, Kind::WaitLock, "WdfWaitLockAcquire");
    if (lock == nullptr)
        return STATUS_INVALID_PARAMETER;
    return KeWaitForSingleObject(&lock->event, Executive, KernelMode, FALSE,
                                 reinterpret_cast<PLARGE_INTEGER>(Timeout));
}

void WdfWaitLockRelease(WDFWAITLOCK Lock)
{
    if (auto* lock = As<fx::WaitLock>(Lock, Kind::WaitLock, "WdfWaitLockRelease"))
        KeSetEvent(&lock->event, IO_NO_INCREMENT, FALSE);
}

} // extern "C"
