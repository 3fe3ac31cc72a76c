// IRQL, tracked per thread, and the checks made when a callback returns to the host.
#include "executive_internal.h"

#include <host/verifier.h>

namespace host::exec {

void CheckBlockingIrql(const char* what)
{
    KIRQL irql = Self().irql;
    if (irql > APC_LEVEL)
        VerifierReport(Check::BlockingWaitAtHighIrql, "%s with a time-out at IRQL %u", what, irql);
}

void ReportIrqlChange(bool raise, KIRQL irql, KIRQL current)
{
    if (raise)
        VerifierReport(Check::InvalidIrql, "KeRaiseIrql to %u below the current IRQL %u", irql, current);
    else
        VerifierReport(Check::InvalidIrql, "KeLowerIrql to %u above the current IRQL %u", irql, current);
}

} // namespace host::exec

namespace host {

using namespace exec;

void CallbackEnter(const char* what, KIRQL* irqlAtEntry, int* locksAtEntry)
{
    UNREFERENCED_PARAMETER(what);
    ThreadRecord& self = Self();
    *irqlAtEntry = self.irql;
    *locksAtEntry = static_cast<int>(self.held.size());
}

void CallbackLeave(const char* what, KIRQL irqlAtEntry, int locksAtEntry)
{
    ThreadRecord& self = Self();
    // With the verifier off no held-lock list is kept: the lock check has nothing to go on.
    if (static_cast<int>(self.held.size()) > locksAtEntry) {
        VerifierReport(Check::CallbackLockHeld, "%s returned holding %d spin lock(s), first %p", what,
                       static_cast<int>(self.held.size()) - locksAtEntry,
                       static_cast<void*>(self.held[locksAtEntry]));
        // Released here so that the rest of the system keeps running after the report.
        while (static_cast<int>(self.held.size()) > locksAtEntry)
            KeReleaseSpinLockFromDpcLevel(self.held.back());
    }
    if (self.irql != irqlAtEntry) {
        VerifierReport(Check::CallbackIrqlMismatch, "%s returned at IRQL %u, called at %u", what, self.irql,
                       irqlAtEntry);
        self.irql = irqlAtEntry;
    }
}

} // namespace host

using namespace host::exec;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return Self().irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    ThreadRecord& self = Self();
    KIRQL old = self.irql;
    if (OldIrql != nullptr)
        *OldIrql = old;
    if (NewIrql < old && host::VerifierEnabled()) {
        ReportIrqlChange(true, NewIrql, old);
        return;
    }
    self.irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) { LowerIrql(Self(), NewIrql); }

KIRQL KeRaiseIrqlToDpcLevel(void)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void HostPagedCodeCheck(const char* Function)
{
    KIRQL irql = Self().irql;
    if (irql > APC_LEVEL)
        host::VerifierReport(host::Check::PagedCodeAtHighIrql, "%s entered at IRQL %u", Function, irql);
}

} // extern "C"
