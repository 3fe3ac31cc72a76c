// The receive path over PIT entries as an arbitrary engine writes them, with the rings and the buffer
// cache real and lent: buffer ids of either ring (lent or not, past the ring), lengths and addresses
// anywhere, fragments before or without their packet, message entries without payload, sequence gaps,
// and a write index the engine reports anywhere in (or past) the PIT. A bad entry may cost its packet
// and raise the exception, never memory safety; and every buffer stays accounted for: each normal slot
// still lent, consumed and marked for refill, or in the ring's free stretch; each buffer lent or in the
// cache exactly once, none lost across a stop and restart of the rings.
//
// Input: byte 0 the budget (bits 0-5, plus one), whether the run takes everything (bit 6) and whether
// the write index is bytes 1-2 as given (bit 7; else it is where the entries end); byte 3 how far before
// the PIT's end the queue stands (its read and release index; 0 for slot 0); then up to 64 entries of 16
// bytes, written from there on, wrapping at the PIT's end. Each entry's sequence number (word 3 bits 0-7) is added to
// the one the engine would have written, so 0 is in order; its address word 1 is taken relative to the
// buffer its id names when that slot is lent.
#include <host/host.h>
#include <host/mmio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dpmaif.h"
#include "dpmaif_reg.h"
#include "skbuff.h"
#include "taluvo_fuzz_device.h"

namespace
{

using taluvofuzz::Check;

constexpr ULONG64 kWindowBase = 0x400000000ull;
constexpr u64 kModemBase = 0x10000000ull;
constexpr ULONG64 kWindowLength = 0x00240000ull; // the DPMAIF register blocks from the modem's base
constexpr u32 kMaxEntries = 64;

struct device_node g_node;
struct dpmaif_hif g_hif;
volatile u32 g_pit_wr_idx;
std::vector<struct sk_buff*> g_buffers;  // every buffer lent or cached after the last restart, sorted
std::vector<void*> g_fragments;          // the fragment ring's memory, slot by slot

// An engine that agrees with the host's BAT indexes, has taken everything it was lent and answers its
// busy bits clear; the PIT write index is the input's.
ULONG64 ReadRegister(ULONG64 offset, ULONG)
{
    u32 address = (u32)(kModemBase + offset);
    if (address == DPMAIF_PIT_WR_IDX || address == DPMAIF_PIT_WR_IDX + 32)
        return g_pit_wr_idx;
    if (address == DPMAIF_BAT_RD_IDX || address == DPMAIF_BAT_WR_IDX)
        return *reinterpret_cast<volatile u16*>(&g_hif.bat.wr_idx);
    if (address == DPMAIF_FRAG_RD_IDX)
        return *reinterpret_cast<volatile u16*>(&g_hif.frag_bat.wr_idx);
    return 0;
}

struct dpmaif_rxq* Queue()
{
    return &g_hif.rxq[0];
}

// The buffers the cache holds and the normal ring lends, sorted; stops the run on one held twice or a
// cached buffer that is not the cache's own.
std::vector<struct sk_buff*> HeldBuffers()
{
    std::vector<struct sk_buff*> held;
    struct dpmaif_rx_cache_entry* entry = &g_hif.rx_cache.entries[0];
    PLIST_ENTRY head = reinterpret_cast<PLIST_ENTRY>(&entry->list);
    u32 cached = 0;
    for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink, cached++) {
        struct sk_buff* skb = CONTAINING_RECORD(link, struct sk_buff, pool_link);
        Check(skb->cache_self == skb);
        held.push_back(skb);
    }
    Check(cached == entry->list.qlen);
    for (u32 slot = 0; slot < g_hif.bat.length; slot++)
        if (g_hif.bat.shadow[slot].skb != nullptr)
            held.push_back(g_hif.bat.shadow[slot].skb);
    std::sort(held.begin(), held.end());
    Check(std::adjacent_find(held.begin(), held.end()) == held.end());
    return held;
}

// The rings stopped and lent again as a restart does; every buffer held before is held still.
void Restart()
{
    dpmaif_rxq_reset(Queue());
    dpmaif_bat_stop(&g_hif);
    InterlockedExchange(&Queue()->enabled, 1);
    Check(dpmaif_bat_start(&g_hif) == 0);
    std::vector<struct sk_buff*> held = HeldBuffers();
    Check(std::includes(held.begin(), held.end(), g_buffers.begin(), g_buffers.end()));
    g_buffers = std::move(held);
    for (u32 slot = 0; slot < g_hif.frag_bat.length - 1; slot++)
        Check(g_hif.frag_bat.shadow[slot].memory == g_fragments[slot]);
}

// A normal slot not lent is either consumed and waiting for its refill, or in the ring's free stretch
// from the write index up to the release index.
void CheckSlotsAccounted()
{
    const struct dpmaif_bat_table* table = &g_hif.bat;
    u32 length = table->length;
    u32 unlent = (table->rel_idx + length - table->wr_idx - 1) % length + 1;
    for (u32 slot = 0; slot < length; slot++) {
        if (table->shadow[slot].skb != nullptr || table->consumed[slot] != 0)
            continue;
        Check((slot + length - table->wr_idx) % length < unlent);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    taluvofuzz::StartDevice(true);
    Check(host::IoWindowRegister(kWindowBase, kWindowLength, {ReadRegister, nullptr}) != nullptr);
    PHYSICAL_ADDRESS base;
    base.QuadPart = (LONGLONG)kWindowBase;
    auto* window = static_cast<volatile u8*>(MmMapIoSpaceEx(base, kWindowLength, PAGE_READWRITE | PAGE_NOCACHE));
    Check(window != nullptr && dpmaif_hw_set_base(&g_hif.hw, window, kModemBase) == 0);
    g_node.dma_enabler = taluvofuzz::g_dma_enabler;
    g_hif.dma_dev = &g_node;
    Check(dpmaif_bat_setup(&g_hif) == 0);
    Check(dpmaif_rxq_init(&g_hif, 0) == 0);
    InterlockedExchange(&Queue()->enabled, 1);
    Check(dpmaif_bat_start(&g_hif) == 0);
    for (u32 slot = 0; slot < g_hif.frag_bat.length; slot++)
        g_fragments.push_back(g_hif.frag_bat.shadow[slot].memory);
    g_buffers = HeldBuffers();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const u32 budget = (data[0] & 0x3Fu) + 1;
    const bool take_all = (data[0] & 0x40) != 0;
    const bool raw_index = (data[0] & 0x80) != 0;
    u32 entries = (u32)std::min<size_t>((size - 4) / 16, kMaxEntries);
    struct dpmaif_rxq* rxq = Queue();
    const u32 start = (rxq->pit_length - data[3]) % rxq->pit_length;
    rxq->rd_idx = rxq->rel_idx = rxq->hw_wr_idx = (u16)start;

    InterlockedExchange(&dpmaif_exception_raised, 0);
    for (u32 i = 0; i < entries; i++) {
        u32 w[4];
        memcpy(w, data + 4 + 16 * i, sizeof(w));
        bool frag = (w[0] & 4u) != 0;
        u32 bid = (w[3] & 0x700u) << 5 | ((w[0] >> 3) & 0x1FFFu);
        const struct dpmaif_bat_table* table = frag ? &g_hif.frag_bat : &g_hif.bat;
        if ((w[0] & 1u) == 0 && bid < table->length && table->shadow[bid].memory != nullptr)
            w[1] += (u32)table->shadow[bid].dma;
        w[3] = (w[3] & ~0xFFu) | ((i + (w[3] & 0xFFu)) & 0xFFu);
        memcpy(&rxq->pit[(start + i) % rxq->pit_length], w, sizeof(w));
    }
    g_pit_wr_idx = raw_index ? (u32)(data[1] | data[2] << 8) : (start + entries) % rxq->pit_length;

    // The runner's own repeat, bounded: a run that stopped short of the write index is run again.
    for (int run = 0; run < 3; run++)
        if (dpmaif_rx_run(&g_hif, 0, budget, take_all) != 0)
            break;
    Check(rxq->rd_idx < rxq->pit_length && rxq->to_release < rxq->pit_length);
    WdfWorkItemFlush(g_hif.bat_refill_work);
    CheckSlotsAccounted();
    Restart();
    return 0;
}
