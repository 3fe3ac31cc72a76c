// The settings table and the trace gate, and how a gated line reaches the library's trace provider.
#include "os_util.h"
#include "ril_config.h"
#include "ril_trace.h"
#include "trace_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <string.h>

namespace {

using tracetest::Lines;
using tracetest::Texts;
using tracetest::TraceTest;
using testing::ElementsAre;

using GateTest = TraceTest;

TEST_F(GateTest, ShippedLevelsOpenEveryMaskButThirtyTwo)
{
    struct Case {
        int module, mask;
        bool open;
    } cases[] = {
        {0, 1, true}, {0, 4, true}, {0, 8, true}, {0, 16, true}, {0, 32, false}, {0, 64, true},
        {1, 8, true}, {2, 2, true}, {2, 32, false}, {0, 32 | 64, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ril_config_trace_enabled(c.module, c.mask), c.open) << c.module << "/" << c.mask;
    EXPECT_TRUE(Lines().empty()) << "asking the gate writes nothing";

    EXPECT_FALSE(ril_config_trace_enabled(3, 1));
    EXPECT_FALSE(ril_config_trace_enabled(-1, 1));
    EXPECT_THAT(Texts(), ElementsAre("ril_config_trace_enabled: entry(3) out of range",
                                     "ril_config_trace_enabled: entry(-1) out of range"));
    EXPECT_EQ(Lines()[0].id, RIL_EVENT_ERROR);
}

TEST_F(GateTest, SettingsAccessors)
{
    EXPECT_STREQ(ril_config_get_cfg_string(0), "/sioscc/vCom/1");
    EXPECT_EQ(ril_config_get_cfg_string(1), nullptr) << "not valid";
    EXPECT_EQ(ril_config_get_cfg_string(2), nullptr) << "no such entry";
    EXPECT_EQ(ril_config_get_cfg_string(-1), nullptr);
    EXPECT_TRUE(ril_config_xfdor_mode_2());
    EXPECT_FALSE(ril_config_xfdor_mode_1());
    EXPECT_EQ(ril_config_get_max_pdp_context(), 8);

    Clear();
    EXPECT_EQ(ril_config_init(0, 0), -1);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "Using config filename (/system/etc/rpc-ril/repository.txt)");
    EXPECT_EQ(lines[0].id, RIL_EVENT_VERBOSE);
    EXPECT_EQ(lines[1].text, "ril_config_init--");
}

TEST_F(GateTest, LongLinesAreCut)
{
    std::string text(600, 'x');
    RIL_TRACE(RIL_MASK_FLOW, "%s", text.c_str());
    RIL_TRACE_OS("%s", text.c_str());
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], std::string(499, 'x'));
    EXPECT_EQ(texts[1], std::string(RIL_TRACE_INDENT, ' ') + std::string(478, 'x'));
    EXPECT_EQ(host::EtwEvents(&SORVANTA_TRACE_PROVIDER)[0].payload.size(), 500u) << "text and its terminator";
}

int s_formatted = 0;

const char* Counted()
{
    s_formatted++;
    return "counted";
}

TEST_F(GateTest, AClosedGateFormatsNothingAndADisabledLevelWritesNothing)
{
    s_formatted = 0;
    RIL_TRACE(32, "%s", Counted());
    EXPECT_EQ(s_formatted, 0);
    RIL_TRACE(RIL_MASK_FLOW, "%s", Counted());
    EXPECT_EQ(s_formatted, 1);

    // A session at error level takes event 10 and drops event 19.
    host::EtwReset();
    host::EtwEnableProvider(SORVANTA_TRACE_PROVIDER, 2);
    EXPECT_TRUE(ril_etw_event_enabled(RIL_EVENT_ERROR));
    EXPECT_FALSE(ril_etw_event_enabled(RIL_EVENT_INFO));
    RIL_TRACE(RIL_MASK_FUNC, "%s++", "verbose");
    RIL_TRACE(RIL_MASK_ERROR, "error");
    RIL_TRACE_EVENT(RIL_MASK_FLOW, RIL_EVENT_INFO, "information");
    EXPECT_THAT(Texts(), ElementsAre("error"));

    host::EtwDisableProvider(SORVANTA_TRACE_PROVIDER);
    RIL_TRACE(RIL_MASK_ERROR, "dropped");
    EXPECT_FALSE(ril_etw_event_enabled(RIL_EVENT_ERROR));
    EXPECT_THAT(Texts(), ElementsAre("error"));

    host::EtwEnableProvider(SORVANTA_TRACE_PROVIDER, 4);
    RIL_TRACE_EVENT(RIL_MASK_FLOW, RIL_EVENT_INFO, "information");
    EXPECT_THAT(Texts(), ElementsAre("error", "information"));
}

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 100;

unsigned WINAPI TraceFromThread(void* argument)
{
    int n = static_cast<int>(reinterpret_cast<uintptr_t>(argument));
    std::string own(40 + n * 30, static_cast<char>('a' + n));
    for (int i = 0; i < kLinesPerThread; i++)
        RIL_TRACE(RIL_MASK_FLOW, "thread %d line %d %s", n, i, own.c_str());
    return 0;
}

TEST_F(GateTest, LinesFromManyThreadsStayWhole)
{
    HANDLE threads[kThreads] = {};
    for (int n = 0; n < kThreads; n++)
        ASSERT_EQ(Mbim_Thread_create(nullptr, TraceFromThread, 0, reinterpret_cast<void*>(static_cast<uintptr_t>(n)),
                                     &threads[n]),
                  0);
    for (HANDLE thread : threads) {
        EXPECT_EQ(Mbim_Event_wait(thread, INFINITE), 0);
        CloseHandle(thread);
    }
    std::vector<std::string> texts;
    for (const std::string& text : Texts())
        if (text.rfind("thread ", 0) == 0)
            texts.push_back(text);
    ASSERT_EQ(texts.size(), static_cast<size_t>(kThreads * kLinesPerThread));
    for (const std::string& text : texts) {
        int n = -1, i = -1;
        ASSERT_EQ(sscanf(text.c_str(), "thread %d line %d ", &n, &i), 2) << text;
        std::string expected = "thread " + std::to_string(n) + " line " + std::to_string(i) + " " +
                               std::string(40 + n * 30, static_cast<char>('a' + n));
        EXPECT_EQ(text, expected);
    }
}

} // namespace
