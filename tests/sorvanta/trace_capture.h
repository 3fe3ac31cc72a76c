// Captures the library's trace lines: registers its provider and enables a session at a level.
#pragma once

#include "ril_etw.h"

#include <host/etw.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tracetest {

struct Line {
    USHORT id;
    std::string text;
};

inline std::vector<Line> Lines()
{
    std::vector<Line> lines;
    for (const host::EtwEvent& event : host::EtwEvents(&SORVANTA_TRACE_PROVIDER))
        lines.push_back({event.id, host::EtwText(event)});
    return lines;
}

inline std::vector<std::string> Texts()
{
    std::vector<std::string> texts;
    for (const Line& line : Lines())
        texts.push_back(line.text);
    return texts;
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::EtwReset();
        host::EtwEnableProvider(SORVANTA_TRACE_PROVIDER, 5);
        ASSERT_EQ(ril_etw_register(), 0u);
    }
    void TearDown() override
    {
        ril_etw_unregister();
        host::EtwReset();
    }
    // Forgets what was captured so far; the session stays.
    static void Clear()
    {
        host::EtwReset();
        host::EtwEnableProvider(SORVANTA_TRACE_PROVIDER, 5);
    }
};

} // namespace tracetest
