// WPP's entry points: tracing set-up and clean-up per image, and messages into the trace sink.
#include <wpp.h>

#include <host/image.h>
#include <host/trace.h>

#include <atomic>
#include <mutex>
#include <set>

namespace host {
namespace {

std::atomic<UCHAR> g_maxLevel{TRACE_LEVEL_VERBOSE};
std::atomic<ULONG> g_flags{MAXULONG};

struct Registrations {
    std::mutex lock;
    std::set<const Image*> active;
};

Registrations& Active()
{
    static Registrations* registrations = new Registrations;
    return *registrations;
}

void SetActive(const Image* image, bool active)
{
    Registrations& registrations = Active();
    std::lock_guard<std::mutex> guard(registrations.lock);
    if (active)
        registrations.active.insert(image);
    else
        registrations.active.erase(image);
}

} // namespace

void TraceSetWppFilter(UCHAR maxLevel, ULONG flags)
{
    g_maxLevel.store(maxLevel, std::memory_order_relaxed);
    g_flags.store(flags, std::memory_order_relaxed);
}

// A message without flags is traced whenever its level is.
bool TraceWppEnabled(UCHAR level, ULONG flags)
{
    return level <= g_maxLevel.load(std::memory_order_relaxed) &&
           (flags == 0 || (flags & g_flags.load(std::memory_order_relaxed)) != 0);
}

bool TraceWppActive(const Image* image)
{
    Registrations& registrations = Active();
    std::lock_guard<std::mutex> guard(registrations.lock);
    return registrations.active.count(image) != 0;
}

} // namespace host

void WppInitTracing(struct _DRIVER_OBJECT*, PCUNICODE_STRING)
{
    host::SetActive(host::ImageFromAddress(__builtin_return_address(0)), true);
}

void WppInitTracing(PCWSTR)
{
    host::SetActive(host::ImageFromAddress(__builtin_return_address(0)), true);
}

void WppCleanupTracing(struct _DRIVER_OBJECT*)
{
    host::SetActive(host::ImageFromAddress(__builtin_return_address(0)), false);
}

void WppCleanupTracing()
{
    host::SetActive(host::ImageFromAddress(__builtin_return_address(0)), false);
}

extern "C" BOOLEAN WppTraceEnabled(UCHAR Level, ULONG Flags) { return host::TraceWppEnabled(Level, Flags); }

extern "C" void WppTraceMessage(UCHAR Level, ULONG Flags, const char* Function, const char* Format, ...)
{
    if (!host::TraceWppEnabled(Level, Flags))
        return;
    va_list args;
    va_start(args, Format);
    host::TraceWriteV(host::ImageFromAddress(__builtin_return_address(0)), host::TraceStream::Wpp, Level, Flags,
                      Function, true, Format, args);
    va_end(args);
}
