#include "ril_etw.h"

#include <evntprov.h>

#include <atomic>
#include <string.h>

const GUID SORVANTA_TRACE_PROVIDER = {0x364364D3, 0x0FD7, 0x4493, {0xBD, 0xE8, 0xB4, 0x25, 0x2D, 0x00, 0xC2, 0xB3}};

namespace {

// One enable bit per level group of the manifest; a session enables every level up to the one it asks
// for (level 0 means all).
enum : ULONG {
    EnableError = 0x1,       // events 10 to 12
    EnableWarning = 0x2,     // events 13 to 15
    EnableInformation = 0x4, // events 16 to 18
    EnableVerbose = 0x8,     // events 19 to 21
};

constexpr UCHAR kLevelError = 2;
constexpr UCHAR kLevelWarning = 3;
constexpr UCHAR kLevelInformation = 4;
constexpr UCHAR kLevelVerbose = 5;

std::atomic<ULONG> s_enableBits{0};
std::atomic<REGHANDLE> s_regHandle{0};

struct EventLevel {
    ULONG bit;
    UCHAR level;
};

EventLevel LevelOf(USHORT event_id)
{
    if (event_id >= 10 && event_id <= 12)
        return {EnableError, kLevelError};
    if (event_id >= 13 && event_id <= 15)
        return {EnableWarning, kLevelWarning};
    if (event_id >= 16 && event_id <= 18)
        return {EnableInformation, kLevelInformation};
    if (event_id >= 19 && event_id <= 21)
        return {EnableVerbose, kLevelVerbose};
    return {0, 0};
}

void WINAPI EnableCallback(LPCGUID, ULONG isEnabled, UCHAR level, ULONGLONG, ULONGLONG,
                          PEVENT_FILTER_DESCRIPTOR, PVOID)
{
    ULONG bits = 0;
    if (isEnabled) {
        bool all = level == 0;
        if (all || level >= kLevelError)
            bits |= EnableError;
        if (all || level >= kLevelWarning)
            bits |= EnableWarning;
        if (all || level >= kLevelInformation)
            bits |= EnableInformation;
        if (all || level >= kLevelVerbose)
            bits |= EnableVerbose;
    }
    s_enableBits.store(bits, std::memory_order_relaxed);
}

} // namespace

ULONG ril_etw_register(void)
{
    if (s_regHandle.load() != 0)
        return ERROR_SUCCESS;
    REGHANDLE handle = 0;
    ULONG result = EventRegister(&SORVANTA_TRACE_PROVIDER, EnableCallback, nullptr, &handle);
    if (result == ERROR_SUCCESS)
        s_regHandle.store(handle);
    return result;
}

ULONG ril_etw_unregister(void)
{
    REGHANDLE handle = s_regHandle.exchange(0);
    if (handle == 0)
        return ERROR_SUCCESS;
    ULONG result = EventUnregister(handle);
    s_enableBits.store(0, std::memory_order_relaxed);
    return result;
}

bool ril_etw_event_enabled(USHORT event_id)
{
    return (s_enableBits.load(std::memory_order_relaxed) & LevelOf(event_id).bit) != 0;
}

void ril_etw_write(USHORT event_id, const char* text)
{
    if (!ril_etw_event_enabled(event_id))
        return;
    EVENT_DESCRIPTOR descriptor = {};
    descriptor.Id = event_id;
    descriptor.Level = LevelOf(event_id).level;
    EVENT_DATA_DESCRIPTOR data;
    EventDataDescCreate(&data, text, static_cast<ULONG>(strlen(text) + 1));
    EventWrite(s_regHandle.load(), &descriptor, 1, &data);
}
