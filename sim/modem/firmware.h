// The modem firmware's channel side: the peer of both CLDMA engines. It parses what the host sends per
// transmit queue (the 16-byte CCCI header, data, message and control frames; raw bytes on the boot-ROM
// queues), checks each channel's sequence numbers, answers as the modem does (system messages, the
// port enumeration's answer is awaited, a poll reply, MBIM reassembled and answered by a handler, echo
// on the other character channels), and sends numbered frames of its own on the host's receive
// channels, queued on the receive queue the channel table gives.
//
// Tests script what the firmware sends (drops, delays, reordering, corrupt or odd headers, sequence
// gaps, unnumbered frames, short or over-long frames) and observe what the host sent, per channel,
// with waits on the host clock. Frames from the host are handled on the engine's context (its thread,
// or the caller that steps it); handlers are called with no firmware lock held and may send.
#pragma once

#include <ntdef.h>

#include <wdm.h>

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/modem/ccci.h"
#include "sim/modem/cldma.h"
#include "sim/pci/scheduler.h"

namespace sim::modem {

class Modem;

// The modem's boot announcements: the boot status register (MAC 0xD1C) and modem-to-host doorbells.
namespace boot {
// Boot status: bits 0-2 the stage, 4-6 the boot ROM's sub-stage, 8-10 the dump's, 12-15 the boot
// reason, 26-27 the reset type; bits 28-31 are the host's mark, which the modem keeps.
inline constexpr ULONG kStageBootRom = 1;
inline constexpr ULONG kStageDump = 3;
inline constexpr ULONG kStageNormal = 4;
inline constexpr ULONG kStageMask = 7;
inline constexpr ULONG kResetTypeMask = 3u << 26;
inline constexpr ULONG BootRomSubstage(ULONG substage) { return substage << 4; }
inline constexpr ULONG DumpSubstage(ULONG substage) { return substage << 8; }
inline constexpr ULONG Reason(ULONG reason) { return (reason & 0xF) << 12; }
inline constexpr ULONG ResetType(ULONG type) { return (type & 3) << 26; }
// Modem-to-host doorbell bits.
inline constexpr ULONG kDoorbellException = 1u << 1;
// The modem's acknowledgement of the host's exception stage 0, 2 or 3: bits 2, 3 and 4.
inline constexpr ULONG ExceptionStageAck(ULONG stage) { return stage == 0 ? 1u << 2 : stage == 2 ? 1u << 3 : 1u << 4; }
inline constexpr ULONG kDoorbellReady = 1u << 5; // ready to boot
inline constexpr ULONG kDoorbellSapHandshake = 1u << 15;
inline constexpr ULONG kDoorbellMdHandshake = 1u << 16;
// Host-to-modem doorbell numbers: the host's exception stages 0 and 3, and stop.
inline constexpr ULONG kHostExceptionStage0 = 1;
inline constexpr ULONG kHostExceptionStage3 = 2;
inline constexpr ULONG kHostStop = 13;
} // namespace boot

enum class FrameKind {
    Data,      // data0 0, data1 the frame's length
    Message,   // 16 bytes, data0 all ones: data1 the id, reserved the argument
    Control,   // on a control channel: at least 28 bytes, data1 the frame's length (data0 all ones, or 0
               // in the handshake's frames)
    Raw,       // a boot-ROM queue: no header
    Malformed, // shorter than a header, or a header that fits none of the above
    Unrouted,  // a channel the core does not carry
};

// A frame the host sent, as the firmware understood it.
struct HostFrame {
    ccci::Core core = ccci::Core::Md;
    ULONG queue = 0;
    FrameKind kind = FrameKind::Malformed;
    ccci::Header header;     // zero for raw and short frames
    ULONG id = 0;            // message and control frames
    ULONG argument = 0;      // message and control frames
    std::vector<UCHAR> data; // after the header (control: after the control header); raw: every byte
    std::vector<UCHAR> bytes; // the frame as sent
    bool inSequence = true;   // false: its number was not the channel's next
};

struct SequenceGap {
    USHORT channel;
    USHORT expected;
    USHORT received;
    bool operator==(const SequenceGap&) const = default;
};

// A system query the firmware sent and what the host answered (none yet: no answer).
struct SystemQuery {
    ULONG id;
    ULONG argument;
    std::optional<ULONG> answerArgument;
};

// What the firmware does to the frames it sends next; each rule applies to `count` frames on its
// channel (any channel without one), all rules that match a frame apply to it.
enum class Fault {
    Drop,          // not sent; its number is used up, so the host sees a gap
    Delay,         // sent `value` host time (100 ns units) later
    Reorder,       // held back and sent right after the next frame on the same queue
    CorruptHeader, // every header byte replaced by the low byte of `value`
    Channel,       // the header's channel replaced by `value` (unknown, or above the highest)
    Truncate,      // only the first `value` bytes are stored (a short frame)
    ReportLength,  // the descriptor reports `value` bytes, whatever was stored (an over-long frame)
    Gap,           // `value` numbers skipped before this frame's
    Unnumbered,    // bit 15 of seq clear; the channel's number is not used up
};

class Firmware {
public:
    // Attaches to both engines as their peer; delayed frames run on `scheduler`.
    Firmware(CldmaEngine& sap, CldmaEngine& md, sim::pci::Scheduler& scheduler, Modem* modem = nullptr);
    explicit Firmware(Modem& modem);
    // Detaches from the engines. Their work must not run meanwhile (stop or stop stepping them first).
    ~Firmware();
    Firmware(const Firmware&) = delete;
    Firmware& operator=(const Firmware&) = delete;

    // Boot stages, on the modem the firmware was made with (made from bare engines: nothing happens).
    // EnterStage sets the boot status (the host's mark bits kept) and rings `doorbells` in one go; a
    // boot-ROM or dump stage turns the boot-ROM queues raw, the normal stage turns them back.
    // RequestHandshake rings the core's handshake doorbell.
    void EnterStage(ULONG status, ULONG doorbells = boot::kDoorbellReady);
    void RequestHandshake(ccci::Core core);
    // An exception: frames go on the exception queues from now on and the exception doorbell rings.
    // The host's exception stages 0, 2 and 3 are acknowledged with their doorbells.
    void RaiseException();
    void AcknowledgeExceptionStage(ULONG stage);

    // The handshake: the host's feature set (control message 0 on the core's control channel) is
    // answered with control message 1 carrying `answer` (DefaultHandshakeAnswer until set; none: the
    // feature set goes unanswered).
    void SetHandshakeAnswer(ccci::Core core, std::optional<ccci::HandshakeAnswer> answer);
    // The data of the host's feature set and of its runtime-feature reply (control message 2), the
    // latest of each; none before it came.
    std::optional<std::vector<UCHAR>> HostFeatures(ccci::Core core) const;
    std::optional<std::vector<UCHAR>> RuntimeReply(ccci::Core core) const;

    // Boot ROM: the SAP core's queues 0 and 1 carry raw bytes ("brom_download", "ttyDUMP"). Exception:
    // the firmware sends on each channel's exception queue.
    void SetBootRom(bool bootRom);
    void SetException(bool exception);

    // Frames to the host on host receive channel `channel`, on the core and queue of its row (a channel
    // without one goes on the MD core's queue 0). Each is numbered from 0x8000 per channel.
    void SendData(USHORT channel, std::span<const UCHAR> payload);
    void SendMessage(USHORT channel, ULONG id, ULONG argument);
    void SendControl(USHORT channel, ULONG id, ULONG argument, std::span<const UCHAR> data = {});
    // Control message 9 on `channel` (0x2000 or 0x1000); the host's answer on 0x2001 is awaited.
    void SendPortEnumeration(const ccci::Enumeration& enumeration, USHORT channel = ccci::kCtrlHostRx);
    // A system message on 0x2002; 0x114 and 0x116 await the host's 0x115 / 0x117 with their argument.
    void SendSystemMessage(ULONG id, ULONG argument);
    void SendPollReply(ULONG argument = 0);
    void SendMinidumpNotice();
    // An MBIM message on 0x20D0, in frames of at most 3456 data bytes.
    void SendMbim(std::span<const UCHAR> message);
    // Raw bytes on the SAP core's receive queue `queue` (0 boot ROM, 1 dump).
    void SendRaw(ULONG queue, std::span<const UCHAR> bytes);
    // Both directions number from 0 again, as after the host resets its sequence numbers.
    void ResetSequences();
    // The firmware starts again: numbering from 0, no exception, no raw queues, the handshake's records
    // (feature sets and replies) and the frames held back gone. Scripts, answers and hooks stay.
    void PowerOn();

    void Script(Fault fault, ULONG64 value = 0, ULONG count = 1, std::optional<USHORT> channel = std::nullopt);
    void ClearScript();
    // Sends the frames Reorder still holds.
    void ReleaseHeld();

    // Hooks. A channel handler sees every frame the host sends on host transmit channel `channel`
    // (kRawChannel: the boot-ROM queues) instead of the firmware's own handling. The MBIM handler gets
    // every reassembled message (none: the message is only recorded).
    using FrameHandler = std::function<void(const HostFrame&)>;
    void SetChannelHandler(USHORT channel, FrameHandler handler);
    // Hears of every frame the host sends, after the firmware's (or the channel handler's) handling.
    void SetFrameListener(FrameHandler listener);
    void SetMbimHandler(std::function<void(const std::vector<UCHAR>&)> handler);

    // What the host sent: every frame in order, or those on one host transmit channel (the header's
    // channel; kRawChannel for raw bytes, Malformed frames keep whatever channel they carry).
    std::vector<HostFrame> Frames() const;
    std::vector<HostFrame> Frames(USHORT channel) const;
    size_t FrameCount(USHORT channel) const;
    std::vector<SequenceGap> Gaps() const;
    std::vector<std::vector<UCHAR>> MbimMessages() const;
    // Bytes on the MBIM channel that make no whole message yet.
    size_t MbimPending() const;
    // The host's answers to control message 9, in order, and how many enumerations await one.
    std::vector<ULONG> EnumerationAnswers() const;
    size_t EnumerationsUnanswered() const;
    std::vector<SystemQuery> SystemQueries() const;
    void ClearRecords();

    // Host waits until `done` holds, re-checked whenever the host sends a frame; false when no frame
    // came within `timeout` (100 ns units) and it still does not hold.
    bool Wait(const std::function<bool()>& done, LONGLONG timeout);
    bool WaitFrames(USHORT channel, size_t count, LONGLONG timeout);

private:
    class CorePeer : public CldmaPeer {
    public:
        CorePeer(Firmware& firmware, ccci::Core core) : firmware_(firmware), core_(core) {}
        void FrameSent(ULONG queue, const UCHAR* data, SIZE_T length) override
        {
            firmware_.FromHost(core_, queue, data, length);
        }

    private:
        Firmware& firmware_;
        ccci::Core core_;
    };
    struct Rule {
        Fault fault;
        ULONG64 value;
        ULONG count;
        std::optional<USHORT> channel;
    };
    struct Outgoing {
        ccci::Core core;
        ULONG queue;
        std::vector<UCHAR> bytes;
        std::optional<USHORT> reportedLength;
    };
    static constexpr size_t kQueueSlots = 2 * kCldmaQueues;

    CldmaEngine& Engine(ccci::Core core) { return core == ccci::Core::Sap ? sap_ : md_; }
    static size_t Slot(ccci::Core core, ULONG queue);

    void FromHost(ccci::Core core, ULONG queue, const UCHAR* data, SIZE_T length);
    HostFrame Parse(ccci::Core core, ULONG queue, const UCHAR* data, SIZE_T length) const;
    void CheckSequenceLocked(HostFrame& frame);
    // The firmware's own answer to a frame; runs without the lock.
    void Answer(const HostFrame& frame);
    void TakeMbim(const std::vector<UCHAR>& data);

    // Numbers and scripts a frame (its header's channel says where it goes) and queues it.
    void Emit(std::vector<UCHAR> frame);
    // `numbered`: the frame has a header to number and script; raw bytes have none.
    void EmitLocked(ccci::Core core, ULONG queue, std::vector<UCHAR> frame, bool numbered);
    void DeliverLocked(Outgoing outgoing);

    CldmaEngine& sap_;
    CldmaEngine& md_;
    sim::pci::Scheduler& scheduler_;
    Modem* const modem_;
    CorePeer sapPeer_{*this, ccci::Core::Sap};
    CorePeer mdPeer_{*this, ccci::Core::Md};
    KEVENT arrived_;

    // Taken before an engine's lock: the frames of a channel reach the engine in their number's order.
    mutable std::mutex lock_;
    bool bootRom_ = false;
    bool exception_ = false;
    std::map<USHORT, USHORT> txSeq_;                 // per host receive channel: the next number
    std::map<USHORT, std::optional<USHORT>> rxSeq_; // per host transmit channel: the last number
    std::vector<Rule> rules_;
    std::array<std::vector<Outgoing>, kQueueSlots> held_;
    std::map<USHORT, FrameHandler> handlers_;
    FrameHandler listener_;
    std::function<void(const std::vector<UCHAR>&)> mbimHandler_;
    std::vector<HostFrame> frames_;
    std::vector<SequenceGap> gaps_;
    std::vector<UCHAR> mbimPending_;
    std::vector<std::vector<UCHAR>> mbimMessages_;
    std::vector<ULONG> enumerationAnswers_;
    size_t enumerationsSent_ = 0;
    std::vector<SystemQuery> systemQueries_;
    std::array<std::optional<ccci::HandshakeAnswer>, 2> handshakeAnswers_{
        ccci::DefaultHandshakeAnswer(ccci::Core::Md), ccci::DefaultHandshakeAnswer(ccci::Core::Sap)};
    std::array<std::optional<std::vector<UCHAR>>, 2> hostFeatures_;
    std::array<std::optional<std::vector<UCHAR>>, 2> runtimeReplies_;
};

} // namespace sim::modem
