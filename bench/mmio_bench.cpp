// Register accesses: address-to-window lookup and the handler call, alone and from several threads, in
// both verifier modes, beside the yardstick.
#include <benchmark/benchmark.h>

#include <host/mmio.h>
#include <wdm.h>

#include <vector>

#include "host_run.h"
#include "yardstick.h"

namespace {

constexpr ULONG64 kBase = 0xE0000000;
constexpr ULONG64 kWindow = 0x10000;

struct Device {
    std::vector<host::IoWindow*> windows;
    std::vector<ULONG*> mappings;

    explicit Device(int count)
    {
        for (int i = 0; i < count; i++) {
            ULONG64 base = kBase + ULONG64(i) * kWindow;
            windows.push_back(host::IoWindowRegister(
                base, kWindow,
                host::IoWindowHandlers{[](ULONG64 offset, ULONG) { return offset; }, nullptr}));
            PHYSICAL_ADDRESS physical;
            physical.QuadPart = static_cast<LONGLONG>(base);
            mappings.push_back(
                static_cast<ULONG*>(MmMapIoSpaceEx(physical, kWindow, PAGE_READWRITE | PAGE_NOCACHE)));
        }
    }
    ~Device()
    {
        for (ULONG* mapping : mappings)
            MmUnmapIoSpace(mapping, kWindow);
        for (host::IoWindow* window : windows)
            host::IoWindowUnregister(window);
    }
};

WWAN_BENCH_YARDSTICK();

Device* g_device = nullptr;

void DeviceSetup(const benchmark::State& state)
{
    benchhost::VerifierArg<0>(state);
    g_device = new Device(static_cast<int>(state.range(1)));
}

void DeviceTeardown(const benchmark::State&)
{
    delete g_device;
    g_device = nullptr;
}

// Args: verifier, number of mapped windows; each thread reads from its own.
void BM_RegisterRead(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(
            READ_REGISTER_ULONG(g_device->mappings[state.thread_index() % g_device->mappings.size()] + 4));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegisterRead)
    ->ArgsProduct({{0, 1}, {1, 16}})
    ->ArgNames({"verifier", "windows"})
    ->Setup(DeviceSetup)
    ->Teardown(DeviceTeardown)
    ->ThreadRange(1, 4)
    ->UseRealTime();

} // namespace
