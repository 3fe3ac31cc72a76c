// Verifier reports and the fast-fail and assertion entry points that feed it.
#include <host/verifier.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <mutex>

#include <wdm.h>

namespace host {
namespace {

std::mutex g_handlerLock;
ReportHandler g_handler;
std::atomic<bool> g_strict{false};

} // namespace

namespace detail {
std::atomic<bool> g_verifierOn{true};
}

const char* CheckName(Check check)
{
    switch (check) {
    case Check::BlockingWaitAtHighIrql: return "BlockingWaitAtHighIrql";
    case Check::PagedCodeAtHighIrql: return "PagedCodeAtHighIrql";
    case Check::CallbackIrqlMismatch: return "CallbackIrqlMismatch";
    case Check::CallbackLockHeld: return "CallbackLockHeld";
    case Check::SpinLockRecursion: return "SpinLockRecursion";
    case Check::SpinLockOrder: return "SpinLockOrder";
    case Check::SpinLockNotHeld: return "SpinLockNotHeld";
    case Check::EventReinitWithWaiters: return "EventReinitWithWaiters";
    case Check::WaitTooManyObjects: return "WaitTooManyObjects";
    case Check::WaitUninitialisedObject: return "WaitUninitialisedObject";
    case Check::FreeNotAllocated: return "FreeNotAllocated";
    case Check::FreeTagMismatch: return "FreeTagMismatch";
    case Check::PoolLeak: return "PoolLeak";
    case Check::ThreadLeak: return "ThreadLeak";
    case Check::DpcLeak: return "DpcLeak";
    case Check::TimerLeak: return "TimerLeak";
    case Check::WorkItemLeak: return "WorkItemLeak";
    case Check::ObjectDeletedTwice: return "ObjectDeletedTwice";
    case Check::FlushFromOwnCallback: return "FlushFromOwnCallback";
    case Check::RequestCompletedTwice: return "RequestCompletedTwice";
    case Check::RequestNotCompleted: return "RequestNotCompleted";
    case Check::RequestOverrun: return "RequestOverrun";
    case Check::RegisterAccessUnmapped: return "RegisterAccessUnmapped";
    case Check::DmaOutsideAllocation: return "DmaOutsideAllocation";
    case Check::InterruptStorm: return "InterruptStorm";
    case Check::InvalidIrql: return "InvalidIrql";
    case Check::InvalidParameter: return "InvalidParameter";
    case Check::AssertionFailed: return "AssertionFailed";
    case Check::HostHang: return "HostHang";
    case Check::NetDataPathViolation: return "NetDataPathViolation";
    }
    return "Unknown";
}

void VerifierReport(Check check, const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);

    Report report{check, text};
    ReportHandler handler;
    {
        std::lock_guard<std::mutex> guard(g_handlerLock);
        handler = g_handler;
    }
    if (handler) {
        handler(report);
        return;
    }
    fprintf(stderr, "verifier: %s: %s\n", CheckName(check), text);
    abort();
}

void VerifierSetHandler(ReportHandler handler)
{
    std::lock_guard<std::mutex> guard(g_handlerLock);
    g_handler = std::move(handler);
}

void VerifierSetStrict(bool strict) { g_strict.store(strict); }
bool VerifierIsStrict() { return g_strict.load(); }

} // namespace host

extern "C" void __fastfail(unsigned int Code)
{
    fprintf(stderr, "fast fail: code %u\n", Code);
    fflush(stderr);
    abort();
}

extern "C" void HostAssertionFailed(const char* Expression, const char* File, int Line)
{
    host::VerifierReport(host::Check::AssertionFailed, "%s at %s:%d", Expression, File, Line);
}
