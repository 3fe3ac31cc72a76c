// A few thousand frames of mixed sizes through both directions of both CLDMA instances, the engines on
// their own threads echoing every queue back to itself, with the port layer answering "busy" to a share
// of the first offers: every frame comes back once and in order, and the pools are balanced after.
#include "cldma_rig.h"

#include <mutex>
#include <set>
#include <tuple>

#include "cldma_fixture.h"
#include "host_test.h"
#include "port_recv.h"
#include "sim/modem/cldma_peer.h"

namespace taluvotest
{
namespace
{

using namespace sim::modem;

constexpr int kFramesPerInstance = 1600;
constexpr u32 kSizes[] = {4, 17, 64, 255, 1024, 2047, 3000, 3584};
constexpr u8 kInstances[] = {CLDMA_HIF_SAP, CLDMA_HIF_MD};

// A frame names where it went and its place in its queue's sequence.
std::vector<u8> SoakFrame(u8 hif, u8 q, u16 seq)
{
    std::vector<u8> bytes = cldmatest::Frame(kSizes[(seq * 5u + q) % 8], (u8)(seq + q));
    bytes[0] = hif;
    bytes[1] = q;
    bytes[2] = (u8)seq;
    bytes[3] = (u8)(seq >> 8);
    return bytes;
}

class CldmaSoak : public CldmaRig
{
  protected:
    sim::pci::ExecutionMode Execution() const override { return sim::pci::ExecutionMode::Threaded; }

    void SetUp() override
    {
        CldmaRig::SetUp();
        for (u8 hif : kInstances) {
            peers_.push_back(std::make_unique<CldmaScriptedPeer>(Engine(hif)));
            for (ULONG q = 0; q < kCldmaQueues; q++)
                peers_.back()->Echo(q, q);
            Engine(hif).SetPeer(peers_.back().get());
        }
        doubles::PortRecvCalls().clear();
        doubles::SetPortRecvHandler([this](const doubles::PortRecv& call, struct sk_buff* skb) {
            std::lock_guard<std::mutex> hold(lock_);
            const std::vector<u8>& bytes = call.bytes;
            const auto key = std::make_tuple(bytes[0], bytes[1], bytes[2] | bytes[3] << 8);
            // Every fifth frame's first offer finds the port busy: it must come again, unchanged.
            if (std::get<2>(key) % 5 == 0 && refused_.insert(key).second)
                return CLDMA_RX_BUSY;
            delivered_[bytes[0]][bytes[1]].push_back(bytes);
            return doubles::PortRecvTake(skb);
        });
    }
    void TearDown() override
    {
        doubles::SetPortRecvHandler({});
        for (u8 hif : kInstances)
            cldma_stop(0, hif);
        for (u8 hif : kInstances)
            Engine(hif).SetPeer(nullptr);
        CldmaRig::TearDown();
    }

    size_t DeliveredCount()
    {
        std::lock_guard<std::mutex> hold(lock_);
        size_t count = 0;
        for (const auto& queues : delivered_)
            for (const auto& frames : queues)
                count += frames.size();
        return count;
    }

    std::vector<std::unique_ptr<CldmaScriptedPeer>> peers_;
    std::mutex lock_;
    std::set<std::tuple<u8, u8, int>> refused_;
    std::vector<std::vector<u8>> delivered_[2][CLDMA_QUEUES];
};

TEST_F(CldmaSoak, EveryFrameComesBackOnceAndInOrder)
{
    ASSERT_EQ(0, ccci_hif_init(0, 3));
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
    ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_MD, 1));
    for (u8 hif : kInstances)
        ASSERT_EQ(0, cldma_start(0, hif));

    int failures[2] = {};
    std::vector<HANDLE> senders;
    for (u8 hif : kInstances) {
        senders.push_back(hosttest::StartThread([hif, &failures] {
            for (int n = 0; n < kFramesPerInstance; n++) {
                const u8 q = (u8)(n % CLDMA_QUEUES);
                const std::vector<u8> bytes = SoakFrame(hif, q, (u16)(n / CLDMA_QUEUES));
                // Off the pools: those feed the receive refills.
                struct sk_buff* skb = bm_alloc_skb((int)bytes.size(), false, true, CLDMA_POOL_TAG);
                memcpy(skb_put(skb, (u32)bytes.size()), bytes.data(), bytes.size());
                if (cldma_send_skb(0, hif, q, skb, 0, 1) != 0) {
                    failures[hif]++;
                    bm_free_skb(skb, CLDMA_POOL_TAG);
                }
            }
        }));
    }
    for (HANDLE sender : senders)
        hosttest::JoinThread(sender);
    EXPECT_EQ(0, failures[0] + failures[1]);

    const size_t total = 2u * kFramesPerInstance;
    EXPECT_TRUE(WaitFor([&] { return DeliveredCount() == total; }, Milliseconds(60000)))
        << DeliveredCount() << " of " << total;
    for (u8 hif : kInstances) {
        for (u8 q = 0; q < CLDMA_QUEUES; q++) {
            SCOPED_TRACE(testing::Message() << "hif " << int(hif) << " queue " << int(q));
            std::vector<std::vector<u8>> expected;
            for (int n = q; n < kFramesPerInstance; n += CLDMA_QUEUES)
                expected.push_back(SoakFrame(hif, q, (u16)(n / CLDMA_QUEUES)));
            std::lock_guard<std::mutex> hold(lock_);
            EXPECT_EQ(expected, delivered_[hif][q]);
        }
    }
    EXPECT_FALSE(refused_.empty());
    EXPECT_EQ(total + refused_.size(), doubles::PortRecvCalls().size());
    // Every descriptor was collected; the tear-down's free then finds the pools balanced.
    EXPECT_TRUE(WaitFor([] {
        for (u8 hif : kInstances)
            for (u8 q = 0; q < CLDMA_QUEUES; q++)
                if (cldma_tx_budget(0, hif, q) != 16)
                    return false;
        return true;
    }));
}

} // namespace
} // namespace taluvotest
