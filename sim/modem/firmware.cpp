#include "sim/modem/firmware.h"

#include <algorithm>

#include "sim/modem/modem.h"

namespace sim::modem {

using namespace ccci;

Firmware::Firmware(CldmaEngine& sap, CldmaEngine& md, sim::pci::Scheduler& scheduler, Modem* modem)
    : sap_(sap), md_(md), scheduler_(scheduler), modem_(modem)
{
    KeInitializeEvent(&arrived_, SynchronizationEvent, FALSE);
    sap_.SetPeer(&sapPeer_);
    md_.SetPeer(&mdPeer_);
}

Firmware::Firmware(Modem& modem) : Firmware(modem.CldmaSap(), modem.CldmaMd(), modem.Scheduler(), &modem) {}

Firmware::~Firmware()
{
    sap_.SetPeer(nullptr);
    md_.SetPeer(nullptr);
}

size_t Firmware::Slot(Core core, ULONG queue)
{
    return (core == Core::Sap ? kCldmaQueues : 0) + (queue % kCldmaQueues);
}

void Firmware::SetBootRom(bool bootRom)
{
    std::lock_guard<std::mutex> guard(lock_);
    bootRom_ = bootRom;
}

void Firmware::EnterStage(ULONG status, ULONG doorbells)
{
    const ULONG stage = status & boot::kStageMask;
    SetBootRom(stage == boot::kStageBootRom || stage == boot::kStageBootRom + 1 || stage == boot::kStageDump);
    if (modem_ == nullptr)
        return;
    modem_->SetBootStatus(status);
    modem_->RingHost(doorbells);
}

void Firmware::RequestHandshake(Core core)
{
    if (modem_ != nullptr)
        modem_->RingHost(core == Core::Md ? boot::kDoorbellMdHandshake : boot::kDoorbellSapHandshake);
}

void Firmware::RaiseException()
{
    SetException(true);
    if (modem_ != nullptr)
        modem_->RingHost(boot::kDoorbellException);
}

void Firmware::AcknowledgeExceptionStage(ULONG stage)
{
    if (modem_ != nullptr)
        modem_->RingHost(boot::ExceptionStageAck(stage));
}

void Firmware::SetHandshakeAnswer(Core core, std::optional<HandshakeAnswer> answer)
{
    std::lock_guard<std::mutex> guard(lock_);
    handshakeAnswers_[static_cast<size_t>(core)] = std::move(answer);
}

std::optional<std::vector<UCHAR>> Firmware::HostFeatures(Core core) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return hostFeatures_[static_cast<size_t>(core)];
}

std::optional<std::vector<UCHAR>> Firmware::RuntimeReply(Core core) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return runtimeReplies_[static_cast<size_t>(core)];
}

void Firmware::SetException(bool exception)
{
    std::lock_guard<std::mutex> guard(lock_);
    exception_ = exception;
}

// ---------------------------------------------------------------------------------------------
// From the host.
void Firmware::FromHost(Core core, ULONG queue, const UCHAR* data, SIZE_T length)
{
    FrameHandler handler, listener;
    HostFrame frame;
    {
        std::lock_guard<std::mutex> guard(lock_);
        frame = Parse(core, queue, data, length);
        CheckSequenceLocked(frame);
        frames_.push_back(frame);
        USHORT channel = frame.kind == FrameKind::Raw ? kRawChannel : frame.header.channel;
        if (auto it = handlers_.find(channel); it != handlers_.end())
            handler = it->second;
        listener = listener_;
    }
    if (handler)
        handler(frame);
    else
        Answer(frame);
    if (listener)
        listener(frame);
    KeSetEvent(&arrived_, IO_NO_INCREMENT, FALSE);
}

HostFrame Firmware::Parse(Core core, ULONG queue, const UCHAR* data, SIZE_T length) const
{
    HostFrame frame;
    frame.core = core;
    frame.queue = queue;
    frame.bytes.assign(data, data + length);
    if (bootRom_ && core == Core::Sap && (queue == kBootPorts[0].txq || queue == kBootPorts[1].txq)) {
        frame.kind = FrameKind::Raw;
        frame.data = frame.bytes;
        return frame;
    }
    if (length < kHeaderSize)
        return frame; // Malformed
    frame.header = ParseHeader(data);
    const Header& header = frame.header;
    frame.data.assign(data + kHeaderSize, data + length);
    const Port* port = PortByHostTx(header.channel);
    if (port == nullptr || port->core != core) {
        frame.kind = FrameKind::Unrouted;
    } else if (port->kind == PortKind::Ctrl && (header.data0 == 0 || header.data0 == kMessageMarker) &&
               length >= kControlFrameSize && header.data1 == length &&
               LoadU32(data + kHeaderSize + 8) == length - kControlFrameSize) {
        frame.kind = FrameKind::Control;
        frame.id = LoadU32(data + kHeaderSize);
        frame.argument = LoadU32(data + kHeaderSize + 4);
        frame.data.assign(data + kControlFrameSize, data + length);
    } else if (header.data0 == 0) {
        if (header.data1 == length)
            frame.kind = FrameKind::Data;
    } else if (header.data0 == kMessageMarker && length == kHeaderSize) {
        frame.kind = FrameKind::Message;
        frame.id = header.data1;
        frame.argument = header.reserved;
    }
    return frame;
}

// Only numbered frames are checked; after a gap the count goes on from the number received.
void Firmware::CheckSequenceLocked(HostFrame& frame)
{
    bool framed = frame.kind == FrameKind::Data || frame.kind == FrameKind::Message || frame.kind == FrameKind::Control;
    if (!framed || !(frame.header.seq & kSeqNumbered))
        return;
    USHORT seq = frame.header.seq & kSeqMask;
    std::optional<USHORT>& last = rxSeq_[frame.header.channel];
    USHORT expected = last ? static_cast<USHORT>((*last + 1) & kSeqMask) : 0;
    if (seq != expected) {
        frame.inSequence = false;
        gaps_.push_back(SequenceGap{frame.header.channel, expected, seq});
    }
    last = seq;
}

void Firmware::Answer(const HostFrame& frame)
{
    const USHORT channel = frame.header.channel;
    switch (frame.kind) {
    case FrameKind::Data:
        if (channel == kMbimHostTx) {
            TakeMbim(frame.data);
        } else if (const Port* port = PortByHostTx(channel); port->flags & kPortCharDevice) {
            SendData(port->hostRx, frame.data);
        }
        return;
    case FrameKind::Message:
        if (channel == kPollHostTx) {
            SendMessage(kPollHostRx, frame.id, frame.argument);
        } else if (channel == kSysHostTx) {
            if (auto answer = SystemAnswerId(frame.id)) {
                SendMessage(kSysHostRx, *answer, frame.argument);
                return;
            }
            std::lock_guard<std::mutex> guard(lock_);
            for (SystemQuery& query : systemQueries_)
                if (!query.answerArgument && SystemAnswerId(query.id) == frame.id) {
                    query.answerArgument = frame.argument;
                    break;
                }
        }
        return;
    case FrameKind::Control: {
        const size_t core = static_cast<size_t>(frame.core);
        std::unique_lock<std::mutex> guard(lock_);
        switch (frame.id) {
        case kCtrlPortEnumeration: enumerationAnswers_.push_back(frame.argument); return;
        case kCtrlRuntimeReply: runtimeReplies_[core] = frame.data; return;
        case kCtrlHostFeatures: {
            hostFeatures_[core] = frame.data;
            if (!handshakeAnswers_[core])
                return;
            std::vector<UCHAR> answer = HandshakeAnswerData(*handshakeAnswers_[core]);
            guard.unlock();
            SendControl(frame.core == Core::Md ? kCtrlHostRx : kSapCtrlHostRx, kCtrlHandshake, 0, answer);
            return;
        }
        default: return;
        }
    }
    default:
        return;
    }
}

// MBIM messages arrive in chunks; each message's own MessageLength tells where it ends.
void Firmware::TakeMbim(const std::vector<UCHAR>& data)
{
    std::vector<std::vector<UCHAR>> complete;
    std::function<void(const std::vector<UCHAR>&)> handler;
    {
        std::lock_guard<std::mutex> guard(lock_);
        mbimPending_.insert(mbimPending_.end(), data.begin(), data.end());
        while (mbimPending_.size() >= kMbimHeaderSize) {
            ULONG length = LoadU32(mbimPending_.data() + 4);
            if (length < kMbimHeaderSize) { // no message can be found in what follows
                mbimPending_.clear();
                break;
            }
            if (mbimPending_.size() < length)
                break;
            complete.emplace_back(mbimPending_.begin(), mbimPending_.begin() + length);
            mbimPending_.erase(mbimPending_.begin(), mbimPending_.begin() + length);
        }
        mbimMessages_.insert(mbimMessages_.end(), complete.begin(), complete.end());
        handler = mbimHandler_;
    }
    if (handler)
        for (const auto& message : complete)
            handler(message);
}

// ---------------------------------------------------------------------------------------------
// To the host.
void Firmware::SendData(USHORT channel, std::span<const UCHAR> payload) { Emit(DataFrame(channel, payload)); }

void Firmware::SendMessage(USHORT channel, ULONG id, ULONG argument) { Emit(MessageFrame(channel, id, argument)); }

void Firmware::SendControl(USHORT channel, ULONG id, ULONG argument, std::span<const UCHAR> data)
{
    Emit(ControlFrame(channel, id, argument, data));
}

void Firmware::SendPortEnumeration(const Enumeration& enumeration, USHORT channel)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        enumerationsSent_++;
    }
    SendControl(channel, kCtrlPortEnumeration, 0, EnumerationData(enumeration));
}

void Firmware::SendSystemMessage(ULONG id, ULONG argument)
{
    if (SystemAnswerId(id)) {
        std::lock_guard<std::mutex> guard(lock_);
        systemQueries_.push_back(SystemQuery{id, argument, std::nullopt});
    }
    SendMessage(kSysHostRx, id, argument);
}

void Firmware::SendPollReply(ULONG argument) { SendMessage(kPollHostRx, 0, argument); }

void Firmware::SendMinidumpNotice()
{
    static constexpr UCHAR kNotice[] = {'M', 'I', 'N', 'I', 'D', 'U', 'M', 'P'};
    SendData(kMinidumpHostRx, kNotice);
}

void Firmware::SendMbim(std::span<const UCHAR> message)
{
    SIZE_T at = 0;
    do {
        SIZE_T chunk = std::min(kMbimChunk, message.size() - at);
        SendData(kMbimHostRx, message.subspan(at, chunk));
        at += chunk;
    } while (at < message.size());
}

void Firmware::SendRaw(ULONG queue, std::span<const UCHAR> bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    EmitLocked(Core::Sap, queue, std::vector<UCHAR>(bytes.begin(), bytes.end()), false);
}

void Firmware::Emit(std::vector<UCHAR> frame)
{
    const Port* port = PortByHostRx(LoadU16(frame.data() + 8));
    std::lock_guard<std::mutex> guard(lock_);
    if (port == nullptr) {
        EmitLocked(Core::Md, 0, std::move(frame), true);
        return;
    }
    UCHAR queue = exception_ ? port->rxqExp : port->rxq;
    if (queue != kNoQueue) // a channel without an exception queue is silent meanwhile
        EmitLocked(port->core, queue, std::move(frame), true);
}

void Firmware::EmitLocked(Core core, ULONG queue, std::vector<UCHAR> frame, bool numbered)
{
    const USHORT channel = numbered ? LoadU16(frame.data() + 8) : kRawChannel;
    bool drop = false, unnumbered = false, reorder = false;
    LONGLONG delay = 0;
    ULONG gap = 0;
    std::optional<ULONG64> corrupt, channelOverride, truncate;
    std::optional<USHORT> reportedLength;
    for (Rule& rule : rules_) {
        if (rule.count == 0 || (rule.channel && *rule.channel != channel))
            continue;
        rule.count--;
        switch (rule.fault) {
        case Fault::Drop: drop = true; break;
        case Fault::Delay: delay = static_cast<LONGLONG>(rule.value); break;
        case Fault::Reorder: reorder = true; break;
        case Fault::CorruptHeader: corrupt = rule.value; break;
        case Fault::Channel: channelOverride = rule.value; break;
        case Fault::Truncate: truncate = rule.value; break;
        case Fault::ReportLength: reportedLength = static_cast<USHORT>(rule.value); break;
        case Fault::Gap: gap += static_cast<ULONG>(rule.value); break;
        case Fault::Unnumbered: unnumbered = true; break;
        }
    }
    std::erase_if(rules_, [](const Rule& rule) { return rule.count == 0; });

    if (numbered) {
        USHORT& next = txSeq_[channel];
        next = static_cast<USHORT>((next + gap) & kSeqMask);
        StoreU16(frame.data() + 10, unnumbered ? next : static_cast<USHORT>(next | kSeqNumbered));
        if (!unnumbered)
            next = static_cast<USHORT>((next + 1) & kSeqMask);
        if (channelOverride)
            StoreU16(frame.data() + 8, static_cast<USHORT>(*channelOverride));
        if (corrupt)
            std::fill(frame.begin(), frame.begin() + kHeaderSize, static_cast<UCHAR>(*corrupt));
    }
    if (drop)
        return;
    if (truncate)
        frame.resize(std::min<SIZE_T>(frame.size(), *truncate));
    Outgoing outgoing{core, queue, std::move(frame), reportedLength};
    if (delay != 0) {
        scheduler_.After(delay, [&engine = Engine(core), outgoing] {
            engine.Receive(outgoing.queue, outgoing.bytes, outgoing.reportedLength);
        });
    } else if (reorder) {
        held_[Slot(core, queue)].push_back(std::move(outgoing));
    } else {
        DeliverLocked(std::move(outgoing));
    }
}

void Firmware::DeliverLocked(Outgoing outgoing)
{
    std::vector<Outgoing> held = std::move(held_[Slot(outgoing.core, outgoing.queue)]);
    held_[Slot(outgoing.core, outgoing.queue)].clear();
    held.insert(held.begin(), std::move(outgoing));
    for (Outgoing& frame : held)
        Engine(frame.core).Receive(frame.queue, std::move(frame.bytes), frame.reportedLength);
}

void Firmware::ReleaseHeld()
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& slot : held_) {
        for (Outgoing& frame : slot)
            Engine(frame.core).Receive(frame.queue, std::move(frame.bytes), frame.reportedLength);
        slot.clear();
    }
}

void Firmware::ResetSequences()
{
    std::lock_guard<std::mutex> guard(lock_);
    txSeq_.clear();
    rxSeq_.clear();
}

void Firmware::PowerOn()
{
    std::lock_guard<std::mutex> guard(lock_);
    txSeq_.clear();
    rxSeq_.clear();
    bootRom_ = false;
    exception_ = false;
    for (auto& slot : held_)
        slot.clear();
    hostFeatures_ = {};
    runtimeReplies_ = {};
}

// ---------------------------------------------------------------------------------------------
// Scripts, hooks, records.
void Firmware::Script(Fault fault, ULONG64 value, ULONG count, std::optional<USHORT> channel)
{
    std::lock_guard<std::mutex> guard(lock_);
    rules_.push_back(Rule{fault, value, count, channel});
}

void Firmware::ClearScript()
{
    std::lock_guard<std::mutex> guard(lock_);
    rules_.clear();
}

void Firmware::SetChannelHandler(USHORT channel, FrameHandler handler)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (handler)
        handlers_[channel] = std::move(handler);
    else
        handlers_.erase(channel);
}

void Firmware::SetFrameListener(FrameHandler listener)
{
    std::lock_guard<std::mutex> guard(lock_);
    listener_ = std::move(listener);
}

void Firmware::SetMbimHandler(std::function<void(const std::vector<UCHAR>&)> handler)
{
    std::lock_guard<std::mutex> guard(lock_);
    mbimHandler_ = std::move(handler);
}

std::vector<HostFrame> Firmware::Frames() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return frames_;
}

std::vector<HostFrame> Firmware::Frames(USHORT channel) const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<HostFrame> frames;
    for (const HostFrame& frame : frames_)
        if ((frame.kind == FrameKind::Raw ? kRawChannel : frame.header.channel) == channel)
            frames.push_back(frame);
    return frames;
}

size_t Firmware::FrameCount(USHORT channel) const { return Frames(channel).size(); }

std::vector<SequenceGap> Firmware::Gaps() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return gaps_;
}

std::vector<std::vector<UCHAR>> Firmware::MbimMessages() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return mbimMessages_;
}

size_t Firmware::MbimPending() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return mbimPending_.size();
}

std::vector<ULONG> Firmware::EnumerationAnswers() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return enumerationAnswers_;
}

size_t Firmware::EnumerationsUnanswered() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return enumerationsSent_ - std::min(enumerationsSent_, enumerationAnswers_.size());
}

std::vector<SystemQuery> Firmware::SystemQueries() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return systemQueries_;
}

void Firmware::ClearRecords()
{
    std::lock_guard<std::mutex> guard(lock_);
    frames_.clear();
    gaps_.clear();
    mbimMessages_.clear();
    enumerationAnswers_.clear();
    enumerationsSent_ = 0;
    systemQueries_.clear();
}

bool Firmware::Wait(const std::function<bool()>& done, LONGLONG timeout)
{
    while (!done()) {
        LARGE_INTEGER due;
        due.QuadPart = -timeout;
        if (KeWaitForSingleObject(&arrived_, Executive, KernelMode, FALSE, &due) != STATUS_SUCCESS)
            return done();
    }
    return true;
}

bool Firmware::WaitFrames(USHORT channel, size_t count, LONGLONG timeout)
{
    return Wait([&] { return FrameCount(channel) >= count; }, timeout);
}

} // namespace sim::modem
