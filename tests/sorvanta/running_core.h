// A RIL core started as the front starts it (RIL_init), with the front's and the bridge's doubles, its
// trace lines captured, and a latch that holds its worker inside a hand-off to the front. Stopping
// checks that the worker has ended and that nothing was leaked.
#pragma once

#include "async_ril.h"
#include "bridge_double.h"
#include "front_double.h"
#include "mbimcore_db.h"
#include "memutil.h"
#include "trace_capture.h"

#include <host/host.h>
#include <host/trace.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace coretest {

// Lets the worker (and every other thread) run until all of them wait.
inline void Settle()
{
    host::ClockAdvance(0);
}

inline std::vector<std::string> LinesWith(const std::string& needle)
{
    std::vector<std::string> found;
    for (const std::string& text : tracetest::Texts())
        if (text.find(needle) != std::string::npos)
            found.push_back(text);
    return found;
}

inline size_t CountLines(const std::string& needle)
{
    return LinesWith(needle).size();
}

inline size_t CountExactLines(const std::string& text)
{
    size_t count = 0;
    for (const std::string& line : tracetest::Texts())
        count += line == text;
    return count;
}

// Holds the worker inside MBIM_IOControl on a host command of its own, until released.
class WorkerLatch {
public:
    static constexpr uint32_t kTransactionId = 0xA11CE;

    WorkerLatch() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        HANDLE event = event_;
        frontdouble::OnIoControl([event](const std::vector<uint8_t>& message) {
            uint32_t tid = 0;
            if (message.size() >= 12)
                memcpy(&tid, message.data() + 8, sizeof(tid));
            if (tid == kTransactionId)
                WaitForSingleObject(event, INFINITE);
        });
    }
    ~WorkerLatch()
    {
        Release();
        Settle();
        frontdouble::OnIoControl(nullptr);
        CloseHandle(event_);
    }
    WorkerLatch(const WorkerLatch&) = delete;
    WorkerLatch& operator=(const WorkerLatch&) = delete;

    // Returns once the worker waits inside the hand-off.
    void Hold()
    {
        ASSERT_EQ(HostCommand(MbimMessage(3, 48, kTransactionId)), 0);
        Settle();
    }
    void Release() { SetEvent(event_); }

private:
    HANDLE event_;
};

// Stops the core and checks that its worker has ended and that nothing is left of what it held.
inline void StopAndCheck(long baseline)
{
    RIL_close(0);
    Settle();
    EXPECT_FALSE(mdmril_worker_alive());
    memutil_inject_failure(-1);
    EXPECT_EQ(memutil_live_blocks(), baseline) << "blocks leaked";
}

class RunningCoreTest : public tracetest::TraceTest {
protected:
    void SetUp() override
    {
        TraceTest::SetUp();
        ringSize_ = host::TraceRingSize();
        host::TraceSetRingSize(1 << 16);
        baseline_ = memutil_live_blocks();
        frontdouble::Reset();
        ResetAndRegisterBridge();
        table_ = RIL_init(frontdouble::Env(), 0, 0, nullptr);
        ASSERT_NE(table_, nullptr);
        ASSERT_EQ(g_MbimCoreDb.s_ril_init.load(), 1);
        Settle();
    }
    void TearDown() override
    {
        StopAndCheck(baseline_);
        host::TraceSetRingSize(ringSize_);
        TraceTest::TearDown();
    }

    // Sends one request through the radio table, as the front does.
    void Request(int uuid_index, int ReqID, void* token)
    {
        table_->SendRequest(0, ReqID, uuid_index, 0, nullptr, 0, token);
    }

    RadioCallbacks* table_ = nullptr;
    long baseline_ = 0;
    size_t ringSize_ = 0;
};

inline void* Token(uintptr_t n)
{
    return reinterpret_cast<void*>(n);
}

} // namespace coretest
