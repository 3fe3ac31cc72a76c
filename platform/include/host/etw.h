// The ETW controller and record list: tests and the simulator enable providers as a trace session would,
// and read the events written.
#pragma once

#include <ntdef.h>

#include <string>
#include <vector>

namespace host {

struct Image;

// A session for the provider at `level` (0: every level) and keywords: an event is enabled when its
// level is at most `level` (or 0) and its keyword is 0 or shares a bit with `matchAny` (0: any) and has
// every bit of `matchAll`. Every registration of the provider is told through its enable callback, and
// later registrations are told when they register.
void EtwEnableProvider(const GUID& provider, UCHAR level, ULONGLONG matchAny = 0, ULONGLONG matchAll = 0);
void EtwDisableProvider(const GUID& provider);
// No provider enabled, no events kept.
void EtwReset();

struct EtwEvent {
    GUID provider{};
    USHORT id = 0;
    UCHAR version = 0;
    UCHAR channel = 0;
    UCHAR level = 0;
    UCHAR opcode = 0;
    USHORT task = 0;
    ULONGLONG keyword = 0;
    std::vector<UCHAR> payload; // the user data descriptors' bytes, concatenated
    Image* image = nullptr;     // the writer's image
    LONGLONG time = 0;          // interrupt time
};
// The events written (oldest first, at most the trace ring's size), of one provider or (null) of all.
std::vector<EtwEvent> EtwEvents(const GUID* provider = nullptr);
// The payload as text when it is a terminated narrow string (the usual text event), else empty.
std::string EtwText(const EtwEvent& event);

} // namespace host
