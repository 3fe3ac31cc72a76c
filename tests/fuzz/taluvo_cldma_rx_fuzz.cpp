// Receive collection over descriptors as an arbitrary engine leaves them: ownership bits, received
// lengths, next and data addresses and data written from the engine side, the current-address register
// answering anything, and the port layer answering taken, released or busy. Collection always ends with
// the queue free, never hands up more than the buffer holds, and leaves every owned descriptor armed
// with a buffer of its own.
//
// Input: byte 0 budget (bits 0-4) and blocking (bit 7); byte 1 the current-address answer (0 the
// descriptor collected next, 1 all ones, 2 the next descriptor, else 0); bytes 2-3 the port's answers,
// two bits per offer (0 taken, 1 released, 2 busy, 3 taken); then per descriptor, in ring order, a
// record of flags (1), length (2), next low word (4), data low word (4) and up to 8 data bytes (a count,
// then the bytes).
#include <host/host.h>
#include <host/loader.h>
#include <host/mmio.h>
#include <host/pnp.h>
#include <wdf.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "CurrentDevice.h"
#include "ccci_bm.h"
#include "ccci_hif.h"
#include "cldma.h"
#include "port_recv.h"
#include "taluvo_fuzz_device.h"

namespace
{

using taluvofuzz::Check;
using taluvofuzz::StartDevice;

constexpr ULONG64 kWindowBase = 0xF0000000ull;
constexpr ULONG kBlockSize = 0x1000;
constexpr u8 kQueue = 2;

struct device_node g_node;
struct cldma_hw_instance g_hw;
struct cldma_ctrl g_ctrl;
volatile ULONG64 g_current; // what the RX current-address registers read

// Block A then block B; the current-address registers of every RX queue read g_current, everything
// else 0; writes are dropped.
ULONG64 ReadRegister(ULONG64 offset, ULONG)
{
    if (offset >= CLDMA_A_RX_CURRENT_ADDR && offset < CLDMA_A_RX_CURRENT_ADDR + 8 * CLDMA_QUEUES)
        return (offset & 4) ? (ULONG)(g_current >> 32) : (ULONG)g_current;
    return 0;
}

struct cldma_queue* Queue()
{
    return &g_ctrl.queues[CLDMA_QUEUES + kQueue];
}

std::vector<struct cldma_request*> Requests()
{
    std::vector<struct cldma_request*> requests;
    const struct cldma_ring* ring = &g_ctrl.rx_rings[kQueue];
    for (PLIST_ENTRY entry = ring->requests.Flink; entry != &ring->requests; entry = entry->Flink)
        requests.push_back(CONTAINING_RECORD(entry, struct cldma_request, link));
    return requests;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    StartDevice();
    Check(ccci_bm_init() == 0);
    Check(host::IoWindowRegister(kWindowBase, 2 * kBlockSize, {ReadRegister, nullptr}) != nullptr);
    PHYSICAL_ADDRESS base;
    base.QuadPart = (LONGLONG)kWindowBase;
    auto* window = static_cast<volatile u8*>(MmMapIoSpaceEx(base, 2 * kBlockSize, PAGE_READWRITE | PAGE_NOCACHE));
    g_hw.hif_id = CLDMA_HIF_SAP;
    g_hw.addr_mode = 3;
    g_hw.base_a = window;
    g_hw.base_b = window + kBlockSize;
    static int md;
    Check(cldma_ctrl_setup(&g_ctrl, reinterpret_cast<struct ccci_md*>(&md), 0, CLDMA_HIF_SAP, &g_hw, &g_node) == 0);
    ccci_hif_set_ctrl(0, CLDMA_HIF_SAP, &g_ctrl, nullptr);
    Check(cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0) == 0);
    g_ctrl.rx_active = 0xFF;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int budget = data[0] & 0x1F;
    const bool blocking = (data[0] & 0x80) != 0;
    const u8 current = data[1];
    const u16 answers = (u16)(data[2] | data[3] << 8);
    size_t at = 4;

    // Every descriptor armed with its own buffer, the ring at its start.
    Check(cldma_clear_rings(0, CLDMA_HIF_SAP, 0) == 0);
    std::vector<struct cldma_request*> requests = Requests();
    const u32 buf_size = g_ctrl.rx_rings[kQueue].buf_size;
    for (struct cldma_request* request : requests) {
        if (size - at < 11)
            break;
        struct cldma_gpd* gpd = request->gpd;
        gpd->flags = data[at];
        gpd->data_len = (u16)(data[at + 1] | data[at + 2] << 8);
        memcpy(&gpd->next_lo, data + at + 3, 4);
        memcpy(&gpd->data_lo, data + at + 7, 4);
        at += 11;
        size_t count = at < size ? data[at++] % 9 : 0;
        count = count < size - at ? count : size - at;
        memcpy(request->skb->data, data + at, count);
        at += count;
    }
    g_current = current == 0 ? requests[0]->gpd_addr : current == 1 ? ~0ull : current == 2 ? requests[1]->gpd_addr : 0;

    int offers = 0;
    doubles::PortRecvCalls().clear();
    doubles::SetPortRecvHandler([&](const doubles::PortRecv& call, struct sk_buff* skb) {
        Check(call.bytes.size() <= buf_size && skb->len <= buf_size);
        int answer = (answers >> (2 * (offers++ % 8))) & 3;
        if (answer == 2)
            return CLDMA_RX_BUSY;
        int taken = doubles::PortRecvTake(skb);
        return answer == 1 ? CLDMA_RX_RELEASED : taken;
    });
    int result = cldma_rx_collect(Queue(), budget, blocking);
    doubles::SetPortRecvHandler({});
    Check(result == CLDMA_RX_ALL_DONE || result == CLDMA_RX_MORE);
    Check(Queue()->rx_busy == 0);
    // Every descriptor re-armed on the way (the ring started at its first) went back to the engine empty,
    // with a buffer of its own at its data address.
    for (const struct cldma_request* request : requests) {
        if (request == Queue()->rx_refill)
            break;
        const struct cldma_gpd* gpd = request->gpd;
        Check(gpd->flags == CLDMA_GPD_RX_FLAGS && gpd->data_len == 0 && request->skb != nullptr);
        Check(((u64)gpd->data_hi << 32 | gpd->data_lo) == (u64)(ULONG_PTR)request->skb->data);
        Check(request->skb->len == 0);
    }
    return 0;
}
