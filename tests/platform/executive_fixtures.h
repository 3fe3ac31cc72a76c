// Small helpers shared by the executive's tests: system threads running lambdas, and time in ms.
#pragma once

#include <gtest/gtest.h>

#include <host/host.h>
#include <wdm.h>

#include <functional>
#include <memory>

namespace exectest {

constexpr LONGLONG Ms(LONGLONG ms) { return ms * 10000; }

inline LARGE_INTEGER Relative(LONGLONG units)
{
    LARGE_INTEGER value;
    value.QuadPart = -units;
    return value;
}

// Runs `body` on a new system thread; returns its referenced thread object.
inline PKTHREAD StartThread(std::function<void()> body)
{
    auto* owned = new std::function<void()>(std::move(body));
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(
        &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
        [](PVOID context) {
            // Freed on the way out even when the thread terminates itself.
            std::unique_ptr<std::function<void()>> run(static_cast<std::function<void()>*>(context));
            (*run)();
        },
        owned);
    EXPECT_EQ(STATUS_SUCCESS, status);
    PVOID thread = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr));
    ZwClose(handle);
    return static_cast<PKTHREAD>(thread);
}

inline void Join(PKTHREAD thread)
{
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(thread);
}

// The host restarted with the verifier's bookkeeping off, in the clock mode of the parameter, for the
// paths the benchmarks and the simulator run; the usual host comes back after the test. What a test
// allocates here it frees here.
class VerifierOff : public testing::TestWithParam<host::ClockMode>
{
  protected:
    void SetUp() override
    {
        host::Shutdown();
        host::Config config;
        config.verifier = false;
        config.clock = GetParam();
        config.scale = 1000.0; // real mode: stalls and waits pass quickly
        host::Start(config);
    }
    void TearDown() override
    {
        host::Shutdown();
        host::Start(host::Config{});
    }
};

inline const char* ClockName(const testing::TestParamInfo<host::ClockMode>& info)
{
    return info.param == host::ClockMode::Virtual ? "VirtualClock" : "RealClock";
}

} // namespace exectest
