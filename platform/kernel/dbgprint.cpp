// Kernel debug output: formatted by the host formatter into the trace sink as the caller's "debug" stream.
#include <wdm.h>
#include <wpp.h>

#include <host/image.h>
#include <host/trace.h>

namespace {

// DbgPrintEx levels as trace levels; other values are bit masks and count as information.
UCHAR TraceLevel(ULONG level)
{
    switch (level) {
    case DPFLTR_ERROR_LEVEL: return TRACE_LEVEL_ERROR;
    case DPFLTR_WARNING_LEVEL: return TRACE_LEVEL_WARNING;
    case DPFLTR_TRACE_LEVEL: return TRACE_LEVEL_VERBOSE;
    default: return TRACE_LEVEL_INFORMATION;
    }
}

} // namespace

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    host::TraceWriteV(host::ImageFromAddress(__builtin_return_address(0)), host::TraceStream::DbgPrint,
                      TRACE_LEVEL_INFORMATION, DPFLTR_DEFAULT_ID, nullptr, false, Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    host::TraceWriteV(host::ImageFromAddress(__builtin_return_address(0)), host::TraceStream::DbgPrint,
                      TraceLevel(Level), ComponentId, nullptr, false, Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}
