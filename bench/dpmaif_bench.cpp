// The DPMAIF data path's host cost, thread-free, against the simulated engine stepped between the timed
// regions: receive (the engine writes a batch of downlink packets, the timed region decodes the
// interrupt status, reads them off the PIT, hands them to the ccmni layer and refills the BATs) and
// transmit (the timed region queues chains and writes them into the DRB ring, then, once the engine
// has walked them, decodes the status, releases and completes them).
// A plain memcpy of the same bytes runs beside them as the machine's yardstick. Arg 0 of each is the
// packet size (0 is the mix 64, 576, 1500), arg 1 the verifier mode.
#include <benchmark/benchmark.h>

#include <host/host.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "dpmaif_rig.h"
#include "dpmaif_measure.h"
#include "host_run.h"

namespace
{

using dpmaifbench::Require;
using Clock = std::chrono::steady_clock;

constexpr u32 kRxBatch = 1024; // downlink packets the engine writes per iteration
constexpr u32 kTxBatch = 256;  // uplink packets per iteration
constexpr u32 kTxChain = 16;   // packets per chain the ccmni layer hands over
constexpr u8 kTxQueue = 0;

u32 g_rx_packets = 0;
u32 g_tx_completed = 0;

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// The engine's and the pool's counts, and the host time the path spent stalled (virtual time: nothing
// else moves it in these runs), per 1000 packets; then the rates.
class Tally
{
  public:
    explicit Tally(sim::modem::DpmaifEngine& engine) : engine_(engine), clock_(host::ClockNow()) {}

    void Report(benchmark::State& state, u64 packets, u64 bytes)
    {
        const LONGLONG stalled = host::ClockNow() - clock_;
        engine_.Report(state, packets);
        state.counters["stall_us/1k"] = dpmaifbench::PerThousand(static_cast<u64>(stalled), packets) / 10.0;
        dpmaifbench::ReportRates(state, packets, bytes);
    }

  private:
    dpmaifbench::EngineTally engine_;
    LONGLONG clock_;
};

// ---------------------------------------------------------------------------------------------
// Receive.

// One iteration: the engine writes the batch (not timed), then the path runs as its interrupt drives
// it: the status decode, the queue's runner (dpmaif_rx_run, then the status refresh and the done
// interrupt's unmask) and the BAT refill the run queued, waited for. Returns the seconds it took.
double ReceiveBatch(dpmaifbench::Rig& rig)
{
    struct dpmaif_hif* hif = rig.Hif();
    const ULONG64 before = rig.Engine().DownlinkWritten(0);
    rig.Engine().RunNow(kRxBatch);
    Require(rig.Engine().DownlinkWritten(0) - before == kRxBatch, "the engine wrote short of the batch");
    g_rx_packets = 0;
    const Clock::time_point start = Clock::now();
    struct dpmaif_irq_status status;
    drv_dpmaif_hw_get_interrupt_status(&hif->hw, &status, 0);
    dpmaif_rxq_tasklet(hif->rxq[0].tasklet);
    WdfWorkItemFlush(hif->bat_refill_work);
    const double taken = Seconds(start);
    Require(g_rx_packets == kRxBatch && hif->rxq[0].rd_idx == rig.Engine().Pit(0).write,
            "the receive path did not take the batch");
    return taken;
}

void BM_DpmaifReceive(benchmark::State& state)
{
    dpmaifbench::Rig rig;
    const std::vector<SIZE_T> sizes = dpmaifbench::PacketSizes(state.range(0));
    sim::modem::DpmaifGenerator generator;
    generator.sizes = sizes;
    rig.Engine().StartGenerator(generator);
    // The cache is filled once, at creation, and the BAT's first fill takes nearly all of it; from then
    // on it holds what recycling brings back. The BAT refill runs beside the run, before the run hands
    // its packets back, so the cache is short by what a run keeps in flight until fresh buffers (which
    // join it) have covered the largest such gap: the warm-up lets it grow most of the way.
    for (int warm = 0; warm < 32; warm++)
        ReceiveBatch(rig);
    Tally tally(rig.Engine());
    // Generated packet n has size n modulo the sizes: the loop's packets follow the warm-up's.
    const u64 first = rig.Engine().DownlinkWritten(0);
    u64 packets = 0;
    for (auto _ : state) {
        state.SetIterationTime(ReceiveBatch(rig));
        packets += kRxBatch;
    }
    u64 bytes = 0;
    for (u64 n = first; n < first + packets; n++)
        bytes += sizes[n % sizes.size()];
    tally.Report(state, packets, bytes);
}
BENCHMARK(BM_DpmaifReceive)
    ->ArgsProduct({{64, 576, 1500, 0}, {0, 1}})
    ->ArgNames({"size", "verifier"})
    ->Setup(benchhost::VerifierArg<1>)
    ->UseManualTime();

// ---------------------------------------------------------------------------------------------
// Transmit.

struct TxPackets {
    std::vector<struct sk_buff*> skbs;
    u64 bytes = 0;

    explicit TxPackets(const std::vector<SIZE_T>& sizes)
    {
        for (u32 n = 0; n < kTxBatch; n++) {
            const u32 size = static_cast<u32>(sizes[n % sizes.size()]);
            struct sk_buff* skb = alloc_skb(DPMAIF_TX_HEADER_SIZE + size, 0);
            Require(skb != nullptr, "transmit packet");
            std::memset(skb_put(skb, DPMAIF_TX_HEADER_SIZE), 0, DPMAIF_TX_HEADER_SIZE);
            std::memset(skb_put(skb, size), static_cast<int>(n), size);
            skbs.push_back(skb);
            bytes += size;
        }
    }
    ~TxPackets()
    {
        for (struct sk_buff* skb : skbs)
            kfree_skb(skb, 0);
    }
    // The packets as the ccmni layer hands them: header in front again, linked into chains.
    void Rechain()
    {
        for (u32 n = 0; n < kTxBatch; n++) {
            struct sk_buff* skb = skbs[n];
            if (skb->tx_flags & DPMAIF_TX_HEADER_REMOVED) {
                skb_push(skb, DPMAIF_TX_HEADER_SIZE);
                skb->tx_flags &= ~DPMAIF_TX_HEADER_REMOVED;
            }
            skb->chain_next = (n + 1) % kTxChain == 0 ? nullptr : skbs[n + 1];
        }
    }
};

double TransmitBatch(dpmaifbench::Rig& rig, TxPackets& packets)
{
    struct dpmaif_hif* hif = rig.Hif();
    packets.Rechain();
    g_tx_completed = 0;
    Clock::time_point start = Clock::now();
    for (u32 n = 0; n < kTxBatch; n += kTxChain) {
        struct ccmni_tx_request request = {};
        request.packets = kTxChain;
        Require(dpmaif_tx_send_skb(0, hif, kTxQueue, packets.skbs[n], 0, &request) == 0, "chain refused");
    }
    Require(!dpmaif_tx_push_serve(hif), "the push side ended");
    double taken = Seconds(start);
    rig.Engine().RunNow();
    Require(rig.Engine().UplinkErrors() == 0, "the engine found a bad descriptor");
    // The uplink-done interrupt's status decode, then the done timer's release and acknowledgement.
    start = Clock::now();
    struct dpmaif_irq_status status;
    drv_dpmaif_hw_get_interrupt_status(&hif->hw, &status, 0);
    dpmaif_tx_done(hif->txq[kTxQueue].done_timer);
    taken += Seconds(start);
    Require(g_tx_completed == kTxBatch && hif->txq[kTxQueue].rel_idx == hif->txq[kTxQueue].wr_idx,
            "not every packet came back");
    return taken;
}

void BM_DpmaifTransmit(benchmark::State& state)
{
    dpmaifbench::Rig rig;
    rig.Engine().SetUplinkRecording(false);
    TxPackets packets(dpmaifbench::PacketSizes(state.range(0)));
    for (int warm = 0; warm < 4; warm++)
        TransmitBatch(rig, packets);
    Tally tally(rig.Engine());
    u64 sent = 0;
    for (auto _ : state) {
        state.SetIterationTime(TransmitBatch(rig, packets));
        sent += kTxBatch;
    }
    tally.Report(state, sent, sent / kTxBatch * packets.bytes);
}
BENCHMARK(BM_DpmaifTransmit)
    ->ArgsProduct({{64, 576, 1500, 0}, {0, 1}})
    ->ArgNames({"size", "verifier"})
    ->Setup(benchhost::VerifierArg<1>)
    ->UseManualTime();

// ---------------------------------------------------------------------------------------------
// The yardstick: the same packets' bytes copied with memcpy, one call per packet.

void BM_Memcpy(benchmark::State& state) { dpmaifbench::MemcpyPackets(state, state.range(0)); }
BENCHMARK(BM_Memcpy)
    ->ArgsProduct({{64, 576, 1500, 0}, {0, 1}})
    ->ArgNames({"size", "verifier"})
    ->Setup(benchhost::VerifierArg<1>);

} // namespace

// Stand-ins for the layers around the data path, linked in place of theirs (--wrap): the ccmni layer's
// receive entry gives the buffers back to their cache at once; the adapter's transmit completion counts
// the packets.
namespace
{

int TakeReceived(struct sk_buff* first, u32 count)
{
    g_rx_packets += count;
    if (first != nullptr)
        skb_chain_recycle(first);
    return 0;
}

void CountCompleted(struct sk_buff* chain)
{
    for (struct sk_buff* skb = chain; skb != nullptr; skb = skb->chain_next)
        g_tx_completed++;
}

} // namespace

extern "C" int __wrap_ccmni_rx_callback(void*, u32, struct sk_buff* first, int, u32 count)
{
    return TakeReceived(first, count);
}
extern "C" void __wrap_WwanTx_IndicateCompletions(struct sk_buff* chain)
{
    CountCompleted(chain);
}
