// The modem's boot firmware: what the modem does from power-up until its cores talk to the host, and
// when it fails or resets. It drives the boot status (MAC 0xD1C) and the modem-to-host doorbells,
// answers the host's doorbells, and uses the channel firmware (Firmware) for every frame: the
// handshake's answers, the boot ROM's raw bytes, the dump port and the exception's control messages.
//
// Scripts:
// - normal: status low half 0, then 0x0004 | reason << 12 with doorbells 5, 15 and 16 rung together; each
//   core's feature set is answered (the port enumeration in its own feature's entry) and the host's
//   540-byte runtime-feature reply ends that core's handshake;
// - boot ROM: 0x0041 and doorbell 5; once the host's download handshake bytes A0 0A 50 05 D6 came as raw
//   frames on the SAP core's transmit queue 0, on to the normal stage, or held in sub-stage 3 (0x0031);
// - dump: 0x0103 and doorbell 5; the SAP core's queue 1 ("ttyDUMP") is raw and each frame the host sends
//   there is answered with the script's dump bytes;
// - an exception, a reset interrupt of each type, the host's stop doorbell;
// - faults: silent, wrong or short handshake answers, a stage that never changes, the link down.
//
// Timed steps run on the modem's scheduler, `stageDelay` apart; a new power-on drops the steps of the
// one before. Doorbells and frames are heard on the modem's and the engines' contexts, never holding a
// lock of this model while calling the modem or the firmware.
#pragma once

#include <ntdef.h>

#include <wdm.h>

#include <functional>
#include <mutex>
#include <vector>

#include "sim/modem/firmware.h"
#include "sim/modem/modem.h"

namespace sim::modem {

namespace boot {
// The boot status's low half at each stage of the scripts.
inline constexpr ULONG kStatusNormal = kStageNormal;                              // 0x0004
inline constexpr ULONG kStatusBootRom = kStageBootRom | BootRomSubstage(4);       // 0x0041
inline constexpr ULONG kStatusDownloading = kStageBootRom | BootRomSubstage(3);   // 0x0031
inline constexpr ULONG kStatusDump = kStageDump | DumpSubstage(1);               // 0x0103
inline constexpr ULONG kStatusLowHalf = 0xFFFF;
// What the host sends the boot ROM before it goes on, one byte per frame.
inline constexpr UCHAR kDownloadHandshake[] = {0xA0, 0x0A, 0x50, 0x05, 0xD6};
inline constexpr size_t kMaxExceptionRecord = 2048;
// The faulty answers: the head marker byte-swapped; a record cut inside its features, before the
// tail marker.
inline constexpr ULONG kWrongMarker = 0x43434349;
inline constexpr size_t kShortAnswerSize = 40;
} // namespace boot

enum class BootPath { Normal, BootRom, Dump };

enum class BootFault {
    None,
    Silent,      // boots to the normal stage and rings the handshake doorbells, never answers the host's
                 // feature set
    WrongAnswer, // answers the feature set with a wrong marker
    ShortAnswer, // answers with a record shorter than its header/markers need
    StuckStage,  // the boot status stays at `stuckStatus` for good
    LinkDown,    // the link goes down once the boot starts
};

struct BootScript {
    BootPath path = BootPath::Normal;
    ULONG reason = 0;              // boot reason (0, 1, 2 or 14), status bits 12-15
    bool holdDownload = false;     // boot ROM: after the host's download bytes, stay in sub-stage 3
    LONGLONG stageDelay = Milliseconds(10); // host time between the boot's steps
    BootFault fault = BootFault::None;
    ULONG stuckStatus = 0;         // its low half is the boot status
    bool rebootAfterReset = true;  // after the host acknowledges a reset interrupt, boot again
    std::vector<UCHAR> dump;       // dump stage: the answer to each frame on "ttyDUMP" (none: silent)
};

class BootFirmware {
public:
    // Takes the modem's doorbell, reset and power-up handlers and the firmware's frame listener. The
    // modem's scheduler must be stopped (or no longer stepped) before this goes.
    BootFirmware(Modem& modem, Firmware& firmware, const BootScript& script = {});
    ~BootFirmware();
    BootFirmware(const BootFirmware&) = delete;
    BootFirmware& operator=(const BootFirmware&) = delete;

    // For the next power-on; sets both cores' handshake answers for the script's fault (the firmware's
    // SetHandshakeAnswer after this overrides them).
    void SetScript(const BootScript& script);
    // Runs the script from the start (status low half 0, then the path's stage with its doorbells): the
    // test calls it once the modem is plugged (before or after the driver loads: what the modem
    // announces is latched). Also run by itself after a reset the host acknowledged (rebootAfterReset),
    // after a reset of the function and when power returns after D3cold.
    void PowerOn();
    // Lets a boot-ROM boot (held in sub-stage 3, or still waiting in sub-stage 4) go on to the normal
    // stage.
    void FinishDownload();
    // The exception flow: ring bit 1; after host doorbell 1: ring bit 2, send control 4 ('EXCP'
    // 0x45584350, expect the echo), one stage delay later 6 ('EREC' 0x45524543 + `record`, at most 2048
    // bytes) and 8, and ring bit 3 by itself; after host doorbell 2: ring bit 4.
    void RaiseException(std::vector<UCHAR> record = {});
    // Sets status bits 26-27 to `type` (0-3) and raises interrupt source 6.
    void RaiseReset(ULONG type);

    // Observations (thread-safe): the boot status (the modem's bits), the host's download bytes (raw
    // frames on the SAP core's transmit queue 0 in the boot-ROM stage), whether each core's handshake
    // finished (the host's 540-byte reply received), the host's echo of 'EXCP' seen, the exception pass
    // done (bit 4 rung), the host's stop doorbell (13) seen, reset acknowledgements seen. A power-on
    // clears all but the stop doorbell and the acknowledgements.
    ULONG Status() const;
    std::vector<UCHAR> DownloadBytes() const;
    bool HandshakeDone(ccci::Core core) const;
    bool ExceptionEchoed() const;
    bool ExceptionPassDone() const;
    bool StopSeen() const;
    ULONG ResetAcknowledgements() const;

    // Host waits (virtual clock) until `done` holds, at most `timeout`; re-checked whenever anything
    // above may have changed. One waiting thread at a time (a second may miss a change until its
    // time-out).
    bool Wait(const std::function<bool()>& done, LONGLONG timeout);

private:
    enum class Phase { Off, Starting, BootRom, Downloading, Dump, Normal, Stuck, LinkDown };
    enum class Exception { None, Raised, Announced, Passing };
    using Step = void (BootFirmware::*)();

    // Runs `step` `delay` from now unless another power-on came first.
    void Later(ULONG64 generation, LONGLONG delay, Step step);
    void Announce();
    void EnterNormal();
    void SendRecord();
    // Enters a stage: the status's low half becomes `status` (the reset type kept), `doorbells` ring.
    void EnterStage(ULONG status, ULONG doorbells);
    // Another boot begins on the modem's scheduler; what the last one scheduled is dropped now.
    void Reboot();

    void OnDoorbell(ULONG doorbell);
    void OnFrame(const HostFrame& frame);
    void Changed() { KeSetEvent(&changed_, IO_NO_INCREMENT, FALSE); }

    Modem& modem_;
    Firmware& firmware_;
    KEVENT changed_;

    mutable std::mutex lock_;
    BootScript script_;
    ULONG64 generation_ = 0;
    Phase phase_ = Phase::Off;
    bool linkTaken_ = false; // the link went down by this model's script
    std::vector<UCHAR> download_;
    Exception exception_ = Exception::None;
    std::vector<UCHAR> record_;
    bool echoed_ = false;
    bool passDone_ = false;
    bool stopSeen_ = false;
};

// The modem with its firmware and boot firmware, alone on a bus (as Board); the modem stops first.
struct BootBoard {
    explicit BootBoard(const ModemConfig& config = {}, const BootScript& script = {});
    ~BootBoard() { board.modem.Stop(); }

    Board board;
    Firmware firmware;
    BootFirmware boot;
};

} // namespace sim::modem
