// The simulated CLDMA engine, stepped: its register file, the transmit and receive walks over host
// descriptors, the interrupt level, the scripted peer and the injected faults.
#include <gtest/gtest.h>

#include <host/host.h>

#include <functional>

#include "host_test.h"
#include "modem_cldma_rig.h"

namespace {

using namespace cldmatest;

constexpr ULONG kAllOnes = 0xFFFFFFFF;
constexpr auto kTx = CldmaDirection::Tx;
constexpr auto kRx = CldmaDirection::Rx;

struct RegisterCase {
    const char* name;
    std::function<void(Rig&)> act;
    CldmaBlock block;
    ULONG offset;
    ULONG expected;
};

TEST(CldmaRegisters, EachRegisterKeepsItsSemantics)
{
    const RegisterCase cases[] = {
        {"TX start address, both words", [](Rig& r) { r.B(kTxStartAddress + 24, 0x1234); r.B(kTxStartAddress + 28, 5); },
         CldmaBlock::B, kTxStartAddress + 28, 5},
        {"RX start address reads back", [](Rig& r) { r.A(kRxStartAddress + 56, 0xABCD0); }, CldmaBlock::A,
         kRxStartAddress + 56, 0xABCD0},
        {"TX mask by set and clear", [](Rig& r) { r.B(kTxMaskSet, 0xFF00); r.B(kTxUnmask, 0x0F00); }, CldmaBlock::B,
         kTxMask, 0xF000},
        {"RX mask by set and clear (block A)", [](Rig& r) { r.A(kRxMaskSet, 0xFF); r.A(kRxUnmask, 0x3); },
         CldmaBlock::A, kRxMask, 0xFC},
        {"TX status is write-1-to-clear", [](Rig& r) { r.engine.RaiseErrors(kTx, 0x10003, 0, 0); r.B(kTxStatus, 0x3); },
         CldmaBlock::B, kTxStatus, 0x10000},
        {"RX status is write-1-to-clear", [](Rig& r) { r.engine.RaiseErrors(kRx, 0x30101, 0, 0); r.B(kRxStatus, 0x20100); },
         CldmaBlock::B, kRxStatus, 0x10001},
        {"TX error cleared by writing it back", [](Rig& r) { r.engine.RaiseErrors(kTx, 0, 0x5, 0x80); r.B(kTxError0, 0x5); },
         CldmaBlock::B, kTxError0, 0},
        {"the other TX error register keeps its bits", [](Rig& r) { r.engine.RaiseErrors(kTx, 0, 0x5, 0x80); r.B(kTxError0, 0x5); },
         CldmaBlock::B, kTxError1, 0x80},
        {"RX error write-back clears only the bits written", [](Rig& r) { r.engine.RaiseErrors(kRx, 0, 0, 0x3); r.B(kRxError1, 0x1); },
         CldmaBlock::B, kRxError1, 0x2},
        {"TX configuration", [](Rig& r) { r.B(kTxConfig, 0xFFFFFF9F); }, CldmaBlock::B, kTxConfig, 0xFFFFFF9F},
        {"RX configuration", [](Rig& r) { r.A(kRxConfig, 0x1004); }, CldmaBlock::A, kRxConfig, 0x1004},
        {"block A 0x954", [](Rig& r) { r.A(kRxInit1, 4); }, CldmaBlock::A, kRxInit1, 4},
        {"block A 0x960", [](Rig& r) { r.A(kRxInit2, 7); }, CldmaBlock::A, kRxInit2, 7},
        {"block B 0x09C", [](Rig& r) { r.B(kTxInit1, 1); }, CldmaBlock::B, kTxInit1, 1},
        {"block B 0x508", [](Rig& r) { r.B(kTxInit2, 1); }, CldmaBlock::B, kTxInit2, 1},
        {"re-arm", [](Rig& r) { r.B(kRearm, 1); }, CldmaBlock::B, kRearm, 1},
        {"current address is read-only", [](Rig& r) { r.B(kTxCurrentAddress, 0x40); }, CldmaBlock::B, kTxCurrentAddress, 0},
        {"running status is read-only", [](Rig& r) { r.A(kRxRunning, 0xFF); }, CldmaBlock::A, kRxRunning, 0},
        {"unmask register reads 0", [](Rig& r) { r.B(kTxUnmask, 0x1); }, CldmaBlock::B, kTxUnmask, 0},
        {"unknown offset reads 0", [](Rig& r) { r.B(0x100, 0x55); }, CldmaBlock::B, 0x100, 0},
        {"past the block reads 0", [](Rig&) {}, CldmaBlock::A, 0x1404, 0},
        {"misaligned start address word reads 0", [](Rig& r) { r.B(kTxStartAddress, 0x12345678); }, CldmaBlock::B,
         kTxStartAddress + 1, 0},
    };
    for (const RegisterCase& c : cases) {
        Rig rig;
        c.act(rig);
        RegisterBlock& block = c.block == CldmaBlock::A ? rig.engine.BlockA() : rig.engine.BlockB();
        EXPECT_EQ(c.expected, block.Read(c.offset)) << c.name;
    }
}

TEST(CldmaRegisters, EveryWriteIsLoggedInOrder)
{
    Rig rig;
    rig.B(kTxUnmask, 0x800);
    rig.A(kRxMaskSet, 0xFF);
    rig.B(0x100, 0x55);         // nothing there
    rig.A(kRxCurrentAddress, 1); // read-only
    EXPECT_EQ((std::vector<CldmaWrite>{{CldmaBlock::B, kTxUnmask, 0x800},
                                       {CldmaBlock::A, kRxMaskSet, 0xFF},
                                       {CldmaBlock::B, 0x100, 0x55},
                                       {CldmaBlock::A, kRxCurrentAddress, 1}}),
              rig.engine.Writes());
    rig.engine.ClearWrites();
    EXPECT_TRUE(rig.engine.Writes().empty());

    for (ULONG i = 0; i < CldmaEngine::kLogCapacity + 3; i++)
        rig.B(kRearm, i);
    std::vector<CldmaWrite> writes = rig.engine.Writes();
    ASSERT_EQ(CldmaEngine::kLogCapacity, writes.size()) << "the latest writes are kept";
    EXPECT_EQ(3u, writes.front().value);
    EXPECT_EQ(CldmaEngine::kLogCapacity + 2, writes.back().value);
}

TEST(CldmaInterrupt, LevelFollowsUnmaskedStatus)
{
    Rig rig(ExecutionMode::Step, kSourceCldmaMd);
    rig.B(kTxMaskSet, 0xFFFF);
    rig.A(kRxMaskSet, 0xFFFF);
    rig.engine.RaiseErrors(kTx, DoneBit(2) | EmptyBit(5), 0, 0);
    EXPECT_FALSE(rig.engine.InterruptAsserted()) << "masked";
    rig.B(kTxUnmask, EmptyBit(5));
    EXPECT_TRUE(rig.engine.InterruptAsserted());
    rig.B(kTxStatus, EmptyBit(5));
    EXPECT_FALSE(rig.engine.InterruptAsserted()) << "the only unmasked bit cleared";
    rig.B(kTxUnmask, DoneBit(2));
    rig.engine.RaiseErrors(kRx, EmptyBit(0), 0, 0); // masked: adds nothing
    rig.B(kTxMaskSet, DoneBit(2));
    rig.A(kRxUnmask, EmptyBit(0));
    rig.A(kRxMaskSet, EmptyBit(0));
    rig.engine.RaiseErrors(kRx, ErrorBit(3), 0x8, 0); // error bits are not masked by the queue masks
    rig.B(kRxStatus, kAllOnes);
    EXPECT_EQ((std::vector<std::pair<ULONG, bool>>{{kSourceCldmaMd, true},
                                                   {kSourceCldmaMd, false},
                                                   {kSourceCldmaMd, true},
                                                   {kSourceCldmaMd, false},
                                                   {kSourceCldmaMd, true},
                                                   {kSourceCldmaMd, false},
                                                   {kSourceCldmaMd, true},
                                                   {kSourceCldmaMd, false}}),
              rig.sink.Levels())
        << "the sink hears each change once";
}

TEST(CldmaTransmit, WalksOwnedDescriptorsThenStopsWithEmpty)
{
    Rig rig;
    Ring ring(4, 64);
    const std::vector<UCHAR> frames[] = {Pattern(10, 1), Pattern(64, 2), Pattern(0, 3), Pattern(33, 4), Pattern(5, 5)};
    ring.Fill(0, frames[0]);
    ring.Fill(1, frames[1], kGpdHwo); // no IOC: no done from it
    ring.Fill(2, frames[2]);
    rig.Start(kTx, 3, ring.Address(0));
    EXPECT_EQ(1u << 3, rig.B(kTxRunning));
    EXPECT_EQ(0u, rig.peer.FrameCount(3)) << "the engine works only when stepped";

    rig.engine.Step();
    EXPECT_EQ((std::vector<std::vector<UCHAR>>{frames[0], frames[1], frames[2]}), rig.peer.Frames(3));
    EXPECT_EQ(kGpdIoc, ring.Flags(0)) << "HWO cleared, IOC kept";
    EXPECT_EQ(0, ring.Flags(1));
    EXPECT_EQ(0, ring.Flags(3)) << "not owned: untouched";
    EXPECT_EQ(DoneBit(3) | EmptyBit(3), rig.B(kTxStatus));
    EXPECT_EQ(0u, rig.B(kTxRunning));
    EXPECT_EQ(ring.Address(3), rig.Current(kTx, 3)) << "stopped at the descriptor it does not own";
    EXPECT_TRUE(rig.engine.InterruptAsserted());

    // Resume goes on from there, round the ring.
    rig.B(kTxStatus, kAllOnes);
    ring.Fill(3, frames[3], kGpdHwo);
    ring.Fill(0, frames[4], kGpdHwo);
    rig.B(kTxResume, 1u << 3);
    rig.engine.Step();
    EXPECT_EQ(5u, rig.peer.FrameCount(3));
    EXPECT_EQ(frames[4], rig.peer.Frames(3).back());
    EXPECT_EQ(ring.Address(1), rig.Current(kTx, 3));
    EXPECT_EQ(EmptyBit(3), rig.B(kTxStatus)) << "no IOC: no done";

    // Start goes back to the start address, whose descriptor the engine no longer owns.
    rig.B(kTxStatus, kAllOnes);
    ring.Fill(1, frames[0]);
    rig.B(kTxStart, 1u << 3);
    rig.engine.Step();
    EXPECT_EQ(5u, rig.peer.FrameCount(3));
    EXPECT_EQ(ring.Address(0), rig.Current(kTx, 3));
    EXPECT_EQ(EmptyBit(3), rig.B(kTxStatus));
}

TEST(CldmaReceive, FillsOwnedDescriptorsUpToTheAllowLength)
{
    Rig rig;
    Ring ring(4, 32);
    ring.Arm(0);
    ring.Arm(1, kGpdHwo); // no IOC
    ring.Arm(2, kArmed, 8);
    const std::vector<UCHAR> frames[] = {Pattern(10, 1), Pattern(40, 2), Pattern(20, 3), Pattern(5, 4), Pattern(3, 5)};
    for (const auto& frame : frames)
        rig.engine.Receive(5, frame);
    rig.engine.Step();
    EXPECT_EQ(0, ring.Length(0)) << "a queue not started takes nothing";

    rig.Start(kRx, 5, ring.Address(0));
    rig.engine.Step();
    EXPECT_EQ(frames[0], ring.Received(0));
    EXPECT_EQ(kGpdIoc, ring.Flags(0));
    EXPECT_EQ(32, ring.Length(1)) << "cut at the allow length";
    EXPECT_EQ(std::vector<UCHAR>(frames[1].begin(), frames[1].begin() + 32), ring.Received(1));
    EXPECT_EQ(0, ring.Flags(1));
    EXPECT_EQ(8, ring.Length(2));
    EXPECT_EQ(std::vector<UCHAR>(frames[2].begin(), frames[2].begin() + 8), ring.Received(2));
    EXPECT_EQ(ring.Address(3), rig.Current(kRx, 5));
    EXPECT_EQ(DoneBit(5) | EmptyBit(5), rig.B(kRxStatus)) << "a frame waits at a descriptor not owned";
    EXPECT_EQ(0u, rig.A(kRxRunning));
    EXPECT_EQ(2u, rig.engine.ReceivePending(5));

    rig.B(kRxStatus, kAllOnes);
    ring.Arm(3);
    rig.B(kRxResume, 1u << 5);
    rig.engine.Step();
    EXPECT_EQ(frames[3], ring.Received(3));
    EXPECT_EQ(ring.Address(0), rig.Current(kRx, 5));
    EXPECT_EQ(DoneBit(5) | EmptyBit(5), rig.B(kRxStatus)) << "the next frame meets descriptor 0, not re-armed";

    rig.B(kRxStatus, kAllOnes);
    ring.Arm(0);
    ring.Arm(1);
    rig.B(kRxResume, 1u << 5);
    rig.engine.Step();
    EXPECT_EQ(frames[4], ring.Received(0));
    EXPECT_EQ(DoneBit(5), rig.B(kRxStatus));
    EXPECT_EQ(1u << 5, rig.A(kRxRunning)) << "with nothing waiting the queue keeps running";
    EXPECT_EQ(ring.Address(1), rig.Current(kRx, 5));
}

TEST(CldmaPeer, EchoesSentFramesToAReceiveQueueAndSinksTheRest)
{
    Rig rig;
    Ring tx(4, 64), rx(4, 64);
    rig.peer.Echo(2, 4);
    for (ULONG i = 0; i < 4; i++)
        rx.Arm(i);
    rig.Start(kRx, 4, rx.Address(0));
    tx.Fill(0, Pattern(12, 9));
    tx.Fill(1, Pattern(7, 8));
    rig.Start(kTx, 2, tx.Address(0));
    rig.engine.Drain();
    EXPECT_EQ(Pattern(12, 9), rx.Received(0));
    EXPECT_EQ(Pattern(7, 8), rx.Received(1));
    EXPECT_EQ(2u, rig.peer.FrameCount(2)) << "echoed frames are recorded too";

    rig.peer.Sink(2);
    tx.Fill(2, Pattern(3, 1));
    rig.B(kTxResume, 1u << 2);
    rig.engine.Drain();
    EXPECT_EQ(3u, rig.peer.FrameCount(2));
    EXPECT_EQ(0, rx.Length(2));
    rig.peer.Clear();
    EXPECT_EQ(0u, rig.peer.FrameCount(2));
}

TEST(CldmaCommands, StopHaltsAQueueUnlessItIsStuck)
{
    for (CldmaDirection direction : {kTx, kRx}) {
        const bool tx = direction == kTx;
        Rig rig;
        Ring ring(4, 16);
        for (ULONG i = 0; i < 4; i++)
            tx ? ring.Fill(i, Pattern(4, static_cast<UCHAR>(i))) : ring.Arm(i);
        rig.engine.Receive(1, Pattern(4, 0));
        const ULONG stop = tx ? kTxStop : kRxStop;
        const ULONG running = tx ? rig.B(kTxRunning) : rig.A(kRxRunning);
        EXPECT_EQ(0u, running);
        auto isRunning = [&] { return (tx ? rig.B(kTxRunning) : rig.A(kRxRunning)) != 0; };
        auto moved = [&] { return tx ? rig.peer.FrameCount(1) != 0 : rig.engine.ReceivePending(1) == 0; };

        rig.Start(direction, 1, ring.Address(0));
        rig.B(stop, 0xFF);
        rig.engine.Step();
        EXPECT_FALSE(isRunning());
        EXPECT_FALSE(moved()) << (tx ? "TX" : "RX") << ": a stopped queue does nothing";

        rig.engine.SetStuckStop(direction, 1u << 1);
        rig.Start(direction, 1, ring.Address(0));
        rig.B(stop, 0xFF);
        EXPECT_TRUE(isRunning()) << "a stuck queue ignores stop";
        rig.engine.Step();
        EXPECT_TRUE(moved());
    }
}

TEST(CldmaFaults, GoneDeviceReadsAllOnesAndDoesNothing)
{
    Rig rig;
    Ring ring(2, 16);
    ring.Arm(0);
    rig.engine.RaiseErrors(kTx, DoneBit(0), 0, 0);
    ASSERT_TRUE(rig.engine.InterruptAsserted());

    rig.engine.SetGone(true);
    for (ULONG offset : {kTxStatus, kTxRunning, kTxCurrentAddress, 0x100u})
        EXPECT_EQ(kAllOnes, rig.B(offset));
    EXPECT_EQ(kAllOnes, rig.A(kRxCurrentAddress + 4));
    EXPECT_FALSE(rig.engine.InterruptAsserted());
    rig.B(kTxMaskSet, 0xFF);
    rig.Start(kRx, 0, ring.Address(0));
    rig.engine.Receive(0, Pattern(4, 1));
    rig.engine.Step();
    EXPECT_EQ(4u, rig.engine.Writes().size()) << "writes are logged";
    EXPECT_EQ(1u, rig.engine.ReceivePending(0)) << "no DMA while gone";

    rig.engine.SetGone(false);
    EXPECT_EQ(0u, rig.B(kTxMask)) << "writes while gone had no effect";
    EXPECT_EQ(0u, rig.A(kRxRunning));
    EXPECT_EQ((std::vector<std::pair<ULONG, bool>>{{kSourceCldmaSap, true},
                                                   {kSourceCldmaSap, false},
                                                   {kSourceCldmaSap, true}}),
              rig.sink.Levels());
}

TEST(CldmaFaults, LostConfigurationZeroesTheRegistersButKeepsQueuedFrames)
{
    Rig rig;
    Ring ring(2, 16), txRing(1, 16);
    ring.Arm(0, kGpdHwo);
    ring.Arm(1, kGpdHwo);
    rig.B(kTxConfig, 0x80);
    rig.A(kRxConfig, 0x1004);
    rig.B(kTxInit1, 1);
    rig.B(kRearm, 1);
    rig.B(kTxMaskSet, 0xFF);
    rig.Start(kTx, 6, txRing.Address(0));
    rig.Start(kRx, 6, ring.Address(0));
    rig.engine.Receive(6, Pattern(4, 1));
    rig.engine.Receive(6, Pattern(4, 2));
    rig.engine.Receive(6, Pattern(4, 3));
    rig.engine.Step(); // two frames in, the third waits at descriptor 0, not owned
    rig.engine.LoseConfiguration();

    for (ULONG offset : {kTxStartAddress + 48, kTxStartAddress + 52, kTxCurrentAddress + 48, kTxRunning, kTxConfig,
                         kTxInit1, kRearm, kTxMask, kRxStatus})
        EXPECT_EQ(0u, rig.B(offset)) << std::hex << "B " << offset;
    for (ULONG offset : {kRxStartAddress + 48, kRxCurrentAddress + 48, kRxRunning, kRxConfig})
        EXPECT_EQ(0u, rig.A(offset)) << std::hex << "A " << offset;
    EXPECT_FALSE(rig.engine.InterruptAsserted());
    EXPECT_EQ(1u, rig.engine.ReceivePending(6));

    ring.Arm(0);
    rig.Start(kRx, 6, ring.Address(0)); // reprogrammed, it goes on
    rig.engine.Step();
    EXPECT_EQ(Pattern(4, 3), ring.Received(0));
}

// A queue started at an address the host never gave the device: the host reports the access, and the
// queue stops with its error bit.
TEST(CldmaFaults, RefusedDmaStopsTheQueueWithAnError)
{
    Rig rig;
    {
        hosttest::ExpectReport expect(host::Check::DmaOutsideAllocation);
        rig.B(kTxStart, 1u << 2); // start address 0: lost configuration not reprogrammed
        rig.engine.Step();
    }
    EXPECT_EQ(ErrorBit(2), rig.B(kTxStatus));
    EXPECT_EQ(1u << 2, rig.B(kTxError0));
    EXPECT_EQ(0u, rig.B(kTxRunning));
    EXPECT_TRUE(rig.engine.InterruptAsserted());

    Ring ring(1, 16);
    ring.Arm(0);
    ring.PutAddress(0, kGpdData, 0); // an armed descriptor without a buffer
    rig.engine.Receive(3, Pattern(8, 1));
    {
        hosttest::ExpectReport expect(host::Check::DmaOutsideAllocation);
        rig.Start(kRx, 3, ring.Address(0));
        rig.engine.Step();
    }
    EXPECT_EQ(ErrorBit(3), rig.B(kRxStatus));
    EXPECT_EQ(1u << 3, rig.B(kRxError0));
    EXPECT_EQ(kArmed, ring.Flags(0)) << "the descriptor stays the host's problem";
    EXPECT_EQ(1u, rig.engine.ReceivePending(3));
}

TEST(CldmaFaults, HiddenOwnershipStopsTransmitAtAFilledDescriptor)
{
    Rig rig;
    Ring ring(4, 16);
    ring.Fill(0, Pattern(4, 1));
    ring.Fill(1, Pattern(4, 2));
    rig.engine.HideTxOwnership(0, 1);
    rig.Start(kTx, 0, ring.Address(0));
    rig.engine.Step();
    EXPECT_EQ(0u, rig.peer.FrameCount(0));
    EXPECT_EQ(EmptyBit(0), rig.B(kTxStatus));
    EXPECT_EQ(ring.Address(0), rig.Current(kTx, 0)) << "the host sees its own last descriptor: it resumes";
    EXPECT_EQ(kArmed, ring.Flags(0));

    rig.B(kTxResume, 1);
    rig.engine.Step();
    EXPECT_EQ(2u, rig.peer.FrameCount(0));
    EXPECT_EQ(ring.Address(2), rig.Current(kTx, 0));
}

TEST(CldmaFaults, DelayedReceiveOwnershipLandsAfterTheRest)
{
    Rig rig;
    Ring ring(2, 16);
    ring.Arm(0);
    ring.Arm(1);
    rig.engine.SetRxOwnershipDelay(10000);
    rig.Start(kRx, 0, ring.Address(0));
    rig.engine.Receive(0, Pattern(6, 1));
    rig.engine.Step();
    EXPECT_EQ(Pattern(6, 1), ring.Received(0));
    EXPECT_EQ(ring.Address(1), rig.Current(kRx, 0));
    EXPECT_EQ(DoneBit(0), rig.B(kRxStatus));
    EXPECT_EQ(kArmed, ring.Flags(0)) << "HWO clear not visible yet";
    rig.engine.Drain();
    EXPECT_EQ(kGpdIoc, ring.Flags(0));
}

TEST(CldmaFaults, ReportedLengthMayDisagreeWithTheBytesStored)
{
    struct Case {
        const char* name;
        SIZE_T bytes;
        USHORT reported;
        SIZE_T stored;
    };
    const Case cases[] = {
        {"oversize: beyond the allow length", 40, 500, 32},
        {"short: less than was stored", 20, 4, 20},
        {"empty frame claiming data", 0, 16, 0},
    };
    for (const Case& c : cases) {
        Rig rig;
        Ring ring(2, 48);
        ring.Arm(0, kArmed, 32);
        rig.Start(kRx, 7, ring.Address(0));
        rig.engine.Receive(7, Pattern(c.bytes, 3), c.reported);
        rig.engine.Step();
        EXPECT_EQ(c.reported, ring.Length(0)) << c.name;
        std::vector<UCHAR> buffer = ring.Received(0, 48);
        EXPECT_EQ(Pattern(c.stored, 3), std::vector<UCHAR>(buffer.begin(), buffer.begin() + c.stored)) << c.name;
        EXPECT_EQ(std::vector<UCHAR>(48 - c.stored, 0), std::vector<UCHAR>(buffer.begin() + c.stored, buffer.end()))
            << c.name << ": nothing written past what was stored";
    }
}

TEST(CldmaFaults, TransmitStopsAtAnUnexpectedDescriptor)
{
    Rig rig;
    Ring ring(4, 16);
    rig.Start(kTx, 4, ring.Address(0));
    rig.engine.StopTxAt(4, ring.Address(2));
    EXPECT_EQ(0u, rig.B(kTxRunning));
    EXPECT_EQ(ring.Address(2), rig.Current(kTx, 4));
    EXPECT_EQ(EmptyBit(4), rig.B(kTxStatus));
    EXPECT_TRUE(rig.engine.InterruptAsserted());
}

} // namespace
