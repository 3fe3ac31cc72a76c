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

} // namespace exectest
