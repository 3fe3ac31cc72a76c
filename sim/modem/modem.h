// The simulated modem's PCIe side: a function on the simulated PCI bus with the MAC in its first memory
// window and 4 MiB of modem addresses, reached through the MAC's address translation, in its second.
// The window routes the host's accesses to the register blocks mapped into it (the doorbell block is
// the modem's own; the DMA engines map theirs), the MAC raises their interrupt sources to the host, and
// the modem's DMA reaches host memory through the translation's outbound entries.
//
// The power responder answers the host's side of the sleep protocol: a resource request (0xE50 bit 1 or
// 0x348 bit 7) is granted (0xD28 reads 0x1F) after a short delay and doorbell 3 is answered with
// modem-to-host doorbell 0 once granted; suspend doorbells 9 and 11 after a suspend message are
// acknowledged with doorbells 11 and 13, resume doorbells 10 and 12 after a resume message with 12 and
// 14. Tests make it slow or silent, take the link down, and set what the modem shows (resume state,
// boot status, link status).
//
// The reset unit's interrupt register (kRguOffset of the window) holds source 6 while a reset interrupt
// waits; the host acknowledges it by writing back what it read.
//
// Register handlers run on the driver's thread and never block on the host; timed answers run on the
// modem's scheduler (its own thread, or the test's steps). Interrupts are published with no state lock
// held, in the order the state changed.
#pragma once

#include <ntdef.h>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/modem/address_map.h"
#include "sim/modem/block.h"
#include "sim/modem/cldma.h"
#include "sim/modem/doorbells.h"
#include "sim/modem/dpmaif.h"
#include "sim/modem/write_log.h"
#include "sim/modem/mac.h"
#include "sim/pci/bus.h"
#include "sim/pci/scheduler.h"

namespace sim::modem {

inline constexpr USHORT kVendorId = 0x14C3;
inline constexpr USHORT kDeviceId = 0x4D75;
inline constexpr ULONG kClassCode = 0x0D4000; // wireless controller, cellular
inline constexpr ULONG64 kMacWindowSize = 0x8000;
inline constexpr ULONG kMsixTableOffset = 0x4000; // in the MAC's window, above its registers
inline constexpr ULONG kMsixPbaOffset = 0x5000;
inline constexpr ULONG kMaxMessages = 32;

// Host time (100 ns units).
constexpr LONGLONG Milliseconds(LONGLONG ms) { return ms * 10000; }

struct Timing {
    LONGLONG grant = Milliseconds(1);  // resource request to grant
    LONGLONG answer = Milliseconds(1); // power doorbell to its acknowledgement
    LONGLONG slowGrant = Milliseconds(20);    // slow: past the host's 10 ms grant poll
    LONGLONG slowAnswer = Milliseconds(2000); // slow: past the host's 1500 ms handshake waits
};

enum class PowerMode {
    Normal,
    Slow,   // grants and acknowledgements come late
    Silent, // nothing is granted, acknowledged or consumed
};

struct ModemConfig {
    USHORT deviceId = kDeviceId;
    USHORT subsystemVendorId = kVendorId; // configuration offset 0x2C at power-on
    ULONG windows = 3; // memory windows: 2 (MAC, modem window), 3 (and a spare one), or 4
    pci::InterruptMode interrupts = pci::InterruptMode::Message;
    ULONG messages = kMaxMessages; // message mode: 1 to 32
    pci::ExecutionMode execution = pci::ExecutionMode::Threaded;
    Timing timing;
    size_t writeLogCapacity = 4096; // the most recent writes kept
};

// The modem's function, and the root port above it (its AER capability after its other extended
// capabilities, so not at 0x100).
pci::FunctionConfig FunctionConfig(const ModemConfig& config);
pci::RootPortConfig RootPortConfig();

// A register write as the host made it: memory window `bar`, offset from the window's start.
struct RegisterWrite {
    ULONG bar = 0;
    ULONG64 offset = 0;
    ULONG value = 0;
    bool operator==(const RegisterWrite&) const = default;
};

class Modem : public pci::DeviceModel, public InterruptSink, public DmaPort {
public:
    explicit Modem(const ModemConfig& config = {});
    ~Modem() override;
    Modem(const Modem&) = delete;
    Modem& operator=(const Modem&) = delete;

    // Plugs the modem into `bus`; once.
    pci::Function& Plug(pci::Bus& bus);
    // Ends the modem's timed activity and its engines'; before the bus it is plugged into goes.
    void Stop();
    pci::Function& Function() const { return *function_; }
    // Step mode: the test runs the modem's due answers with Step().
    pci::Scheduler& Scheduler() { return scheduler_; }
    const ModemConfig& Config() const { return config_; }

    // The modem window: `block` serves [offset, offset + size) of the window's 4 MiB, before any block
    // mapped there earlier (a test may stand its own block in for a built-in one). Set-up only.
    void MapBlock(ULONG64 offset, ULONG64 size, RegisterBlock& block);

    // The two CLDMA engines behind the window (SAP on source 1, MD on source 2); they lose their
    // configuration with the modem's power. They run in the modem's execution mode.
    CldmaEngine& CldmaSap() { return cldmaSap_; }
    CldmaEngine& CldmaMd() { return cldmaMd_; }
    // The DPMAIF engine behind the window (sources 0 and 5); it loses its configuration with the power.
    DpmaifEngine& Dpmaif() { return dpmaif_; }
    // Called, with no modem lock held, after the modem lost power (D3cold) or was reset, so that the
    // blocks behind the window lose their state too. Set-up only.
    void OnPowerLoss(std::function<void()> listener);

    // The MAC's interrupt sources (source 4 is the doorbell block's own, source 6 the reset unit's).
    void SetSourceLevel(ULONG source, bool asserted) override;
    // Latches status bits (groups 16-23, bits 0-7, any source) until the host clears them.
    void RaiseStatus(ULONG bits);
    // A MAC register as the MAC holds it, without side effects, link or not.
    ULONG MacRegister(ULONG offset) const;
    // Sets a register as the modem's logic does: the ones the host only reads (0xBC, 0x150, 0xD0C) or
    // the boot status 0xD1C.
    void SetMacRegister(ULONG offset, ULONG value);
    // The boot status 0xD1C as the modem sets it: the bits of `mask` from `status`; the host's mark
    // (bits 28-31) is never changed.
    void SetBootStatus(ULONG status, ULONG mask = ~mac::kBootStatusHostMark);
    // Status bits that became pending on a message the function does not have.
    ULONG64 LostMessages() const;

    // The modem's DMA, through the translation's outbound entries; false when no entry covers the range,
    // the link is down or the host refuses it.
    bool DmaRead(ULONG64 address, void* buffer, SIZE_T length) override;
    bool DmaWrite(ULONG64 address, const void* data, SIZE_T length) override;

    // Doorbells. RingHost sets modem-to-host status bits. The handler hears each host-to-modem doorbell
    // once the modem has taken it (after the responder's own reaction), on the modem's scheduler.
    void RingHost(ULONG bits);
    ULONG DoorbellRegister(ULONG offset) const;
    void SetDoorbellHandler(std::function<void(ULONG doorbell)> handler);
    // The host-to-modem doorbells the modem has seen, in order, even while silent.
    std::vector<ULONG> DoorbellsRung() const;
    void ClearDoorbellsRung();

    // The reset interrupt: the reset unit's register (kRguOffset of the window) reads kRguResetPending
    // and MAC source 6 is held until the host writes the value back. The handler hears of each such
    // acknowledgement, with no modem lock held, on the host's thread (it must not block).
    void AssertReset();
    void SetResetHandler(std::function<void()> acknowledged);
    ULONG ResetAcknowledgements() const;
    // Called, with no modem lock held, when the modem powers up again: after a reset of the function
    // and when D0 returns after D3cold. Set-up only.
    void SetPowerUpHandler(std::function<void()> handler);

    // The subsystem vendor id at configuration offset 0x2C from now on, resets included.
    void SetSubsystemVendorId(USHORT id);

    void SetPowerMode(PowerMode mode);
    // Link down: every register of the function reads all ones and writes are lost.
    void SetLinkDown(bool down);

    std::vector<RegisterWrite> Writes() const;
    void ClearWrites();

    // DeviceModel.
    void Attach(pci::Function& function) override { function_ = &function; }
    ULONG64 ReadRegister(ULONG bar, ULONG64 offset, ULONG width) override;
    void WriteRegister(ULONG bar, ULONG64 offset, ULONG width, ULONG64 value) override;
    void Reset(pci::ResetKind kind) override;
    void PowerChanged(pci::PowerState previous, pci::PowerState state) override;

private:
    struct Mapping {
        ULONG64 offset;
        ULONG64 size;
        RegisterBlock* block;
    };
    // The doorbell block as the window reaches it.
    class DoorbellBlock : public RegisterBlock {
    public:
        explicit DoorbellBlock(Modem& modem) : modem_(modem) {}
        ULONG Read(ULONG64 offset) override;
        void Write(ULONG64 offset, ULONG value) override;

    private:
        Modem& modem_;
    };
    // The reset unit's one register the host touches.
    class ResetBlock : public RegisterBlock {
    public:
        explicit ResetBlock(Modem& modem) : modem_(modem) {}
        ULONG Read(ULONG64 offset) override;
        void Write(ULONG64 offset, ULONG value) override;

    private:
        Modem& modem_;
    };

    ULONG ReadDword(ULONG bar, ULONG64 offset);
    void WriteDword(ULONG bar, ULONG64 offset, ULONG value);
    // The block behind window address `offset` of BAR `bar`; none when the translation has no entry
    // for it (reads all ones) or nothing is mapped there (reads 0).
    RegisterBlock* RouteLocked(ULONG bar, ULONG64 offset, ULONG64* at, bool* translated) const;
    // The host address the modem's DMA to [address, address + length) reaches.
    std::optional<ULONG64> Outbound(ULONG64 address, SIZE_T length) const;

    // Runs `change` under the state lock, then publishes the interrupts it causes.
    template <class Change> void Update(Change&& change);
    void Publish(const Delivery& delivery);
    Delivery EvaluateLocked();

    // The power responder.
    void ResourceChangedLocked();
    void Grant(ULONG64 generation);
    void Arrive(ULONG doorbells, ULONG64 epoch);
    void AnswerLocked(ULONG doorbell);
    void AnswerLater(ULONG doorbell, LONGLONG delay);
    LONGLONG DelayLocked(LONGLONG normal, LONGLONG slow) const;
    void PowerLoss();
    void PowerUp();

    const ModemConfig config_;
    pci::Function* function_ = nullptr;
    std::vector<Mapping> mappings_;
    std::vector<std::function<void()>> powerLoss_;
    DoorbellBlock doorbellBlock_{*this};
    ResetBlock resetBlock_{*this};
    std::function<void()> powerUp_;
    std::optional<USHORT> subsystemVendorId_;

    std::mutex publish_; // orders publications as the state changed; taken before lock_
    bool line_ = false;  // the level last published

    mutable std::mutex lock_;
    Mac mac_;
    Doorbells doorbells_;
    bool linkDown_ = false;
    PowerMode mode_ = PowerMode::Normal;
    ULONG64 epoch_ = 0;       // bumped by a power loss: answers scheduled before it are dropped
    ULONG64 grantGeneration_ = 0; // bumped when the request drops: a grant on its way is dropped
    bool grantScheduled_ = false;
    bool grantAnswer_ = false; // doorbell 3 waits for the grant
    std::vector<ULONG> rung_;
    std::function<void(ULONG)> handler_;
    ULONG reset_ = 0; // the reset unit's register
    ULONG resetAcknowledgements_ = 0;
    std::function<void()> resetHandler_;
    WriteLog<RegisterWrite> log_; // writeLogCapacity entries

    pci::Scheduler scheduler_; // stopped before the state its actions use goes

    // Last: their DMA and interrupts reach the state above, so they go first.
    CldmaEngine cldmaSap_;
    CldmaEngine cldmaMd_;
    DpmaifEngine dpmaif_;
};

// The modem alone on a bus, below its root port; the modem stops before the bus goes.
struct Board {
    explicit Board(const ModemConfig& config = {}, const pci::RootPortConfig& root = RootPortConfig());
    ~Board() { modem.Stop(); }

    Modem modem;
    pci::Bus bus;
    pci::Function& function;
};

} // namespace sim::modem
