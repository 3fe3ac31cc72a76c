// The port layer end to end: the real ports over both CLDMA instances of the probed simulated modem,
// its engines on their own threads, with the modem's firmware on the far side answering MBIM, sending
// port enumerations and, when scripted, broken frames.
#include "cldma_rig.h"

#include <host/trace.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "IpcContext.h"
#include "doubles/core_start.h"
#include "host_test.h"
#include "port_kinds.h"
#include "sim/modem/firmware.h"
#include "sio_recorder.h"

namespace taluvotest
{
namespace
{

using namespace sim::modem;
using namespace sim::modem::ccci;

// An MBIM message of `length` bytes: type, length, transaction id, then a pattern.
std::vector<u8> MbimMessage(size_t length, u32 transaction)
{
    std::vector<u8> bytes(length);
    for (size_t i = kMbimHeaderSize; i < length; i++)
        bytes[i] = (u8)(i * 13 + i / 253 + transaction);
    StoreU32(bytes.data(), 3);
    StoreU32(bytes.data() + 4, (ULONG)length);
    StoreU32(bytes.data() + 8, transaction);
    return bytes;
}

// A port enumeration listing `entries`.
Enumeration Listing(std::vector<ULONG> entries, ULONG head = kEnumerationHead)
{
    Enumeration enumeration;
    enumeration.entries = std::move(entries);
    enumeration.head = head;
    return enumeration;
}

class PortOnModem : public CldmaRig
{
  protected:
    sim::pci::ExecutionMode Execution() const override { return sim::pci::ExecutionMode::Threaded; }

    void SetUp() override
    {
        CldmaRig::SetUp();
        doubles::SioState() = {};
        doubles::Nodes() = {};
        firmware_ = std::make_unique<Firmware>(Modem());
        UCHAR run = 0;
        IpcInitTerminiateThreadsEvent();
        IpcShouldTerminateThreads(&run);
        ASSERT_EQ(0, ccci_port_proxy_create(0, CCCI_TABLE_NORMAL));
        ASSERT_EQ(0, ccci_hif_init(0, 3));
        ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_SAP, 0));
        ASSERT_EQ(0, cldma_set_queue_variant(0, CLDMA_HIF_MD, 1));
        for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD})
            ASSERT_EQ(0, cldma_start(0, hif));
        // The firmware answers every MBIM request (transaction below 0x100) with a message of its own.
        firmware_->SetMbimHandler([this](const std::vector<UCHAR>& request) {
            const ULONG transaction = LoadU32(request.data() + 8);
            if (transaction < 0x100)
                firmware_->SendMbim(MbimMessage(kAnswerLength, transaction | 0x80000000u));
        });
        mbim_ = ccci_port_get_by_name(0, "ttyCMBIM0");
        ASSERT_NE(nullptr, mbim_);
        ASSERT_EQ(0, mbim_->sio->fops->open(&mbim_->sio->inode, &mbim_->sio->file));
        host::TraceClear();
    }

    void TearDown() override
    {
        if (mbim_ != nullptr)
            mbim_->sio->fops->release(&mbim_->sio->inode, &mbim_->sio->file);
        if (ccci_port_get_proxy(0) != nullptr)
            ccci_port_proxy_destroy(0);
        for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD})
            cldma_stop(0, hif);
        firmware_.reset();
        cldma_apply_queue_variant(0);
        CldmaRig::TearDown();
    }

    // Writes `message` to the MBIM port as the SIO layer does; the count written.
    size_t WriteMbim(const std::vector<u8>& message)
    {
        return doubles::SioWriteAll(mbim_->sio, message.data(), message.size(), 100);
    }

    // Reads the MBIM port until `length` bytes came (or the host clock's limit passed).
    std::vector<u8> ReadMbim(size_t length)
    {
        std::vector<u8> got;
        WaitFor([&] {
            std::vector<u8> chunk(length);
            SSIZE_T n;
            while (got.size() < length &&
                   (n = mbim_->sio->fops->read(&mbim_->sio->file, chunk.data(), length - got.size())) > 0)
                got.insert(got.end(), chunk.begin(), chunk.begin() + n);
            return got.size() >= length;
        });
        return got;
    }

    // A request and its answer through the port, checked whole.
    void Exchange(u32 transaction)
    {
        const std::vector<u8> request = MbimMessage(600, transaction);
        ASSERT_EQ(request.size(), WriteMbim(request));
        EXPECT_EQ(MbimMessage(kAnswerLength, transaction | 0x80000000u), ReadMbim(kAnswerLength));
    }

    static bool Traced(const char* text)
    {
        return WaitFor([text] { return !host::TraceFind(text).empty(); });
    }

    static bool HasNode(const std::string& name)
    {
        for (const auto& node : doubles::Nodes().nodes)
            if (node.second == name)
                return true;
        return false;
    }

    static constexpr size_t kAnswerLength = 5000;
    std::unique_ptr<Firmware> firmware_;
    struct ccci_port* mbim_ = nullptr;
};

TEST_F(PortOnModem, MbimWriteArrivesAsNumberedChunksAndTheAnswerIsReadBack)
{
    const std::vector<u8> request = MbimMessage(7000, 1);
    ASSERT_EQ(request.size(), WriteMbim(request));
    ASSERT_TRUE(firmware_->WaitFrames(kMbimHostTx, 3, Milliseconds(3000)));

    const std::vector<HostFrame> frames = firmware_->Frames(kMbimHostTx);
    ASSERT_EQ(3u, frames.size());
    const size_t chunks[] = {kMbimChunk, kMbimChunk, 7000 - 2 * kMbimChunk};
    for (size_t i = 0; i < frames.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(FrameKind::Data, frames[i].kind);
        EXPECT_EQ(0u, frames[i].header.data0);
        EXPECT_EQ(kHeaderSize + chunks[i], frames[i].header.data1);
        EXPECT_EQ(kSeqNumbered | i, frames[i].header.seq);
        EXPECT_TRUE(frames[i].inSequence);
        EXPECT_EQ(chunks[i], frames[i].data.size());
        EXPECT_EQ(Core::Md, frames[i].core);
        EXPECT_EQ(2u, frames[i].queue);
    }
    EXPECT_EQ(std::vector<std::vector<UCHAR>>{request}, firmware_->MbimMessages());
    EXPECT_EQ(0u, firmware_->MbimPending());
    EXPECT_TRUE(firmware_->Gaps().empty());

    EXPECT_EQ(MbimMessage(kAnswerLength, 0x80000001u), ReadMbim(kAnswerLength));
    // The next request numbers on.
    Exchange(2);
    EXPECT_EQ(kSeqNumbered | 3, firmware_->Frames(kMbimHostTx).back().header.seq);
}

// Both control threads answer enumerations on the MD control channel, beside the handshake: every
// frame of a port carries its own number.
TEST_F(PortOnModem, ConcurrentSendersOnOnePortNumberEveryFrameOnce)
{
    constexpr int kEach = 40;
    auto sender = [] {
        for (int i = 0; i < kEach; i++)
            EXPECT_EQ(0, ccci_send_msg_to_md(0, CCCI_CONTROL_TX, 0x77, (u32)i, 1));
    };
    HANDLE threads[] = {hosttest::StartThread(sender), hosttest::StartThread(sender)};
    for (HANDLE thread : threads)
        hosttest::JoinThread(thread);
    ASSERT_TRUE(firmware_->WaitFrames(kCtrlHostTx, 2 * kEach, Milliseconds(3000)));
    std::vector<USHORT> numbers;
    for (const HostFrame& frame : firmware_->Frames(kCtrlHostTx))
        numbers.push_back(frame.header.seq & ~kSeqNumbered);
    ASSERT_EQ(size_t(2 * kEach), numbers.size());
    for (size_t i = 0; i < numbers.size(); i++)
        EXPECT_EQ(i, numbers[i]);
    EXPECT_TRUE(firmware_->Gaps().empty());
}

TEST_F(PortOnModem, EnumerationFromTheModemEnablesAndDisablesPortsAndIsAnswered)
{
    struct ccci_port* dss = ccci_port_get_by_name(0, "ttyCMBIMDSS0");
    ASSERT_NE(nullptr, dss);
    auto answered = [this](size_t count) {
        return firmware_->Wait([&] { return firmware_->EnumerationAnswers().size() >= count; },
                               Milliseconds(3000));
    };
    // Both on; a channel without a port in the list is skipped.
    firmware_->SendPortEnumeration(
        Listing({kEnumerationEnable | mbim_->rx_ch, kEnumerationEnable | dss->rx_ch, 0x2FF0}));
    ASSERT_TRUE(answered(1));
    EXPECT_TRUE(HasNode("ttyCMBIM0"));
    EXPECT_TRUE(HasNode("ttyCMBIMDSS0"));

    // DSS0 goes off, MBIM stays on and keeps working.
    firmware_->SendPortEnumeration(Listing({kEnumerationEnable | mbim_->rx_ch, dss->rx_ch}));
    ASSERT_TRUE(answered(2));
    EXPECT_FALSE(HasNode("ttyCMBIMDSS0"));
    EXPECT_NE(0u, dss->flags & PORT_F_RX_DROP);
    EXPECT_TRUE(HasNode("ttyCMBIM0"));
    EXPECT_EQ(0u, mbim_->flags & PORT_F_RX_DROP);
    Exchange(1);

    // A refused enumeration (bad head) is answered as refused and changes nothing.
    firmware_->SendPortEnumeration(Listing({kEnumerationEnable | dss->rx_ch}, 0x5A5A0000));
    ASSERT_TRUE(answered(3));
    EXPECT_FALSE(HasNode("ttyCMBIMDSS0"));

    // The SAP core's control channel carries enumerations too; the answer goes on the MD core's.
    firmware_->SendPortEnumeration(Listing({kEnumerationEnable | dss->rx_ch}), kSapCtrlHostRx);
    ASSERT_TRUE(answered(4));
    EXPECT_TRUE(HasNode("ttyCMBIMDSS0"));
    EXPECT_EQ(0u, dss->flags & PORT_F_RX_DROP);
    EXPECT_EQ((std::vector<ULONG>{0, 0, kEnumerationRefused, 0}), firmware_->EnumerationAnswers());
    EXPECT_EQ(0u, firmware_->EnumerationsUnanswered());
    Exchange(2);
}

struct BrokenFrame {
    const char* what;
    Fault fault;
    ULONG64 value;
    USHORT channel; // where the firmware sends it
    const char* trace;
};

TEST_F(PortOnModem, MalformedFramesAreDroppedWithATraceAndThePortKeepsWorking)
{
    const BrokenFrame cases[] = {
        {"shorter than a header", Fault::Truncate, 10, kMbimHostRx, "shorter than the header"},
        {"longer than the receive buffer", Fault::ReportLength, 4000, kMbimHostRx, "bytes reported for a"},
        {"channel above the highest", Fault::Channel, 0x2FF0, kMbimHostRx, "channel out of range"},
        {"channel without a port", Fault::Channel, 0x2080, kMbimHostRx, "no port"},
        {"control frame shorter than its header", Fault::Truncate, 20, kCtrlHostRx, "control frame dropped"},
    };
    u32 transaction = 1;
    for (const BrokenFrame& c : cases) {
        SCOPED_TRACE(c.what);
        host::TraceClear();
        firmware_->Script(c.fault, c.value, 1, c.channel);
        if (c.channel == kCtrlHostRx)
            firmware_->SendPortEnumeration(Listing({kEnumerationEnable | mbim_->rx_ch}));
        else
            firmware_->SendMbim(MbimMessage(200, 0x900));
        EXPECT_TRUE(Traced(c.trace));
        firmware_->ClearScript();
        Exchange(transaction++);
    }
    EXPECT_EQ(1u, firmware_->EnumerationsUnanswered()) << "the broken enumeration got no answer";
}

} // namespace
} // namespace taluvotest
