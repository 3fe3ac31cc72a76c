// Interrupt delivery. A bus registers each interrupt input of its devices as a vector; a driver connects a
// service routine to the vector its translated resources name. Vector v is delivered on emulated processor
// v mod N (through host::ProcessorRun, ahead of that processor's DPCs), at the connection's synchronize
// IRQL with its spin lock held, as an interrupt dispatcher runs an ISR.
#pragma once

#include <wdm.h>

#include <functional>

namespace host {

enum class InterruptTrigger {
    Latched, // message-signalled: each request runs the routine once
    Level,   // a line: the routine runs again while the line stays asserted
};

struct InterruptSource {
    InterruptTrigger trigger = InterruptTrigger::Latched;
    // Told, with no host lock held, when a routine is connected to the vector (true) or disconnected
    // (false), so that a bus unmasks or masks the message that targets it. It may request the vector.
    std::function<void(bool connected)> connection;
};

// Reserves `count` consecutive vectors and returns the first. Blocks start at multiples of 64, so message
// m of a device is delivered on processor m mod N whenever N divides 64.
ULONG InterruptAllocateVectors(ULONG count);
// False when the vector is registered already.
bool InterruptRegisterVector(ULONG vector, InterruptSource source);
// Requests to the vector are dropped from now on; a routine connected to it stays until disconnected.
void InterruptUnregisterVector(ULONG vector);

// The emulated processor the vector is delivered on, and its device IRQL.
ULONG InterruptVectorProcessor(ULONG vector);
KIRQL InterruptVectorIrql(ULONG vector);

// Latched vectors: one run of the connected routine. Requests made before that run starts merge into
// it, as a processor's request bit does; a request while the routine runs gives one more run. With no
// routine connected the request is dropped; while the connection is disabled it is held.
void InterruptRequest(ULONG vector);
// Level-triggered vectors: the line's state. An asserted line is served once a routine is connected
// and enabled.
void InterruptSetLine(ULONG vector, bool asserted);

// Back-to-back runs of a level-triggered routine that leave the line asserted, after which an
// InterruptStorm is reported and the line is ignored until it is de-asserted.
inline constexpr ULONG kInterruptStormLimit = 1000;

struct Interrupt;
// Returns TRUE when the routine's device raised the interrupt.
using InterruptServiceRoutine = BOOLEAN (*)(Interrupt* interrupt, PVOID context);

struct InterruptConnection {
    ULONG vector = 0;
    InterruptServiceRoutine service = nullptr;
    PVOID context = nullptr;
    KIRQL irql = 0;                 // device IRQL; 0: the vector's
    KIRQL synchronizeIrql = 0;      // what the routine and the lock run at; never below irql
    PKSPIN_LOCK spinLock = nullptr; // a lock shared between interrupts; NULL: the interrupt's own
    bool enabled = true;            // false: connected disabled, served from InterruptEnable on
};

// STATUS_INVALID_PARAMETER for a missing routine, an IRQL not above DISPATCH_LEVEL, an unregistered
// vector or one that has a routine connected already.
NTSTATUS InterruptConnect(const InterruptConnection& connection, Interrupt** interrupt);
// At PASSIVE_LEVEL: returns once no run of the routine is in progress; the vector's requests are
// dropped from then on.
void InterruptDisconnect(Interrupt* interrupt);
// A disabled connection holds its requests (and ignores its line) until enabled again.
void InterruptEnable(Interrupt* interrupt);
void InterruptDisable(Interrupt* interrupt);

// The interrupt's lock, taken at its synchronize IRQL: what the service routine runs under.
KIRQL InterruptAcquireLock(Interrupt* interrupt);
void InterruptReleaseLock(Interrupt* interrupt, KIRQL previous);
// Runs `routine` under the interrupt's lock and returns its result.
BOOLEAN InterruptSynchronize(Interrupt* interrupt, BOOLEAN (*routine)(PVOID context), PVOID context);

struct InterruptCounters {
    ULONG64 runs = 0;      // service-routine runs
    ULONG64 unclaimed = 0; // runs that returned FALSE
    ULONG64 dropped = 0;   // requests with no routine connected, or to an unregistered vector
};
InterruptCounters InterruptVectorCounters(ULONG vector);

} // namespace host
