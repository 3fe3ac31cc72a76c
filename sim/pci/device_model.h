// What a simulated PCI device implements, and what the bus tells it. A model is hardware: it knows its
// registers, rings and wire formats, never driver code. It reaches the rest of the machine through its
// Function (bus.h): interrupts (Raise/Lower), DMA (DmaRead/DmaWrite, checked by the host against live
// allocations) and its configuration space. It acts on the host clock through a Scheduler
// (scheduler.h): threaded, with its own registered thread, or step, driven by a test or a benchmark.
#pragma once

#include <ntdef.h>

namespace sim::pci {

class Function;

enum class PowerState {
    D0,
    D3Hot,  // registers unreachable, state kept
    D3Cold, // power removed: the model loses its state; configuration space returns to power-on values
};

enum class ResetKind {
    FunctionLevel, // the function alone, through the reset interface
    PlatformLevel, // the function's power is cycled by the platform
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    // The function the model was plugged in as; called once by Bus::Plug before anything else.
    virtual void Attach(Function& function) { (void)function; }

    // The driver's register accesses to BAR `bar` (`width` 1, 2, 4 or 8 bytes at `offset` from the
    // BAR's start). They run on the driver's thread at its IRQL, so they never block or allocate; side
    // effects that take time are scheduled. The MSI-X table and pending bits never reach the model.
    virtual ULONG64 ReadRegister(ULONG bar, ULONG64 offset, ULONG width) = 0;
    virtual void WriteRegister(ULONG bar, ULONG64 offset, ULONG width, ULONG64 value) = 0;

    // The function was reset (its configuration space is back to what the bus programmed).
    virtual void Reset(ResetKind kind) { (void)kind; }
    // The power manager moved the function between power states.
    virtual void PowerChanged(PowerState previous, PowerState state)
    {
        (void)previous;
        (void)state;
    }
};

} // namespace sim::pci
