// Register accesses: address-to-window lookup and the handler call, alone and from several threads.
#include <benchmark/benchmark.h>

#include <host/mmio.h>
#include <wdm.h>

#include <vector>

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

// Arg: number of mapped windows; each thread reads from its own.
void BM_RegisterRead(benchmark::State& state)
{
    static Device* device = nullptr;
    if (state.thread_index() == 0)
        device = new Device(static_cast<int>(state.range(0)));
    // Google Benchmark starts the timed loop of every thread together, after thread 0's set-up.
    for (auto _ : state)
        benchmark::DoNotOptimize(
            READ_REGISTER_ULONG(device->mappings[state.thread_index() % device->mappings.size()] + 4));
    if (state.thread_index() == 0) {
        delete device;
        device = nullptr;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegisterRead)->Arg(1)->Arg(16)->ThreadRange(1, 4)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
