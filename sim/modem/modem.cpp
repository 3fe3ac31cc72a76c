#include "sim/modem/modem.h"

#include <algorithm>

namespace sim::modem {
namespace {

using namespace doorbell;

constexpr ULONG64 kSpareWindowSize = 0x10000;
constexpr UCHAR kRevision = 0x01;
constexpr USHORT kSubsystemId = 0x0001;

// The power doorbells: each is acknowledged when the power message before it carries its code.
struct PowerAnswer {
    ULONG doorbell, code, ack;
};
constexpr PowerAnswer kPowerAnswers[] = {
    {kSuspend1, kSuspendCode, kSuspendAck1},
    {kSuspend2, kSuspendCode, kSuspendAck2},
    {kResume1, kResumeCode, kResumeAck1},
    {kResume2, kResumeCode, kResumeAck2},
};

// Calls `each` with the number of every bit set in `bits`, lowest first.
template <class Each> void ForEachBit(ULONG bits, Each&& each)
{
    for (ULONG n = 0; bits != 0; n++, bits >>= 1)
        if (bits & 1)
            each(n);
}

} // namespace

pci::FunctionConfig FunctionConfig(const ModemConfig& config)
{
    pci::FunctionConfig function;
    function.vendorId = kVendorId;
    function.deviceId = config.deviceId;
    function.revisionId = kRevision;
    function.classCode = kClassCode;
    function.subsystemVendorId = config.subsystemVendorId;
    function.subsystemId = kSubsystemId;
    function.bars[kBarMac] = {kMacWindowSize, true, false};
    function.bars[kBarWindow] = {kModemWindowSize, true, false};
    if (config.windows == 3) {
        function.bars[4] = {kSpareWindowSize, true, false};
    } else if (config.windows >= 4) {
        function.bars[4] = {kSpareWindowSize, false, false};
        function.bars[5] = {kSpareWindowSize, false, false};
    }
    function.interrupts = config.interrupts;
    function.messages = std::clamp<ULONG>(config.messages, 1, kMaxMessages);
    function.msixBar = kBarMac;
    function.msixTableOffset = kMsixTableOffset;
    function.msixPbaOffset = kMsixPbaOffset;
    function.msi = true;
    return function;
}

pci::RootPortConfig RootPortConfig()
{
    pci::RootPortConfig root;
    root.vendorId = 0x5A5A;
    root.deviceId = 0x7A10;
    root.link.aerFirst = false;
    return root;
}

// ---------------------------------------------------------------------------------------------
Modem::Modem(const ModemConfig& config)
    : config_(config), log_(config.writeLogCapacity), scheduler_(config.execution),
      cldmaSap_(*this, *this, kSourceCldmaSap, config.execution), cldmaMd_(*this, *this, kSourceCldmaMd, config.execution),
      dpmaif_(*this, *this, config.execution)
{
    mappings_.push_back({kMhccifOffset, kSpan, &doorbellBlock_});
    mappings_.push_back({kRguOffset, 4, &resetBlock_});
    constexpr ULONG64 kCldmaSpan = 0x1000;
    mappings_.push_back({kCldmaSapA, kCldmaSpan, &cldmaSap_.BlockA()});
    mappings_.push_back({kCldmaSapB, kCldmaSpan, &cldmaSap_.BlockB()});
    mappings_.push_back({kCldmaMdA, kCldmaSpan, &cldmaMd_.BlockA()});
    mappings_.push_back({kCldmaMdB, kCldmaSpan, &cldmaMd_.BlockB()});
    mappings_.push_back({kDpmaifEngine, dpmaif::kEngineSpan, &dpmaif_.Block(DpmaifBlock::Engine)});
    mappings_.push_back({kDpmaifControl, dpmaif::kControlSpan, &dpmaif_.Block(DpmaifBlock::Control)});
    mappings_.push_back({kDpmaifOutside, dpmaif::kOutsideSpan, &dpmaif_.Block(DpmaifBlock::Outside)});
    powerLoss_.push_back([this] {
        cldmaSap_.LoseConfiguration();
        cldmaMd_.LoseConfiguration();
        dpmaif_.LoseConfiguration();
    });
    // The thread starts now rather than in the first register handler that schedules an answer.
    if (config.execution == pci::ExecutionMode::Threaded)
        scheduler_.After(0, [] {});
}

Modem::~Modem() { Stop(); }

void Modem::Stop()
{
    cldmaSap_.Stop();
    cldmaMd_.Stop();
    dpmaif_.Stop();
    scheduler_.Stop();
}

pci::Function& Modem::Plug(pci::Bus& bus) { return bus.Plug(FunctionConfig(config_), *this); }

void Modem::MapBlock(ULONG64 offset, ULONG64 size, RegisterBlock& block)
{
    std::lock_guard<std::mutex> guard(lock_);
    mappings_.insert(mappings_.begin(), {offset, size, &block});
}

void Modem::OnPowerLoss(std::function<void()> listener)
{
    std::lock_guard<std::mutex> guard(lock_);
    powerLoss_.push_back(std::move(listener));
}

// ---------------------------------------------------------------------------------------------
// Interrupts.
template <class Change> void Modem::Update(Change&& change)
{
    std::lock_guard<std::mutex> order(publish_);
    Delivery delivery;
    {
        std::lock_guard<std::mutex> guard(lock_);
        change();
        delivery = EvaluateLocked();
    }
    Publish(delivery);
}

Delivery Modem::EvaluateLocked()
{
    mac_.SetLevel(kSourceDoorbell, doorbells_.Level());
    mac_.SetLevel(kSourceReset, reset_ != 0);
    if (function_ == nullptr || linkDown_)
        return {};
    return mac_.Evaluate(config_.interrupts == pci::InterruptMode::Message, function_->MessageCount());
}

void Modem::Publish(const Delivery& delivery)
{
    if (function_ == nullptr)
        return;
    ForEachBit(delivery.messages, [&](ULONG message) { function_->Raise(message); });
    if (config_.interrupts == pci::InterruptMode::Line && delivery.line != line_) {
        line_ = delivery.line;
        if (line_)
            function_->Raise(0);
        else
            function_->Lower(0);
    }
}

void Modem::SetSourceLevel(ULONG source, bool asserted)
{
    Update([&] { mac_.SetLevel(source, asserted); });
}

void Modem::RaiseStatus(ULONG bits)
{
    Update([&] { mac_.Raise(bits); });
}

ULONG Modem::MacRegister(ULONG offset) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return mac_.Read(offset);
}

void Modem::SetMacRegister(ULONG offset, ULONG value)
{
    Update([&] { mac_.Set(offset, value); });
}

void Modem::SetBootStatus(ULONG status, ULONG mask)
{
    mask &= ~mac::kBootStatusHostMark;
    Update([&] { mac_.Set(mac::kBootStatus, (mac_.Read(mac::kBootStatus) & ~mask) | (status & mask)); });
}

ULONG64 Modem::LostMessages() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return mac_.LostMessages();
}

// ---------------------------------------------------------------------------------------------
// Registers.
ULONG64 Modem::ReadRegister(ULONG bar, ULONG64 offset, ULONG width)
{
    if (width == 8)
        return ReadDword(bar, offset) | ULONG64(ReadDword(bar, offset + 4)) << 32;
    ULONG value = ReadDword(bar, offset & ~3ull) >> 8 * (offset & 3);
    return width >= 4 ? value : value & ((1u << 8 * width) - 1);
}

// Registers are 32 bits wide: narrower writes do not reach them.
void Modem::WriteRegister(ULONG bar, ULONG64 offset, ULONG width, ULONG64 value)
{
    if (width == 8) {
        WriteDword(bar, offset, static_cast<ULONG>(value));
        WriteDword(bar, offset + 4, static_cast<ULONG>(value >> 32));
    } else if (width == 4 && offset % 4 == 0) {
        WriteDword(bar, offset, static_cast<ULONG>(value));
    }
}

RegisterBlock* Modem::RouteLocked(ULONG bar, ULONG64 offset, ULONG64* at, bool* translated) const
{
    std::optional<ULONG64> address = mac_.TranslateInbound(function_->BarAddress(bar) + offset);
    *translated = address.has_value();
    if (!address || *address < kModemWindowBase)
        return nullptr;
    ULONG64 into = *address - kModemWindowBase;
    for (const Mapping& mapping : mappings_)
        if (into >= mapping.offset && into - mapping.offset < mapping.size) {
            *at = into - mapping.offset;
            return mapping.block;
        }
    return nullptr;
}

ULONG Modem::ReadDword(ULONG bar, ULONG64 offset)
{
    RegisterBlock* block;
    ULONG64 at = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (linkDown_)
            return MAXULONG;
        if (bar == kBarMac)
            return mac_.Read(static_cast<ULONG>(offset));
        if (bar != kBarWindow)
            return 0;
        bool translated;
        block = RouteLocked(bar, offset, &at, &translated);
        if (!translated)
            return MAXULONG;
        if (block == nullptr)
            return 0;
    }
    return block->Read(at);
}

void Modem::WriteDword(ULONG bar, ULONG64 offset, ULONG value)
{
    auto log = [&] { log_.Add({bar, offset, value}); };
    if (bar == kBarMac) {
        Update([&] {
            log();
            if (linkDown_)
                return;
            mac_.Write(static_cast<ULONG>(offset), value);
            ResourceChangedLocked();
        });
        return;
    }
    RegisterBlock* block = nullptr;
    ULONG64 at = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        log();
        if (linkDown_ || bar != kBarWindow)
            return;
        bool translated;
        block = RouteLocked(bar, offset, &at, &translated);
    }
    if (block != nullptr)
        block->Write(at, value);
}

std::vector<RegisterWrite> Modem::Writes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return log_.Entries();
}

void Modem::ClearWrites()
{
    std::lock_guard<std::mutex> guard(lock_);
    log_.Clear();
}

void Modem::SetLinkDown(bool down)
{
    Update([&] { linkDown_ = down; });
}

// ---------------------------------------------------------------------------------------------
// DMA.
bool Modem::DmaRead(ULONG64 address, void* buffer, SIZE_T length)
{
    std::optional<ULONG64> host = Outbound(address, length);
    return host && function_->DmaRead(*host, buffer, length);
}

bool Modem::DmaWrite(ULONG64 address, const void* data, SIZE_T length)
{
    std::optional<ULONG64> host = Outbound(address, length);
    return host && function_->DmaWrite(*host, data, length);
}

std::optional<ULONG64> Modem::Outbound(ULONG64 address, SIZE_T length) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (linkDown_ || function_ == nullptr)
        return std::nullopt;
    return mac_.TranslateOutbound(address, length);
}

// ---------------------------------------------------------------------------------------------
// Doorbells.
ULONG Modem::DoorbellBlock::Read(ULONG64 offset)
{
    std::lock_guard<std::mutex> guard(modem_.lock_);
    return modem_.doorbells_.Read(static_cast<ULONG>(offset));
}

void Modem::DoorbellBlock::Write(ULONG64 offset, ULONG value)
{
    modem_.Update([&] {
        ULONG rung = modem_.doorbells_.Write(static_cast<ULONG>(offset), value);
        if (rung != 0)
            modem_.scheduler_.After(0, [modem = &modem_, rung, epoch = modem_.epoch_] { modem->Arrive(rung, epoch); });
    });
}

void Modem::RingHost(ULONG bits)
{
    Update([&] { doorbells_.RingHost(bits); });
}

ULONG Modem::DoorbellRegister(ULONG offset) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return doorbells_.Read(offset);
}

void Modem::SetDoorbellHandler(std::function<void(ULONG doorbell)> handler)
{
    std::lock_guard<std::mutex> guard(lock_);
    handler_ = std::move(handler);
}

std::vector<ULONG> Modem::DoorbellsRung() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return rung_;
}

void Modem::ClearDoorbellsRung()
{
    std::lock_guard<std::mutex> guard(lock_);
    rung_.clear();
}

// ---------------------------------------------------------------------------------------------
// The reset interrupt.
ULONG Modem::ResetBlock::Read(ULONG64)
{
    std::lock_guard<std::mutex> guard(modem_.lock_);
    return modem_.reset_;
}

// Writing back what was read acknowledges: the bits written are cleared.
void Modem::ResetBlock::Write(ULONG64, ULONG value)
{
    bool acknowledged = false;
    std::function<void()> handler;
    modem_.Update([&] {
        if ((modem_.reset_ & value) == 0)
            return;
        modem_.reset_ &= ~value;
        acknowledged = modem_.reset_ == 0;
        if (acknowledged) {
            modem_.resetAcknowledgements_++;
            handler = modem_.resetHandler_;
        }
    });
    if (handler)
        handler();
}

void Modem::AssertReset()
{
    Update([&] { reset_ = kRguResetPending; });
}

void Modem::SetResetHandler(std::function<void()> acknowledged)
{
    std::lock_guard<std::mutex> guard(lock_);
    resetHandler_ = std::move(acknowledged);
}

ULONG Modem::ResetAcknowledgements() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return resetAcknowledgements_;
}

// ---------------------------------------------------------------------------------------------
// The modem takes the doorbells the host rang: the responder reacts, then the handler hears of them.
void Modem::Arrive(ULONG doorbells, ULONG64 epoch)
{
    std::function<void(ULONG)> handler;
    Update([&] {
        if (epoch != epoch_) {
            doorbells = 0;
            return;
        }
        ForEachBit(doorbells, [&](ULONG n) { rung_.push_back(n); });
        if (mode_ == PowerMode::Silent) {
            doorbells = 0;
            return;
        }
        doorbells_.Consume(doorbells);
        ForEachBit(doorbells, [&](ULONG n) { AnswerLocked(n); });
        handler = handler_;
    });
    if (handler)
        ForEachBit(doorbells, handler);
}

// ---------------------------------------------------------------------------------------------
// The power responder.
void Modem::SetPowerMode(PowerMode mode)
{
    Update([&] {
        mode_ = mode;
        ResourceChangedLocked();
    });
}

LONGLONG Modem::DelayLocked(LONGLONG normal, LONGLONG slow) const { return mode_ == PowerMode::Slow ? slow : normal; }

// The grant follows the host's request: given a while after it rises, taken back as soon as it drops.
void Modem::ResourceChangedLocked()
{
    if (!mac_.ResourceRequested()) {
        mac_.SetGranted(false);
        grantGeneration_++;
        grantScheduled_ = false;
        grantAnswer_ = false;
        return;
    }
    if (mac_.Granted() || grantScheduled_ || mode_ == PowerMode::Silent)
        return;
    grantScheduled_ = true;
    scheduler_.After(DelayLocked(config_.timing.grant, config_.timing.slowGrant),
                     [this, generation = grantGeneration_] { Grant(generation); });
}

void Modem::Grant(ULONG64 generation)
{
    Update([&] {
        if (generation != grantGeneration_ || !grantScheduled_)
            return;
        grantScheduled_ = false;
        if (mode_ == PowerMode::Silent)
            return;
        mac_.SetGranted(true);
        if (grantAnswer_) {
            grantAnswer_ = false;
            doorbells_.RingHost(1u << kResourceGrant);
        }
    });
}

void Modem::AnswerLocked(ULONG doorbell)
{
    if (doorbell == kResourceRequest) {
        if (mac_.Granted())
            doorbells_.RingHost(1u << kResourceGrant);
        else
            grantAnswer_ = true;
        return;
    }
    const ULONG code = doorbells_.Message() >> 16;
    for (const PowerAnswer& answer : kPowerAnswers)
        if (answer.doorbell == doorbell && answer.code == code)
            AnswerLater(answer.ack, DelayLocked(config_.timing.answer, config_.timing.slowAnswer));
}

void Modem::AnswerLater(ULONG doorbell, LONGLONG delay)
{
    scheduler_.After(delay, [this, doorbell, epoch = epoch_] {
        Update([&] {
            if (epoch == epoch_ && mode_ != PowerMode::Silent)
                doorbells_.RingHost(1u << doorbell);
        });
    });
}

// ---------------------------------------------------------------------------------------------
// Power.
void Modem::PowerLoss()
{
    Update([&] {
        epoch_++;
        grantGeneration_++;
        grantScheduled_ = false;
        grantAnswer_ = false;
        mac_.PowerOn();
        doorbells_.PowerOn();
        reset_ = 0;
    });
    std::vector<std::function<void()>> listeners;
    std::optional<USHORT> subsystemVendorId;
    {
        std::lock_guard<std::mutex> guard(lock_);
        listeners = powerLoss_;
        subsystemVendorId = subsystemVendorId_;
    }
    if (subsystemVendorId && function_ != nullptr)
        function_->PokeConfig(pci::reg::kSubsystemVendor, 2, *subsystemVendorId);
    for (const auto& listener : listeners)
        listener();
}

void Modem::PowerUp()
{
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> guard(lock_);
        handler = powerUp_;
    }
    if (handler)
        handler();
}

void Modem::SetPowerUpHandler(std::function<void()> handler)
{
    std::lock_guard<std::mutex> guard(lock_);
    powerUp_ = std::move(handler);
}

void Modem::SetSubsystemVendorId(USHORT id)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        subsystemVendorId_ = id;
    }
    if (function_ != nullptr)
        function_->PokeConfig(pci::reg::kSubsystemVendor, 2, id);
}

void Modem::Reset(pci::ResetKind)
{
    PowerLoss();
    PowerUp();
}

void Modem::PowerChanged(pci::PowerState previous, pci::PowerState state)
{
    if (state == pci::PowerState::D3Cold)
        PowerLoss();
    else if (previous == pci::PowerState::D3Cold && state == pci::PowerState::D0)
        PowerUp();
}

// ---------------------------------------------------------------------------------------------
Board::Board(const ModemConfig& config, const pci::RootPortConfig& root)
    : modem(config), bus(root), function(modem.Plug(bus))
{
}

} // namespace sim::modem
