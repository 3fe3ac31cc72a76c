// The data path end to end, threaded and in real time: the modem booted once through the driver's code
// (the system tests' rig) with its DPMAIF engine looping every uplink packet back. Each iteration sends a
// burst of IPv4 packets through ccmni_start_xmit on a few channels, the push thread writes them to the DRB
// rings, the engine turns them round, and the interrupt, the receive tasklet and the ccmni layer hand
// them to the adapter's receive stand-in; the iteration ends once every packet came back and every send
// was completed. Arg 0 is the packet size (0: the mix 64, 576, 1500), arg 1 the burst (the offered rate's
// growth: single packets up to 1024 in flight), arg 2 the verifier mode.
//
// Latency is send to receive per packet, by the sequence number each packet carries. The host runs on
// the wall clock here, so its waits, timers and the modem's own pace are real; the host's cost is the
// process's CPU time per packet (every thread: the driver's, the host's and the simulated modem's), read
// against a memcpy of the same bytes (BM_Memcpy, same run) and against 1.2 us, the budget per 1500-byte
// packet at 10 Gbit/s on one core.
#include <benchmark/benchmark.h>

#include <host/host.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

#include <sys/wait.h>
#include <unistd.h>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "IpcContext.h"
#include "IpcPcie.h"
#include "ccmni.h"
#include "doubles/modem_events.h"
#include "dpmaif.h"
#include "dpmaif_measure.h"
#include "host_run.h"
#include "pcie_device.h"
#include "system_rig.h"

namespace
{

using dpmaifbench::Require;
using Clock = std::chrono::steady_clock;

constexpr u32 kChannels[] = {0, 1, 3, 7};
constexpr u32 kChain = 8;              // packets per ccmni_start_xmit
constexpr u32 kSeqOffset = 28;         // the sequence number follows the IPv4 and UDP headers
constexpr u32 kWarmRounds = 16;        // rounds before the counted loop, so the caches reach their size
constexpr LONGLONG kLimit = 300000000; // 30 s (100 ns units): a round or the boot taking longer failed

// ---------------------------------------------------------------------------------------------
// What is in flight: filled by the bench thread before a round, by the stand-ins while it runs.

struct Flight {
    std::atomic<u64> target{0};
    std::atomic<u64> received{0};
    std::atomic<u64> completed{0};
    std::atomic<u32> first_seq{0};
    std::atomic<u64> strays{0}; // packets back with an unknown sequence number or a wrong length
    std::vector<u32> sizes;     // per slot of the burst
    std::vector<Clock::time_point> sent, arrived;
    KEVENT done;

    bool Done() const { return received.load() >= target.load() && completed.load() >= target.load(); }
};

Flight g_flight;

// What the driver queued and stalled, counted by the wrappers below.
struct Deferred {
    std::atomic<WDFDPC> tasklets[DPMAIF_RXQ_NUM] = {};
    std::atomic<WDFWORKITEM> works[DPMAIF_RXQ_NUM] = {};
    std::atomic<u64> requeues{0};  // receive tasklets queued again: a run out of budget, or the work item
    std::atomic<u64> handovers{0}; // receive runs handed to the work item (out of buffers)
    std::atomic<u64> stall_us{0};  // busy-waits asked for
};

Deferred g_deferred;

// ---------------------------------------------------------------------------------------------
// The booted modem, made by the first benchmark and kept to the end.

class BootedModem : public systemtest::SystemRig
{
  public:
    BootedModem()
    {
        KeInitializeEvent(&g_flight.done, NotificationEvent, FALSE);
        Require(Start() == STATUS_SUCCESS, "the driver did not start on the modem");
        Require(WaitReady(), "the modem never reported ready");
        Modem().Dpmaif().SetLoopback(true);
        Modem().Dpmaif().SetUplinkRecording(false);
        ctl_ = Ctl();
        Require(ctl_ != nullptr && ctl_->dpmaif != nullptr && dpmaif_is_started(ctl_->dpmaif),
                "no started DPMAIF instance");
        for (u32 channel : kChannels)
            Require(ccmni_open(ctl_->instances[channel]->dev) == 0, "ccmni device not opened");
        for (u32 q = 0; q < DPMAIF_RXQ_NUM; q++) {
            g_deferred.tasklets[q] = ctl_->dpmaif->rxq[q].tasklet;
            g_deferred.works[q] = ctl_->dpmaif->rxq[q].work;
        }
    }
    ~BootedModem() override
    {
        for (u32 channel : kChannels)
            ccmni_close(ctl_->instances[channel]->dev);
        Stop();
        Require(!::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed(), "the teardown failed");
    }
    void TestBody() override {}

    struct ccmni_ctl_block* ctl() { return ctl_; }

  private:
    struct ccmni_ctl_block* Ctl()
    {
        IPC_PCI_DEVICE* pdev = Driver().Pdev();
        return pdev != nullptr && pdev->MdmDevice != nullptr ? pdev->MdmDevice->ccmni : nullptr;
    }

    // The rig's own waits move virtual time; here time passes by itself.
    static bool WaitReady()
    {
        LARGE_INTEGER step;
        step.QuadPart = -sim::modem::Milliseconds(10);
        for (LONGLONG waited = 0; waited < kLimit; waited += -step.QuadPart) {
            const std::vector<std::string> reports = Reports();
            if (std::find(reports.begin(), reports.end(), "MDM_READY") != reports.end())
                return true;
            KeDelayExecutionThread(KernelMode, FALSE, &step);
        }
        return false;
    }

    struct ccmni_ctl_block* ctl_ = nullptr;
};

std::unique_ptr<BootedModem> g_modem;

BootedModem& Booted()
{
    if (g_modem == nullptr)
        g_modem = std::make_unique<BootedModem>();
    return *g_modem;
}

// ---------------------------------------------------------------------------------------------
// The burst: one IPv4 UDP packet per slot, made once and sent again every round.

class Burst
{
  public:
    Burst(const std::vector<SIZE_T>& sizes, u32 count)
    {
        g_flight.sizes.clear();
        for (u32 n = 0; n < count; n++) {
            const u32 size = static_cast<u32>(sizes[n % sizes.size()]);
            struct sk_buff* skb = alloc_skb(CCMNI_TX_HEADROOM + size, 0);
            Require(skb != nullptr, "transmit packet");
            skb_reserve(skb, CCMNI_TX_HEADROOM);
            u8* ip = skb_put(skb, size);
            ip[0] = 0x45;
            ip[2] = static_cast<u8>(size >> 8);
            ip[3] = static_cast<u8>(size);
            ip[8] = 64;
            ip[9] = 17;
            ip[12] = static_cast<u8>(Channel(n));
            for (u32 i = kSeqOffset + sizeof(u32); i < size; i++)
                ip[i] = static_cast<u8>(n + i);
            skbs_.push_back(skb);
            g_flight.sizes.push_back(size);
            bytes_ += size;
        }
        g_flight.sent.assign(count, {});
        g_flight.arrived.assign(count, {});
    }
    ~Burst()
    {
        for (struct sk_buff* skb : skbs_)
            kfree_skb(skb, 0);
    }
    Burst(const Burst&) = delete;
    Burst& operator=(const Burst&) = delete;

    u64 Bytes() const { return bytes_; }
    u32 Count() const { return static_cast<u32>(skbs_.size()); }

    // One round: every slot sent, chains of kChain per channel in turn; returns the seconds until the
    // last packet was back and completed, and adds each packet's latency (microseconds) to `latencies`.
    double Round(struct ccmni_ctl_block* ctl, std::vector<double>& latencies)
    {
        const u32 count = Count();
        const u32 first = seq_;
        seq_ += count;
        for (u32 n = 0; n < count; n++) {
            struct sk_buff* skb = skbs_[n];
            // As the adapter hands a packet: the data after the headroom, no flags.
            skb->data = skb->head + CCMNI_TX_HEADROOM;
            skb->len = g_flight.sizes[n];
            skb->tx_flags = 0;
            skb->chain_next = nullptr;
            const u32 seq = first + n;
            std::memcpy(skb->data + kSeqOffset, &seq, sizeof(seq));
        }
        g_flight.received = 0;
        g_flight.completed = 0;
        g_flight.first_seq = first;
        g_flight.target = count;

        const Clock::time_point start = Clock::now();
        const u32 channels = static_cast<u32>(std::size(kChannels));
        for (u32 group = 0; group < count; group += kChain * channels)
            for (u32 c = 0; c < channels; c++)
                Send(ctl, c, group);
        Wait();
        const double taken = std::chrono::duration<double>(Clock::now() - start).count();
        for (u32 n = 0; n < count; n++)
            latencies.push_back(
                std::chrono::duration<double, std::micro>(g_flight.arrived[n] - g_flight.sent[n]).count());
        return taken;
    }

  private:
    // Slot n goes on channel (n / kChain) modulo the channels: a group of kChain per channel in turn.
    static u32 Channel(u32 n) { return kChannels[(n / kChain) % std::size(kChannels)]; }

    // The chain of channel index `c` in the group starting at slot `group`.
    void Send(struct ccmni_ctl_block* ctl, u32 c, u32 group)
    {
        const u32 from = group + c * kChain;
        const u32 to = std::min(from + kChain, Count());
        if (from >= to)
            return;
        for (u32 n = from; n + 1 < to; n++)
            skbs_[n]->chain_next = skbs_[n + 1];
        const Clock::time_point now = Clock::now();
        for (u32 n = from; n < to; n++)
            g_flight.sent[n] = now;
        struct ccmni_tx_request request = {};
        request.header_word = 1;
        Require(ccmni_start_xmit(skbs_[from], ctl->instances[kChannels[c]]->dev, &request) == 0 &&
                    request.dropped == 0,
                "packets dropped on the way out");
    }

    // Until every packet came back and every send was completed. The stand-ins set the event after
    // their count moved; it is cleared before each check, so no setting is lost and a stale one only
    // costs a check.
    static void Wait()
    {
        LARGE_INTEGER limit;
        limit.QuadPart = -kLimit;
        for (;;) {
            KeClearEvent(&g_flight.done);
            if (g_flight.Done())
                return;
            if (KeWaitForSingleObject(&g_flight.done, Executive, KernelMode, FALSE, &limit) ==
                STATUS_TIMEOUT) {
                std::fprintf(stderr, "%llu of %llu received, %llu completed\n",
                             (unsigned long long)g_flight.received.load(),
                             (unsigned long long)g_flight.target.load(),
                             (unsigned long long)g_flight.completed.load());
                Require(false, "the burst did not come back");
            }
        }
    }

    std::vector<struct sk_buff*> skbs_;
    u64 bytes_ = 0;
    u32 seq_ = 0;
};

// The process's CPU time (all threads), in ns.
double ProcessCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double Percentile(std::vector<double>& values, double p)
{
    if (values.empty())
        return 0;
    const size_t at =
        std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

void BM_DpmaifLoopback(benchmark::State& state)
{
    BootedModem& modem = Booted();
    Burst burst(dpmaifbench::PacketSizes(state.range(0)), static_cast<u32>(state.range(1)));
    std::vector<double> latencies;
    for (u32 warm = 0; warm < kWarmRounds; warm++)
        burst.Round(modem.ctl(), latencies);
    latencies.clear();
    const u64 strays = g_flight.strays;
    const u64 requeues = g_deferred.requeues;
    const u64 handovers = g_deferred.handovers;
    const u64 stall_us = g_deferred.stall_us;
    dpmaifbench::EngineTally tally(modem.Modem().Dpmaif());
    u64 packets = 0;
    const double cpuStart = ProcessCpuNs();
    for (auto _ : state) {
        state.SetIterationTime(burst.Round(modem.ctl(), latencies));
        packets += burst.Count();
    }
    const double cpuPerPacket = (ProcessCpuNs() - cpuStart) / static_cast<double>(packets);
    Require(g_flight.strays == strays, "packets came back altered or unknown");
    state.counters["cpu_ns/pkt"] = cpuPerPacket;
    state.counters["cpu/1.2us"] = cpuPerPacket / 1200.0;
    tally.Report(state, packets);
    state.counters["requeue/1k"] = dpmaifbench::PerThousand(g_deferred.requeues - requeues, packets);
    state.counters["rx_work/1k"] = dpmaifbench::PerThousand(g_deferred.handovers - handovers, packets);
    state.counters["stall_us/1k"] = dpmaifbench::PerThousand(g_deferred.stall_us - stall_us, packets);
    state.counters["p50_us"] = Percentile(latencies, 0.50);
    state.counters["p90_us"] = Percentile(latencies, 0.90);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
    dpmaifbench::ReportRates(state, packets, packets / burst.Count() * burst.Bytes());
}
// The mode a process runs: the modem boots once per process, so each verifier mode has its own.
void RegisterLoopbacks(int64_t verifier)
{
    benchmark::RegisterBenchmark("BM_DpmaifLoopback", BM_DpmaifLoopback)
        ->ArgsProduct({{64, 576, 1500, 0}, {1, 16, 256, 1024}, {verifier}})
        ->ArgNames({"size", "burst", "verifier"})
        ->Setup(benchhost::VerifierArg<2>)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
}

void BM_Memcpy(benchmark::State& state) { dpmaifbench::MemcpyPackets(state, state.range(0)); }
BENCHMARK(BM_Memcpy)->Arg(64)->Arg(576)->Arg(1500)->Arg(0)->ArgName("size");

} // namespace

// The adapter's side, linked in place of its receive indication and its transmit completion (--wrap):
// arrivals are stamped by sequence number and the buffers go back at once; completions are counted.
extern "C" void __wrap_WwanRx_IndicatePackets(struct sk_buff* first, ULONG count)
{
    const Clock::time_point now = Clock::now();
    const u32 first_seq = g_flight.first_seq;
    const size_t slots = g_flight.arrived.size();
    for (struct sk_buff* skb = first; skb != nullptr; skb = skb->chain_next) {
        u32 seq = 0;
        if (skb_headlen(skb) >= kSeqOffset + sizeof(seq))
            std::memcpy(&seq, skb->data + kSeqOffset, sizeof(seq));
        const u32 slot = seq - first_seq;
        if (slot < slots && skb->len == g_flight.sizes[slot])
            g_flight.arrived[slot] = now;
        else
            g_flight.strays++;
    }
    if (first != nullptr)
        skb_chain_recycle(first);
    g_flight.received += count;
    if (g_flight.Done())
        KeSetEvent(&g_flight.done, 0, FALSE);
}

extern "C" void __wrap_WwanTx_IndicateCompletions(struct sk_buff* chain)
{
    u64 n = 0;
    for (struct sk_buff* skb = chain; skb != nullptr; skb = skb->chain_next)
        n++;
    g_flight.completed += n;
    if (g_flight.Done())
        KeSetEvent(&g_flight.done, 0, FALSE);
}

extern "C" BOOLEAN __real_WdfDpcEnqueue(WDFDPC Dpc);
extern "C" BOOLEAN __wrap_WdfDpcEnqueue(WDFDPC Dpc)
{
    const BOOLEAN queued = __real_WdfDpcEnqueue(Dpc);
    for (const std::atomic<WDFDPC>& tasklet : g_deferred.tasklets)
        if (queued && Dpc == tasklet.load())
            g_deferred.requeues++;
    return queued;
}

extern "C" void __real_WdfWorkItemEnqueue(WDFWORKITEM WorkItem);
extern "C" void __wrap_WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
{
    for (const std::atomic<WDFWORKITEM>& work : g_deferred.works)
        if (WorkItem == work.load())
            g_deferred.handovers++;
    __real_WdfWorkItemEnqueue(WorkItem);
}

extern "C" void __real_KeStallExecutionProcessor(ULONG MicroSeconds);
extern "C" void __wrap_KeStallExecutionProcessor(ULONG MicroSeconds)
{
    g_deferred.stall_us += MicroSeconds;
    __real_KeStallExecutionProcessor(MicroSeconds);
}

// One child process per verifier mode, one after the other, each booting the modem once.
int main(int argc, char** argv)
{
    int result = 0;
    for (int verifier : {0, 1}) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            RegisterLoopbacks(verifier);
            host::Config config;
            config.clock = host::ClockMode::Real;
            config.verifier = verifier != 0;
            return benchhost::RunBenchmarks(argc, argv, config, [] { g_modem.reset(); });
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            result = 1;
    }
    return result;
}
