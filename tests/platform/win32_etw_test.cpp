// Manifest providers: enable callbacks from the controller (also at registration), level and keyword
// filtering, and what an event keeps.
#include <gtest/gtest.h>

#include <evntprov.h>
#include <windows.h>

#include <host/etw.h>
#include <host/trace.h>

#include <cstring>
#include <vector>

namespace {

// The library's provider, with its events written by hand as the library builds them.
DEFINE_GUID(kProvider, 0x364364D3, 0x0FD7, 0x4493, 0xBD, 0xE8, 0xB4, 0x25, 0x2D, 0x00, 0xC2, 0xB3);
constexpr EVENT_DESCRIPTOR kError = {10, 0, 0, TRACE_LEVEL_ERROR, 0, 0, 0x1};
constexpr EVENT_DESCRIPTOR kInfo = {16, 0, 0, TRACE_LEVEL_INFORMATION, 0, 0, 0x4};
constexpr EVENT_DESCRIPTOR kVerbose = {19, 0, 0, TRACE_LEVEL_VERBOSE, 0, 0, 0x8};

struct Callbacks {
    struct Call {
        ULONG enabled;
        UCHAR level;
        ULONGLONG any;
    };
    std::vector<Call> calls;
    static void WINAPI Record(LPCGUID source, ULONG enabled, UCHAR level, ULONGLONG any, ULONGLONG, PEVENT_FILTER_DESCRIPTOR,
                              PVOID context)
    {
        EXPECT_TRUE(*source == kProvider);
        static_cast<Callbacks*>(context)->calls.push_back({enabled, level, any});
    }
};

ULONG WriteText(REGHANDLE handle, const EVENT_DESCRIPTOR& descriptor, const char* text)
{
    EVENT_DATA_DESCRIPTOR data;
    EventDataDescCreate(&data, text, static_cast<ULONG>(strlen(text) + 1));
    return EventWrite(handle, &descriptor, 1, &data);
}

class Win32Etw : public testing::Test {
protected:
    void TearDown() override { host::EtwReset(); }
};

TEST_F(Win32Etw, TheControllerEnablesThroughTheCallbackAndFiltersEvents)
{
    Callbacks callbacks;
    REGHANDLE handle = 0;
    ASSERT_EQ(static_cast<ULONG>(ERROR_SUCCESS), EventRegister(&kProvider, Callbacks::Record, &callbacks, &handle));
    EXPECT_TRUE(callbacks.calls.empty()); // no session yet
    EXPECT_EQ(static_cast<ULONG>(ERROR_SUCCESS), WriteText(handle, kError, "dropped"));
    EXPECT_FALSE(EventEnabled(handle, &kError));

    host::EtwEnableProvider(kProvider, TRACE_LEVEL_INFORMATION, 0x1 | 0x4 | 0x8);
    ASSERT_EQ(1u, callbacks.calls.size());
    EXPECT_EQ(static_cast<ULONG>(EVENT_CONTROL_CODE_ENABLE_PROVIDER), callbacks.calls[0].enabled);
    EXPECT_EQ(TRACE_LEVEL_INFORMATION, callbacks.calls[0].level);
    EXPECT_TRUE(EventEnabled(handle, &kInfo));
    EXPECT_FALSE(EventEnabled(handle, &kVerbose)); // above the session's level
    EXPECT_TRUE(EventProviderEnabled(handle, TRACE_LEVEL_ERROR, 0x1));
    EXPECT_FALSE(EventProviderEnabled(handle, TRACE_LEVEL_ERROR, 0x2)); // no keyword in common

    host::TraceClear();
    WriteText(handle, kError, "mdmril_destroy++");
    WriteText(handle, kVerbose, "dropped: too detailed");
    const UCHAR bytes[3] = {1, 0, 2};
    EVENT_DATA_DESCRIPTOR data[2];
    EventDataDescCreate(&data[0], bytes, 2);
    EventDataDescCreate(&data[1], bytes + 2, 1);
    EXPECT_EQ(static_cast<ULONG>(ERROR_SUCCESS), EventWrite(handle, &kInfo, 2, data));

    auto events = host::EtwEvents(&kProvider);
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(10, events[0].id);
    EXPECT_EQ(TRACE_LEVEL_ERROR, events[0].level);
    EXPECT_EQ(0x1u, events[0].keyword);
    EXPECT_EQ("mdmril_destroy++", host::EtwText(events[0]));
    EXPECT_EQ(16, events[1].id);
    EXPECT_EQ((std::vector<UCHAR>{1, 0, 2}), events[1].payload);
    EXPECT_EQ("", host::EtwText(events[1]));
    auto lines = host::TraceFind("mdmril_destroy++");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(host::TraceStream::Etw, lines[0].stream);
    EXPECT_EQ(TRACE_LEVEL_ERROR, lines[0].level);

    host::EtwDisableProvider(kProvider);
    ASSERT_EQ(2u, callbacks.calls.size());
    EXPECT_EQ(static_cast<ULONG>(EVENT_CONTROL_CODE_DISABLE_PROVIDER), callbacks.calls[1].enabled);
    WriteText(handle, kError, "dropped after disable");
    EXPECT_EQ(2u, host::EtwEvents(&kProvider).size());
    EXPECT_EQ(static_cast<ULONG>(ERROR_SUCCESS), EventUnregister(handle));
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), EventUnregister(handle));
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), WriteText(handle, kError, "x"));
}

TEST_F(Win32Etw, RegisteringUnderAnEnabledSessionCallsBackAtOnce)
{
    host::EtwEnableProvider(kProvider, 0); // every level, every keyword
    Callbacks callbacks;
    REGHANDLE handle = 0;
    ASSERT_EQ(static_cast<ULONG>(ERROR_SUCCESS), EventRegister(&kProvider, Callbacks::Record, &callbacks, &handle));
    ASSERT_EQ(1u, callbacks.calls.size());
    EXPECT_EQ(static_cast<ULONG>(EVENT_CONTROL_CODE_ENABLE_PROVIDER), callbacks.calls[0].enabled);
    EXPECT_TRUE(EventEnabled(handle, &kVerbose));
    EventUnregister(handle);
    host::EtwDisableProvider(kProvider);
    EXPECT_EQ(1u, callbacks.calls.size()); // unregistered: not told
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_PARAMETER), EventRegister(nullptr, nullptr, nullptr, &handle));
}

} // namespace
