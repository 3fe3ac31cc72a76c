// The simulated PCI bus: a root port and the functions plugged below it. A function has a configuration
// space with its capability lists, memory BARs registered with the host as register windows at
// bus-assigned addresses, and interrupts: one level-triggered line, or N message-signalled vectors gated
// by an MSI-X table (in a BAR) whose entries stay masked until the driver connects their vectors.
//
// Interrupts reach the host after the bus's state lock is released; the service routines themselves
// run later on the emulated processors, so a model may raise an interrupt from anywhere, even from a
// register handler, without running driver code inline.
#pragma once

#include <wdm.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/pci/config_space.h"
#include "sim/pci/device_model.h"
#include "sim/pci/scheduler.h"

namespace host {
struct IoWindow;
}

namespace sim::pci {

inline constexpr ULONG kBarSlots = 6;
inline constexpr ULONG kMaxLineSources = 64;

struct BarConfig {
    ULONG64 size = 0; // a power of two of at least 4 KiB; 0: no BAR in this slot
    bool is64 = true; // a 64-bit BAR takes the next slot too
    bool prefetchable = false;
};

// PCI Express features of a function or a root port.
struct LinkConfig {
    UCHAR aspmSupport = 3;   // Link Capabilities bits 10-11 (1 L0s, 2 L1, 3 both)
    ULONG l1ssSupport = 0xF; // L1 PM Substates Capabilities bits 0-3; 0: no L1 PM Substates capability
    bool ltr = true;         // LTR mechanism (Device Capabilities 2 bit 11) and, on a function, its capability
    bool aer = true;         // Advanced Error Reporting capability (the first extended capability, at 0x100)
    bool aerFirst = true;    // false: AER follows the LTR and L1 PM Substates capabilities instead
};

enum class InterruptMode { Line, Message };

struct FunctionConfig {
    USHORT vendorId = 0;
    USHORT deviceId = 0;
    UCHAR revisionId = 0;
    ULONG classCode = 0; // base class << 16 | subclass << 8 | programming interface
    USHORT subsystemVendorId = 0;
    USHORT subsystemId = 0;
    std::array<BarConfig, kBarSlots> bars{};
    InterruptMode interrupts = InterruptMode::Message;
    ULONG messages = 1;        // MSI-X table size (message mode), 1 to 2048
    UCHAR msixBar = 0;         // the BAR holding the MSI-X table and pending bits
    ULONG msixTableOffset = 0; // 8-byte aligned offsets in that BAR
    ULONG msixPbaOffset = 0;
    bool flr = true; // function-level reset (Device Capabilities bit 28)
    bool msi = false; // an MSI capability too (32 messages, 64-bit), left disabled
    LinkConfig link;
};

struct RootPortConfig {
    USHORT vendorId = 0;
    USHORT deviceId = 0;
    LinkConfig link;
};

class Function;

// What the PnP manager sets to bring a device back through removal and re-add.
struct PnpHooks {
    // The device asked to be removed and enumerated again (re-enumerate-self, platform-level reset).
    // Runs on the bus's own thread, never inline in the driver's call.
    std::function<void(Function& function)> reenumerate;
    // A reset ended with `status` (before the driver's completion, if it gave one, runs).
    std::function<void(Function& function, ResetKind kind, NTSTATUS status)> resetDone;
};

// A configuration space behind a lock, as software reaches it.
class ConfigNode {
public:
    virtual ~ConfigNode() = default;
    // Software access (GetBusData/SetBusData, the root port interface): the bytes moved.
    ULONG ReadConfig(ULONG offset, void* buffer, ULONG length);
    ULONG WriteConfig(ULONG offset, const void* buffer, ULONG length);
    // Device-side access that ignores the write rules (a test setting error status bits, say).
    ULONG PeekConfig(ULONG offset, ULONG width) const;
    void PokeConfig(ULONG offset, ULONG width, ULONG value);
    UCHAR CapabilityOffset(UCHAR id) const;
    USHORT ExtendedCapabilityOffset(USHORT id) const;

protected:
    // Lock held. False: the node does not answer (removed, powered off).
    virtual bool ReachableLocked() const { return true; }
    // Lock held: after a software write.
    virtual void ConfigWrittenLocked() {}
    // After a software write, with no lock held.
    virtual void AfterConfigWrite() {}

    mutable std::mutex lock_;
    ConfigSpace space_;
};

class RootPort : public ConfigNode {
public:
    explicit RootPort(const RootPortConfig& config);
};

class Bus;

class Function : public ConfigNode {
public:
    Function(Bus& bus, ULONG number, const FunctionConfig& config, DeviceModel& model);
    ~Function() override;

    const FunctionConfig& Config() const { return config_; }
    RootPort& Port() const;
    ULONG Number() const { return number_; }
    bool Present() const;

    // Resources: BAR addresses, interrupt vectors (message m, or the line as message 0), the line's IRQ.
    ULONG64 BarAddress(ULONG bar) const { return bar < kBarSlots ? bars_[bar] : 0; }
    ULONG MessageCount() const;
    ULONG Vector(ULONG message) const { return vectorBase_ + message; }
    ULONG Line() const { return line_; }
    // CM_RESOURCE_LIST images (memory descriptors by BAR, then the interrupts) as a driver gets them.
    std::vector<UCHAR> RawResources() const;
    std::vector<UCHAR> TranslatedResources() const;

    // The model's interrupts. Message mode: Raise sends table entry `message` (held in its pending bit
    // while masked); Lower does nothing. Line mode: the line is asserted while any source is raised.
    void Raise(ULONG message);
    void Lower(ULONG message);

    // The MSI-X table, as the table interface and the BAR reach it.
    ULONG TableSize() const;
    NTSTATUS SetTableEntry(ULONG entry, ULONG message);
    NTSTATUS MaskTableEntry(ULONG entry) { return SetTableMask(entry, true); }
    NTSTATUS UnmaskTableEntry(ULONG entry) { return SetTableMask(entry, false); }
    NTSTATUS GetTableEntry(ULONG entry, ULONG* message, bool* masked) const;
    bool TableEntryPending(ULONG entry) const;

    // The model's DMA, checked by the host; refused (false) while bus mastering is off or the function
    // is not in D0.
    bool DmaRead(ULONG64 logical, void* buffer, SIZE_T length);
    bool DmaWrite(ULONG64 logical, const void* data, SIZE_T length);

    // The power manager's hook: D0, D3hot, or D3cold on system sleep.
    void SetPowerState(PowerState state);
    PowerState CurrentPowerState() const;

    // Resets. The next function-level resets complete with `status`, `delay` host time after they
    // start; a failure status leaves the function as it was.
    void ScriptReset(NTSTATUS status, LONGLONG delay = 0);
    // With a completion: STATUS_PENDING, and the completion runs on the bus's thread. Without one:
    // synchronous, returning the reset's status.
    NTSTATUS FunctionLevelReset(std::function<void(NTSTATUS)> completion);
    // Cycles the function's power, then asks for re-enumeration.
    NTSTATUS PlatformLevelReset();
    // Queued to the bus's thread: the PnP hook's reenumerate.
    void RequestReenumeration();
    void SetPnpHooks(PnpHooks hooks);

    // References the bus interfaces handed out hold.
    void InterfaceReference() { references_.fetch_add(1); }
    void InterfaceDereference() { references_.fetch_sub(1); }
    LONG InterfaceReferences() const { return references_.load(); }

private:
    friend class Bus;
    struct Entry {
        ULONG64 address = 0;
        ULONG data = 0;
        ULONG control = 1; // bit 0: masked
    };

    bool ReachableLocked() const override;
    void ConfigWrittenLocked() override;
    void AfterConfigWrite() override;

    ULONG64 ReadBar(ULONG bar, ULONG64 offset, ULONG width);
    void WriteBar(ULONG bar, ULONG64 offset, ULONG width, ULONG64 value);
    bool InMsixLocked(ULONG bar, ULONG64 offset) const;
    ULONG64 ReadMsixLocked(ULONG64 offset, ULONG width) const;
    void WriteMsixLocked(ULONG64 offset, ULONG width, ULONG64 value);
    void Connected(ULONG message, bool connected);
    NTSTATUS SetTableMask(ULONG entry, bool masked);

    bool DecodingLocked() const;
    bool DeliverableLocked(ULONG entry) const;
    // Moves pending entries that may now be delivered to deliver_.
    void CollectPendingLocked();
    void SetMaskLocked(ULONG entry, bool masked);
    void Deliver(); // outside the lock: the vectors collected, and the line's level
    void PublishLine();
    void ProgramLocked(); // what the bus driver sets up: decoding, bus mastering, MSI-X, the table
    void PowerOnLocked(); // the function's state at power-on
    void ResetHardware(ResetKind kind);
    bool DmaAllowed() const;
    ULONG MsixControlLocked() const;
    std::vector<UCHAR> Resources(bool translated) const;

    Bus& bus_;
    const ULONG number_;
    const FunctionConfig config_;
    DeviceModel& model_;
    std::array<ULONG64, kBarSlots> bars_{};
    std::vector<host::IoWindow*> windows_;
    ULONG vectorBase_ = 0;
    ULONG line_ = 0;
    UCHAR pm_ = 0, msix_ = 0, pcie_ = 0;

    // Guarded by lock_.
    bool present_ = true;
    PowerState power_ = PowerState::D0;
    std::vector<Entry> table_;
    std::vector<bool> pending_;
    std::vector<bool> connected_; // per message: a routine is connected to its vector
    ULONG64 asserted_ = 0;        // line mode: raised sources
    std::vector<ULONG> deliver_;  // vectors to request once the lock is released
    std::vector<PowerState> powerRequests_; // power-state writes to act on once the lock is released
    NTSTATUS resetStatus_ = STATUS_SUCCESS;
    LONGLONG resetDelay_ = 0;
    PnpHooks hooks_;

    std::mutex lineLock_; // orders the line's level changes as the host sees them
    bool lineLevel_ = false;
    std::atomic<LONG> references_{0};
};

class Bus {
public:
    explicit Bus(const RootPortConfig& root = {});
    // Withdraws the functions' windows and vectors. Models must outlive the bus.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    RootPort& Root() { return root_; }
    // Plugs a function below the root port: its BARs get addresses and register windows, its
    // interrupts vectors, and the function is programmed as a bus driver leaves it at start.
    Function& Plug(const FunctionConfig& config, DeviceModel& model);
    // Surprise removal: the function stops answering (registers read all ones, configuration accesses
    // move nothing, interrupts and DMA stop). It stays allocated for the interfaces still referring to it.
    void Unplug(Function& function);

    // Runs `action` on the bus's own thread `delay` host time from now.
    void Defer(LONGLONG delay, std::function<void()> action);

private:
    RootPort root_;
    std::vector<std::unique_ptr<Function>> functions_;
    Scheduler scheduler_{ExecutionMode::Threaded}; // destroyed before the functions its actions use
};

} // namespace sim::pci
