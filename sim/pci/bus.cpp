#include "sim/pci/bus.h"

#include <host/dma.h>
#include <host/interrupt.h>
#include <host/mmio.h>
#include <host/verifier.h>

#include <algorithm>

namespace sim::pci {
namespace {

using namespace reg;

constexpr ULONG kCommandMemory = 0x0002;
constexpr ULONG kCommandBusMaster = 0x0004;
constexpr ULONG kCommandIntxDisable = 0x0400;
constexpr ULONG kCommandWritable = 0x0546; // memory, bus master, parity, SERR, INTx disable
constexpr ULONG kStatusInterrupt = 0x0008;
constexpr ULONG kStatusErrors = 0xF900; // parity and abort bits: write 1 to clear

constexpr UCHAR kCapPowerManagement = 0x01;
constexpr UCHAR kCapMsi = 0x05;
constexpr UCHAR kCapPciExpress = 0x10;
constexpr UCHAR kCapMsix = 0x11;
constexpr USHORT kExtAer = 0x0001;
constexpr USHORT kExtLtr = 0x0018;
constexpr USHORT kExtL1ss = 0x001E;

constexpr ULONG kMsixEnable = 0x8000;
constexpr ULONG kMsixFunctionMask = 0x4000;
constexpr ULONG kMsixEntrySize = 16;
constexpr ULONG kMsixMasked = 1;
constexpr ULONG64 kMessageAddress = 0xFEE00000; // processor in bits 12-19

constexpr ULONG kPortTypeEndpoint = 0;
constexpr ULONG kPortTypeRootPort = 4;
constexpr ULONG kFirstLine = 16;

ULONG64 AllOnes(ULONG width) { return width >= 8 ? ~0ULL : (1ULL << (8 * width)) - 1; }

// BAR addresses, process-wide so that buses alive at once never overlap; never reused.
ULONG64 AllocateMmio(ULONG64 size)
{
    static std::mutex lock;
    static ULONG64 next = 0xC0000000;
    std::lock_guard<std::mutex> guard(lock);
    ULONG64 address = ALIGN_UP_BY(next, size);
    next = address + size;
    return address;
}

void DefinePciExpress(ConfigSpace& space, const LinkConfig& link, ULONG portType, bool flr)
{
    ULONG at = space.AddCapability(kCapPciExpress, 0x3C);
    space.Define(at + 0x02, 2, 0x0002 | portType << 4);        // capability version 2
    space.Define(at + 0x04, 4, (flr ? 1u << 28 : 0) | 0x1);    // Device Capabilities: 256-byte payload
    space.Define(at + 0x08, 2, 0x2000, 0x7FFF);                // Device Control
    space.Define(at + 0x0A, 2, 0, 0, 0x000F);                  // Device Status: error bits
    space.Define(at + 0x0C, 4, 0x3 | 1u << 4 | ULONG(link.aspmSupport & 3) << 10 | 1u << 18 |
                                   (portType == kPortTypeRootPort ? 1u << 24 : 0)); // 8 GT/s x1, clock PM
    space.Define(at + 0x10, 2, 0, 0x0FCB);                     // Link Control: ASPM, common clock, clock PM
    space.Define(at + 0x12, 2, 0x0013, 0, 0xC000);             // Link Status: 8 GT/s x1
    space.Define(at + 0x24, 4, link.ltr ? 1u << 11 : 0);       // Device Capabilities 2
    space.Define(at + 0x28, 2, 0, 0x7FFF);                     // Device Control 2 (LTR enable: bit 10)
    space.Define(at + 0x2C, 4, 0x0E);                          // Link Capabilities 2
    space.Define(at + 0x30, 2, 0x3, 0xFFFF);                   // Link Control 2
}

void DefineExtended(ConfigSpace& space, const LinkConfig& link, bool rootPort)
{
    auto aer = [&] {
        ULONG at = space.AddExtendedCapability(kExtAer, 2, 0x48);
        space.Define(at + 0x04, 4, 0, 0, 0xFFFFFFFF);          // uncorrectable status
        space.Define(at + 0x08, 4, 0, 0xFFFFFFFF);             // uncorrectable mask
        space.Define(at + 0x0C, 4, 0x00462030, 0xFFFFFFFF);    // uncorrectable severity
        space.Define(at + 0x10, 4, 0, 0, 0xFFFFFFFF);          // correctable status
        space.Define(at + 0x14, 4, 0x00006000, 0xFFFFFFFF);    // correctable mask
        space.Define(at + 0x18, 4, 0, 0x00000140);             // capabilities and control: ECRC enables
        if (rootPort) {
            space.Define(at + 0x2C, 4, 0, 0x7);                // root error command
            space.Define(at + 0x30, 4, 0, 0, 0x7F);            // root error status
        }
    };
    if (link.aer && link.aerFirst)
        aer();
    if (link.ltr && !rootPort) {
        ULONG at = space.AddExtendedCapability(kExtLtr, 1, 8);
        space.Define(at + 0x04, 4, 0, 0x1FFF1FFF);             // max snoop and no-snoop latency
    }
    if (link.l1ssSupport != 0) {
        ULONG at = space.AddExtendedCapability(kExtL1ss, 1, 0x10);
        space.Define(at + 0x04, 4, (link.l1ssSupport & 0xF) | 0x10 | 0x28 << 8 | 0x5 << 19); // capabilities
        space.Define(at + 0x08, 4, 0, 0xE3FFFF0F);             // control 1: enables, LTR threshold
        space.Define(at + 0x0C, 4, 0, 0xFB);                   // control 2: T_POWER_ON
    }
    if (link.aer && !link.aerFirst)
        aer();
}

} // namespace

// ---------------------------------------------------------------------------------------------
ULONG ConfigNode::ReadConfig(ULONG offset, void* buffer, ULONG length)
{
    std::lock_guard<std::mutex> guard(lock_);
    return buffer != nullptr && ReachableLocked() ? space_.Read(offset, buffer, length) : 0;
}

ULONG ConfigNode::WriteConfig(ULONG offset, const void* buffer, ULONG length)
{
    ULONG moved;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (buffer == nullptr || !ReachableLocked())
            return 0;
        moved = space_.Write(offset, buffer, length);
        ConfigWrittenLocked();
    }
    AfterConfigWrite();
    return moved;
}

ULONG ConfigNode::PeekConfig(ULONG offset, ULONG width) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return space_.Get(offset, width);
}

void ConfigNode::PokeConfig(ULONG offset, ULONG width, ULONG value)
{
    std::lock_guard<std::mutex> guard(lock_);
    space_.Set(offset, width, value);
}

UCHAR ConfigNode::CapabilityOffset(UCHAR id) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return space_.FindCapability(id);
}

USHORT ConfigNode::ExtendedCapabilityOffset(USHORT id) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return space_.FindExtendedCapability(id);
}

// ---------------------------------------------------------------------------------------------
RootPort::RootPort(const RootPortConfig& config)
{
    space_.Define(kVendor, 2, config.vendorId);
    space_.Define(kDevice, 2, config.deviceId);
    space_.Define(kCommand, 2, kCommandMemory | kCommandBusMaster, kCommandWritable);
    space_.Define(kStatus, 2, 0, 0, kStatusErrors);
    space_.Define(kClass, 3, 0x060400); // PCI-to-PCI bridge
    space_.Define(kHeaderType, 1, 0x01);
    space_.Define(kBusNumbers, 3, 0x010100); // primary 0, secondary and subordinate 1
    DefinePciExpress(space_, config.link, kPortTypeRootPort, false);
    DefineExtended(space_, config.link, true);
    space_.SavePowerOn();
}

// ---------------------------------------------------------------------------------------------
Function::Function(Bus& bus, ULONG number, const FunctionConfig& config, DeviceModel& model)
    : bus_(bus), number_(number), config_(config), model_(model)
{
    const bool message = config.interrupts == InterruptMode::Message;
    ULONG messages = message ? std::clamp<ULONG>(config.messages, 1, 2048) : 1;
    vectorBase_ = host::InterruptAllocateVectors(messages);
    line_ = kFirstLine + number;
    table_.resize(message ? messages : 0);
    pending_.resize(table_.size());
    connected_.resize(messages);

    space_.Define(kVendor, 2, config.vendorId);
    space_.Define(kDevice, 2, config.deviceId);
    space_.Define(kCommand, 2, 0, kCommandWritable);
    space_.Define(kStatus, 2, 0, 0, kStatusErrors);
    space_.Define(kRevision, 1, config.revisionId);
    space_.Define(kClass, 3, config.classCode);
    space_.Define(kCacheLine, 1, 0, 0xFF);
    for (ULONG slot = 0; slot < kBarSlots; slot++) {
        const BarConfig& bar = config.bars[slot];
        if (bar.size == 0)
            continue;
        ULONG64 size = std::max<ULONG64>(bar.size, PAGE_SIZE);
        bars_[slot] = AllocateMmio(size);
        // The bus assigns the addresses, so the BARs are read-only here.
        space_.Define(kBar0 + 4 * slot, 4,
                      static_cast<ULONG>(bars_[slot]) | (bar.is64 ? 0x4 : 0) | (bar.prefetchable ? 0x8 : 0));
        if (bar.is64 && slot + 1 < kBarSlots) {
            space_.Define(kBar0 + 4 * (slot + 1), 4, static_cast<ULONG>(bars_[slot] >> 32));
            slot++;
        }
    }
    space_.Define(kSubsystemVendor, 2, config.subsystemVendorId);
    space_.Define(kSubsystem, 2, config.subsystemId);
    space_.Define(kInterruptLine, 1, 0, 0xFF);
    space_.Define(kInterruptPin, 1, 1); // INTA

    pm_ = space_.AddCapability(kCapPowerManagement, 8);
    space_.Define(pm_ + 2, 2, 0x0003);                // version 3
    space_.Define(pm_ + 4, 2, 0x0008, 0x0103, 0x8000); // No_Soft_Reset; power state, PME enable; PME status
    if (config.msi) {
        UCHAR msi = space_.AddCapability(kCapMsi, 0x18);
        space_.Define(msi + 0x02, 2, 0x0080 | 5 << 1, 0x0071); // 64-bit, 32 messages capable; enable, count
        space_.Define(msi + 0x04, 4, 0, 0xFFFFFFFC);             // message address
        space_.Define(msi + 0x08, 4, 0, 0xFFFFFFFF);
        space_.Define(msi + 0x0C, 2, 0, 0xFFFF);                 // message data
    }
    if (message) {
        msix_ = space_.AddCapability(kCapMsix, 12);
        space_.Define(msix_ + 2, 2, messages - 1, kMsixEnable | kMsixFunctionMask);
        space_.Define(msix_ + 4, 4, config.msixTableOffset | config.msixBar);
        space_.Define(msix_ + 8, 4, config.msixPbaOffset | config.msixBar);
    }
    DefinePciExpress(space_, config.link, kPortTypeEndpoint, config.flr);
    pcie_ = space_.FindCapability(kCapPciExpress);
    DefineExtended(space_, config.link, false);
    space_.SavePowerOn();
    {
        std::lock_guard<std::mutex> guard(lock_);
        ProgramLocked();
    }

    for (ULONG m = 0; m < messages; m++) {
        host::InterruptSource source;
        source.trigger = message ? host::InterruptTrigger::Latched : host::InterruptTrigger::Level;
        source.connection = [this, m](bool connected) { Connected(m, connected); };
        host::InterruptRegisterVector(vectorBase_ + m, std::move(source));
    }
    for (ULONG slot = 0; slot < kBarSlots; slot++) {
        if (bars_[slot] == 0)
            continue;
        host::IoWindowHandlers handlers;
        handlers.read = [this, slot](ULONG64 offset, ULONG width) { return ReadBar(slot, offset, width); };
        handlers.write = [this, slot](ULONG64 offset, ULONG width, ULONG64 value) {
            WriteBar(slot, offset, width, value);
        };
        host::IoWindow* window =
            host::IoWindowRegister(bars_[slot], std::max<ULONG64>(config.bars[slot].size, PAGE_SIZE), handlers);
        if (window == nullptr)
            host::VerifierReport(host::Check::InvalidParameter, "BAR %u at %#llx: its window could not be registered",
                                 slot, static_cast<unsigned long long>(bars_[slot]));
        else
            windows_.push_back(window);
    }
}

Function::~Function()
{
    for (host::IoWindow* window : windows_)
        host::IoWindowUnregister(window);
    for (ULONG m = 0; m < connected_.size(); m++)
        host::InterruptUnregisterVector(vectorBase_ + m);
}

RootPort& Function::Port() const { return bus_.Root(); }

bool Function::Present() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return present_;
}

ULONG Function::MessageCount() const { return static_cast<ULONG>(connected_.size()); }

// ---------------------------------------------------------------------------------------------
// Programming and power.
void Function::PowerOnLocked()
{
    space_.RestorePowerOn();
    std::fill(table_.begin(), table_.end(), Entry{});
    std::fill(pending_.begin(), pending_.end(), false);
    asserted_ = 0;
}

// What a bus driver sets up when it starts the function: decoding and bus mastering, the interrupt
// line, MSI-X enabled with each entry sending its own message, masked unless its vector is connected.
void Function::ProgramLocked()
{
    ULONG command = kCommandMemory | kCommandBusMaster | (msix_ != 0 ? kCommandIntxDisable : 0);
    space_.Set(kCommand, 2, space_.Get(kCommand, 2) | command);
    space_.Set(kInterruptLine, 1, line_);
    if (msix_ == 0)
        return;
    space_.Set(msix_ + 2, 2, (space_.Get(msix_ + 2, 2) | kMsixEnable) & ~kMsixFunctionMask);
    for (ULONG e = 0; e < table_.size(); e++) {
        ULONG vector = Vector(e);
        table_[e].data = vector;
        table_[e].address = kMessageAddress | ULONG64(host::InterruptVectorProcessor(vector)) << 12;
        table_[e].control = connected_[e] ? 0 : kMsixMasked;
    }
}

bool Function::ReachableLocked() const { return present_ && power_ != PowerState::D3Cold; }

void Function::ConfigWrittenLocked()
{
    // A driver moving the function between D0 and D3hot through its power management registers.
    ULONG field = space_.Get(pm_ + 4, 2) & 3;
    PowerState wanted = field == 0 ? PowerState::D0 : field == 3 ? PowerState::D3Hot : power_;
    if (wanted != power_)
        powerRequests_.push_back(wanted);
    CollectPendingLocked(); // MSI-X may have been enabled or unmasked
}

void Function::AfterConfigWrite()
{
    std::vector<PowerState> requests;
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests.swap(powerRequests_);
    }
    for (PowerState state : requests)
        SetPowerState(state);
    Deliver();
}

void Function::SetPowerState(PowerState state)
{
    PowerState previous;
    {
        std::lock_guard<std::mutex> guard(lock_);
        previous = power_;
        if (previous == state || !present_)
            return;
        if (state == PowerState::D3Cold)
            PowerOnLocked(); // power removed
        else if (previous == PowerState::D3Cold)
            ProgramLocked(); // powered again: the bus driver restores what it programmed
        power_ = state;
        space_.Set(pm_ + 4, 2, (space_.Get(pm_ + 4, 2) & ~3u) | (state == PowerState::D0 ? 0 : 3));
        CollectPendingLocked();
    }
    model_.PowerChanged(previous, state);
    Deliver();
}

PowerState Function::CurrentPowerState() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return power_;
}

// ---------------------------------------------------------------------------------------------
// Interrupts.
ULONG Function::MsixControlLocked() const { return msix_ != 0 ? space_.Get(msix_ + 2, 2) : 0; }

bool Function::DeliverableLocked(ULONG entry) const
{
    ULONG control = MsixControlLocked();
    return present_ && power_ == PowerState::D0 && (control & kMsixEnable) != 0 &&
           (control & kMsixFunctionMask) == 0 && (table_[entry].control & kMsixMasked) == 0;
}

void Function::CollectPendingLocked()
{
    for (ULONG e = 0; e < pending_.size(); e++)
        if (pending_[e] && DeliverableLocked(e)) {
            pending_[e] = false;
            deliver_.push_back(table_[e].data);
        }
}

void Function::Deliver()
{
    std::vector<ULONG> vectors;
    {
        std::lock_guard<std::mutex> guard(lock_);
        vectors.swap(deliver_);
    }
    for (ULONG vector : vectors)
        host::InterruptRequest(vector);
    PublishLine();
}

// Level changes reach the host in the order they were made: the level is read and published under
// lineLock_, so the last publisher always publishes the current level.
void Function::PublishLine()
{
    if (msix_ != 0)
        return;
    std::lock_guard<std::mutex> order(lineLock_);
    bool level;
    {
        std::lock_guard<std::mutex> guard(lock_);
        level = present_ && power_ == PowerState::D0 && asserted_ != 0 &&
                (space_.Get(kCommand, 2) & kCommandIntxDisable) == 0;
        if (level == lineLevel_)
            return;
        lineLevel_ = level;
    }
    host::InterruptSetLine(vectorBase_, level);
}

void Function::Raise(ULONG message)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!present_ || power_ == PowerState::D3Cold)
            return;
        if (msix_ != 0) {
            if (message >= table_.size())
                return;
            if (DeliverableLocked(message))
                deliver_.push_back(table_[message].data);
            else
                pending_[message] = true;
        } else {
            if (message >= kMaxLineSources)
                return;
            asserted_ |= 1ULL << message;
            space_.Set(kStatus, 2, space_.Get(kStatus, 2) | kStatusInterrupt);
        }
    }
    Deliver();
}

void Function::Lower(ULONG message)
{
    if (msix_ != 0 || message >= kMaxLineSources)
        return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        asserted_ &= ~(1ULL << message);
        if (asserted_ == 0)
            space_.Set(kStatus, 2, space_.Get(kStatus, 2) & ~kStatusInterrupt);
    }
    PublishLine();
}

void Function::Connected(ULONG message, bool connected)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        connected_[message] = connected;
        for (ULONG e = 0; e < table_.size(); e++)
            if (table_[e].data == Vector(message))
                SetMaskLocked(e, !connected);
    }
    Deliver();
}

void Function::SetMaskLocked(ULONG entry, bool masked)
{
    table_[entry].control = masked ? table_[entry].control | kMsixMasked : table_[entry].control & ~kMsixMasked;
    CollectPendingLocked();
}

ULONG Function::TableSize() const { return static_cast<ULONG>(table_.size()); }

NTSTATUS Function::SetTableEntry(ULONG entry, ULONG message)
{
    if (entry >= table_.size() || message >= MessageCount())
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock_);
    table_[entry].data = Vector(message);
    table_[entry].address = kMessageAddress | ULONG64(host::InterruptVectorProcessor(Vector(message))) << 12;
    return STATUS_SUCCESS;
}

NTSTATUS Function::SetTableMask(ULONG entry, bool masked)
{
    if (entry >= table_.size())
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> guard(lock_);
        SetMaskLocked(entry, masked);
    }
    Deliver();
    return STATUS_SUCCESS;
}

NTSTATUS Function::GetTableEntry(ULONG entry, ULONG* message, bool* masked) const
{
    if (entry >= table_.size() || message == nullptr || masked == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(lock_);
    *message = table_[entry].data - vectorBase_;
    *masked = (table_[entry].control & kMsixMasked) != 0;
    return STATUS_SUCCESS;
}

bool Function::TableEntryPending(ULONG entry) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return entry < pending_.size() && pending_[entry];
}

// ---------------------------------------------------------------------------------------------
// Registers: the MSI-X table and pending bits are the bus's; everything else is the model's.
bool Function::DecodingLocked() const
{
    return present_ && power_ == PowerState::D0 && (space_.Get(kCommand, 2) & kCommandMemory) != 0;
}

bool Function::InMsixLocked(ULONG bar, ULONG64 offset) const
{
    if (msix_ == 0 || bar != config_.msixBar)
        return false;
    ULONG64 table = config_.msixTableOffset;
    ULONG64 pba = config_.msixPbaOffset;
    return (offset >= table && offset < table + table_.size() * kMsixEntrySize) ||
           (offset >= pba && offset < pba + ALIGN_UP_BY(table_.size(), 64) / 8);
}

ULONG64 Function::ReadMsixLocked(ULONG64 offset, ULONG width) const
{
    UCHAR image[16] = {};
    ULONG64 at;
    if (offset >= config_.msixTableOffset && offset < config_.msixTableOffset + table_.size() * kMsixEntrySize) {
        at = offset - config_.msixTableOffset;
        const Entry& entry = table_[at / kMsixEntrySize];
        memcpy(image, &entry.address, 8);
        memcpy(image + 8, &entry.data, 4);
        memcpy(image + 12, &entry.control, 4);
        at %= kMsixEntrySize;
    } else {
        at = offset - config_.msixPbaOffset;
        ULONG64 bits = 0;
        for (ULONG i = 0; i < 64 && (at / 8) * 64 + i < pending_.size(); i++)
            bits |= ULONG64(pending_[(at / 8) * 64 + i]) << i;
        memcpy(image, &bits, 8);
        at %= 8;
    }
    ULONG64 value = 0;
    memcpy(&value, image + at, std::min<ULONG64>(width, sizeof(image) - at));
    return value;
}

void Function::WriteMsixLocked(ULONG64 offset, ULONG width, ULONG64 value)
{
    if (offset < config_.msixTableOffset || offset >= config_.msixTableOffset + table_.size() * kMsixEntrySize)
        return; // the pending bits are read-only
    ULONG64 at = offset - config_.msixTableOffset;
    Entry& entry = table_[at / kMsixEntrySize];
    UCHAR image[16];
    memcpy(image, &entry.address, 8);
    memcpy(image + 8, &entry.data, 4);
    memcpy(image + 12, &entry.control, 4);
    at %= kMsixEntrySize;
    memcpy(image + at, &value, std::min<ULONG64>(width, sizeof(image) - at));
    memcpy(&entry.address, image, 8);
    memcpy(&entry.data, image + 8, 4);
    memcpy(&entry.control, image + 12, 4);
    CollectPendingLocked();
}

ULONG64 Function::ReadBar(ULONG bar, ULONG64 offset, ULONG width)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!DecodingLocked())
            return AllOnes(width);
        if (InMsixLocked(bar, offset))
            return ReadMsixLocked(offset, width);
    }
    return model_.ReadRegister(bar, offset, width);
}

void Function::WriteBar(ULONG bar, ULONG64 offset, ULONG width, ULONG64 value)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!DecodingLocked())
            return;
        if (InMsixLocked(bar, offset)) {
            WriteMsixLocked(offset, width, value);
            bar = kBarSlots; // handled
        }
    }
    if (bar == kBarSlots)
        Deliver();
    else
        model_.WriteRegister(bar, offset, width, value);
}

// ---------------------------------------------------------------------------------------------
// DMA.
bool Function::DmaAllowed() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return present_ && power_ == PowerState::D0 && (space_.Get(kCommand, 2) & kCommandBusMaster) != 0;
}

bool Function::DmaRead(ULONG64 logical, void* buffer, SIZE_T length)
{
    return DmaAllowed() && host::DmaRead(logical, buffer, length);
}

bool Function::DmaWrite(ULONG64 logical, const void* data, SIZE_T length)
{
    return DmaAllowed() && host::DmaWrite(logical, data, length);
}

// ---------------------------------------------------------------------------------------------
// Resets and re-enumeration.
void Function::ScriptReset(NTSTATUS status, LONGLONG delay)
{
    std::lock_guard<std::mutex> guard(lock_);
    resetStatus_ = status;
    resetDelay_ = delay;
}

void Function::SetPnpHooks(PnpHooks hooks)
{
    std::lock_guard<std::mutex> guard(lock_);
    hooks_ = std::move(hooks);
}

// The function goes back to power-on state and the bus programs it again, as the bus driver restores a
// function's configuration around a reset it performs.
void Function::ResetHardware(ResetKind kind)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        PowerOnLocked();
        ProgramLocked();
        power_ = PowerState::D0;
    }
    PublishLine();
    model_.Reset(kind);
}

NTSTATUS Function::FunctionLevelReset(std::function<void(NTSTATUS)> completion)
{
    if (!config_.flr)
        return STATUS_NOT_SUPPORTED;
    NTSTATUS status;
    LONGLONG delay;
    std::function<void(Function&, ResetKind, NTSTATUS)> resetDone;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!present_ || power_ != PowerState::D0)
            return STATUS_INVALID_DEVICE_STATE;
        status = resetStatus_;
        delay = resetDelay_;
        resetDone = hooks_.resetDone;
    }
    if (NT_SUCCESS(status))
        ResetHardware(ResetKind::FunctionLevel);
    auto done = [this, status, resetDone, completion] {
        if (resetDone)
            resetDone(*this, ResetKind::FunctionLevel, status);
        if (completion)
            completion(status);
    };
    if (!completion) {
        done();
        return status;
    }
    bus_.Defer(delay, std::move(done));
    return STATUS_PENDING;
}

NTSTATUS Function::PlatformLevelReset()
{
    std::function<void(Function&, ResetKind, NTSTATUS)> resetDone;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!present_)
            return STATUS_INVALID_DEVICE_STATE;
        resetDone = hooks_.resetDone;
    }
    ResetHardware(ResetKind::PlatformLevel);
    if (resetDone)
        resetDone(*this, ResetKind::PlatformLevel, STATUS_SUCCESS);
    RequestReenumeration();
    return STATUS_SUCCESS;
}

void Function::RequestReenumeration()
{
    bus_.Defer(0, [this] {
        std::function<void(Function&)> reenumerate;
        {
            std::lock_guard<std::mutex> guard(lock_);
            reenumerate = hooks_.reenumerate;
        }
        if (reenumerate)
            reenumerate(*this);
    });
}

// ---------------------------------------------------------------------------------------------
// Resource lists.
std::vector<UCHAR> Function::Resources(bool translated) const
{
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
    for (ULONG slot = 0; slot < kBarSlots; slot++) {
        if (bars_[slot] == 0)
            continue;
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = CmResourceTypeMemory;
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        d.Flags = CM_RESOURCE_MEMORY_READ_WRITE | (config_.bars[slot].prefetchable ? CM_RESOURCE_MEMORY_PREFETCHABLE : 0);
        d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(bars_[slot]);
        d.u.Memory.Length = static_cast<ULONG>(std::max<ULONG64>(config_.bars[slot].size, PAGE_SIZE));
        descriptors.push_back(d);
    }
    for (ULONG m = 0; m < MessageCount(); m++) {
        ULONG vector = Vector(m);
        KAFFINITY affinity = KAFFINITY(1) << host::InterruptVectorProcessor(vector);
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = CmResourceTypeInterrupt;
        if (msix_ != 0) {
            d.ShareDisposition = CmResourceShareDeviceExclusive;
            d.Flags = CM_RESOURCE_INTERRUPT_LATCHED | CM_RESOURCE_INTERRUPT_MESSAGE;
            if (translated) {
                d.u.MessageInterrupt.Translated.Level = host::InterruptVectorIrql(vector);
                d.u.MessageInterrupt.Translated.Vector = vector;
                d.u.MessageInterrupt.Translated.Affinity = affinity;
            } else {
                d.u.MessageInterrupt.Raw.MessageCount = 1;
                d.u.MessageInterrupt.Raw.Vector = CM_RESOURCE_INTERRUPT_MESSAGE_TOKEN;
                d.u.MessageInterrupt.Raw.Affinity = affinity;
            }
        } else {
            d.ShareDisposition = CmResourceShareShared;
            d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
            d.u.Interrupt.Level = static_cast<USHORT>(translated ? host::InterruptVectorIrql(vector) : line_);
            d.u.Interrupt.Vector = translated ? vector : line_;
            d.u.Interrupt.Affinity = affinity;
        }
        descriptors.push_back(d);
    }
    const size_t header = offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors);
    std::vector<UCHAR> buffer(header + descriptors.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR), 0);
    CM_RESOURCE_LIST list{};
    list.Count = 1;
    list.List[0].InterfaceType = PCIBus;
    list.List[0].BusNumber = 1;
    list.List[0].PartialResourceList.Version = 1;
    list.List[0].PartialResourceList.Revision = 1;
    list.List[0].PartialResourceList.Count = static_cast<ULONG>(descriptors.size());
    memcpy(buffer.data(), &list, header);
    if (!descriptors.empty())
        memcpy(buffer.data() + header, descriptors.data(), descriptors.size() * sizeof(descriptors[0]));
    return buffer;
}

std::vector<UCHAR> Function::RawResources() const { return Resources(false); }
std::vector<UCHAR> Function::TranslatedResources() const { return Resources(true); }

// ---------------------------------------------------------------------------------------------
Bus::Bus(const RootPortConfig& root) : root_(root) {}

Bus::~Bus() { scheduler_.CancelAll(); }

Function& Bus::Plug(const FunctionConfig& config, DeviceModel& model)
{
    auto number = static_cast<ULONG>(functions_.size());
    functions_.push_back(std::make_unique<Function>(*this, number, config, model));
    Function& function = *functions_.back();
    model.Attach(function);
    return function;
}

void Bus::Unplug(Function& function)
{
    {
        std::lock_guard<std::mutex> guard(function.lock_);
        function.present_ = false;
        function.asserted_ = 0;
        std::fill(function.pending_.begin(), function.pending_.end(), false);
    }
    function.PublishLine();
}

void Bus::Defer(LONGLONG delay, std::function<void()> action) { scheduler_.After(delay, std::move(action)); }

} // namespace sim::pci
