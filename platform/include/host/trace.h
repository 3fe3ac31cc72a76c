// The trace sink: every WPP message, DbgPrint and (later) ETW event of the process lands here, in a
// bounded ring of recent lines per image (the in-flight recorder), which tests and the simulator read.
//
// Quiet by default. WWAN_TRACE prints lines to stderr as they come: 1 prints every line, 2 to 5 the
// lines at that TRACE_LEVEL or more severe, unset, empty or 0 nothing.
//
// Recording is safe at any IRQL: it takes only the sink's own lock and never waits on host objects or
// allocates from the emulated pool.
#pragma once

#include <cstdarg>
#include <functional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include <ntdef.h>

namespace host {

struct Image;

enum class TraceStream { Wpp, DbgPrint, Etw };
const char* TraceStreamName(TraceStream stream);

struct TraceLine {
    ULONG64 sequence = 0; // order of arrival across the process
    LONGLONG time = 0;    // interrupt time, 100 ns units
    Image* image = nullptr;
    TraceStream stream = TraceStream::Wpp;
    UCHAR level = 0;      // TRACE_LEVEL_*
    ULONG flags = 0;      // WPP flags; the component id for DbgPrintEx
    std::string function; // empty when the stream carries none
    std::string text;
};

// Records a line for `image`. The exported entry points attribute lines to their caller's image.
void TraceWrite(Image* image, TraceStream stream, UCHAR level, ULONG flags, const char* function,
                std::string_view text);
// Formats with the host formatter (with the WPP extensions when `wpp`) and records the line; a refused
// format is recorded as "<bad format> " followed by the format.
void TraceWriteV(Image* image, TraceStream stream, UCHAR level, ULONG flags, const char* function, bool wpp,
                 const char* format, va_list args);

// The recorded lines, oldest first, of one image or (null) of every image.
std::vector<TraceLine> TraceSnapshot(const Image* image = nullptr);
std::vector<TraceLine> TraceFind(std::string_view substring, const Image* image = nullptr);
std::vector<TraceLine> TraceMatch(const std::regex& pattern, const Image* image = nullptr);
void TraceClear(const Image* image = nullptr);

// Lines kept per image (4096 by default); shrinking drops the oldest.
void TraceSetRingSize(size_t lines);
size_t TraceRingSize();

// Subscribers see each line as it is recorded, on the tracing thread, outside the sink's lock.
using TraceSubscriber = std::function<void(const TraceLine&)>;
int TraceSubscribe(TraceSubscriber subscriber);
void TraceUnsubscribe(int id);

// Prints lines of `level` or more severe to stderr; 0 prints nothing.
void TraceSetPrintLevel(UCHAR level);
UCHAR TracePrintLevel();
// Reads WWAN_TRACE again (it is read once when the sink is first used).
void TraceReadEnvironment();

// WPP enablement as a trace session would set it: messages above `maxLevel`, or whose flags share no
// bit with `flags`, are dropped before formatting. Everything is enabled by default.
void TraceSetWppFilter(UCHAR maxLevel, ULONG flags);
bool TraceWppEnabled(UCHAR level, ULONG flags);
// Whether the image has run WPP_INIT_TRACING and not yet WPP_CLEANUP.
bool TraceWppActive(const Image* image);

} // namespace host
