#include "sim/modem/boot.h"

#include <host/host.h>

#include <algorithm>

namespace sim::modem {

using namespace boot;
using ccci::Core;

namespace {

ccci::HandshakeAnswer FaultyAnswer(Core core, BootFault fault)
{
    ccci::HandshakeAnswer answer = ccci::DefaultHandshakeAnswer(core);
    if (fault == BootFault::WrongAnswer)
        answer.head = kWrongMarker;
    else if (fault == BootFault::ShortAnswer)
        answer.size = kShortAnswerSize;
    return answer;
}

} // namespace

BootFirmware::BootFirmware(Modem& modem, Firmware& firmware, const BootScript& script)
    : modem_(modem), firmware_(firmware)
{
    KeInitializeEvent(&changed_, SynchronizationEvent, FALSE);
    SetScript(script);
    modem_.SetDoorbellHandler([this](ULONG doorbell) { OnDoorbell(doorbell); });
    modem_.SetResetHandler([this] {
        bool reboot;
        {
            std::lock_guard<std::mutex> guard(lock_);
            reboot = script_.rebootAfterReset;
        }
        if (reboot)
            Reboot();
        Changed();
    });
    modem_.SetPowerUpHandler([this] { Reboot(); });
    firmware_.SetFrameListener([this](const HostFrame& frame) { OnFrame(frame); });
}

BootFirmware::~BootFirmware()
{
    firmware_.SetFrameListener({});
    modem_.SetPowerUpHandler({});
    modem_.SetResetHandler({});
    modem_.SetDoorbellHandler({});
}

void BootFirmware::SetScript(const BootScript& script)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        script_ = script;
    }
    for (Core core : {Core::Md, Core::Sap}) {
        if (script.fault == BootFault::Silent)
            firmware_.SetHandshakeAnswer(core, std::nullopt);
        else
            firmware_.SetHandshakeAnswer(core, FaultyAnswer(core, script.fault));
    }
}

// ---------------------------------------------------------------------------------------------
// The boot.
void BootFirmware::PowerOn()
{
    ULONG64 generation;
    BootScript script;
    bool restoreLink;
    {
        std::lock_guard<std::mutex> guard(lock_);
        generation = ++generation_;
        script = script_;
        phase_ = script.fault == BootFault::LinkDown ? Phase::LinkDown : Phase::Starting;
        restoreLink = linkTaken_ && script.fault != BootFault::LinkDown;
        linkTaken_ = script.fault == BootFault::LinkDown;
        download_.clear();
        exception_ = Exception::None;
        record_.clear();
        echoed_ = false;
        passDone_ = false;
    }
    firmware_.PowerOn();
    modem_.SetBootStatus(0, kStatusLowHalf);
    if (script.fault == BootFault::LinkDown) {
        modem_.SetLinkDown(true);
    } else {
        if (restoreLink)
            modem_.SetLinkDown(false);
        Later(generation, script.stageDelay, &BootFirmware::Announce);
    }
    Changed();
}

void BootFirmware::Reboot()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        generation_++;
    }
    modem_.Scheduler().After(0, [this] { PowerOn(); });
}

void BootFirmware::Later(ULONG64 generation, LONGLONG delay, Step step)
{
    modem_.Scheduler().After(delay, [this, generation, step] {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (generation != generation_)
                return;
        }
        (this->*step)();
        Changed();
    });
}

void BootFirmware::EnterStage(ULONG status, ULONG doorbells)
{
    const ULONG resetType = modem_.MacRegister(mac::kBootStatus) & kResetTypeMask;
    firmware_.EnterStage(resetType | (status & kStatusLowHalf), doorbells);
}

void BootFirmware::Announce()
{
    BootScript script;
    {
        std::lock_guard<std::mutex> guard(lock_);
        script = script_;
        if (script.fault == BootFault::StuckStage)
            phase_ = Phase::Stuck;
        else if (script.path == BootPath::BootRom)
            phase_ = Phase::BootRom;
        else if (script.path == BootPath::Dump)
            phase_ = Phase::Dump;
    }
    if (script.fault == BootFault::StuckStage)
        EnterStage(script.stuckStatus, kDoorbellReady);
    else if (script.path == BootPath::BootRom)
        EnterStage(kStatusBootRom | Reason(script.reason), kDoorbellReady);
    else if (script.path == BootPath::Dump)
        EnterStage(kStatusDump | Reason(script.reason), kDoorbellReady);
    else
        EnterNormal();
}

void BootFirmware::EnterNormal()
{
    ULONG reason;
    {
        std::lock_guard<std::mutex> guard(lock_);
        phase_ = Phase::Normal;
        reason = script_.reason;
    }
    EnterStage(kStatusNormal | Reason(reason), kDoorbellReady | kDoorbellSapHandshake | kDoorbellMdHandshake);
}

void BootFirmware::FinishDownload()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (phase_ != Phase::BootRom && phase_ != Phase::Downloading)
            return;
        generation_++; // a step on its way to the normal stage is not needed any more
    }
    EnterNormal();
    Changed();
}

// ---------------------------------------------------------------------------------------------
// Exceptions and resets.
void BootFirmware::RaiseException(std::vector<UCHAR> record)
{
    record.resize(std::min(record.size(), kMaxExceptionRecord));
    {
        std::lock_guard<std::mutex> guard(lock_);
        exception_ = Exception::Raised;
        record_ = std::move(record);
        echoed_ = false;
        passDone_ = false;
    }
    firmware_.RaiseException();
    Changed();
}

void BootFirmware::SendRecord()
{
    std::vector<UCHAR> record;
    {
        std::lock_guard<std::mutex> guard(lock_);
        record = record_;
    }
    firmware_.SendControl(ccci::kCtrlHostRx, ccci::kCtrlExceptionRecord, ccci::kRecordMagic, record);
    firmware_.SendControl(ccci::kCtrlHostRx, ccci::kCtrlExceptionPass, 0);
    firmware_.AcknowledgeExceptionStage(2);
}

void BootFirmware::RaiseReset(ULONG type)
{
    modem_.SetBootStatus(ResetType(type), kResetTypeMask);
    modem_.AssertReset();
    Changed();
}

// ---------------------------------------------------------------------------------------------
// What the host does.
void BootFirmware::OnDoorbell(ULONG doorbell)
{
    bool announce = false, pass = false;
    ULONG64 generation;
    LONGLONG delay;
    {
        std::lock_guard<std::mutex> guard(lock_);
        generation = generation_;
        delay = script_.stageDelay;
        if (doorbell == kHostExceptionStage0 && exception_ == Exception::Raised) {
            exception_ = Exception::Announced;
            announce = true;
        } else if (doorbell == kHostExceptionStage3 && exception_ == Exception::Announced) {
            exception_ = Exception::Passing; // a repeated stage 3 is not acknowledged twice
            pass = true;
        } else if (doorbell == kHostStop) {
            stopSeen_ = true;
        }
    }
    if (announce) {
        firmware_.AcknowledgeExceptionStage(0);
        firmware_.SendControl(ccci::kCtrlHostRx, ccci::kCtrlExceptionAnnounce, ccci::kExceptionMagic);
        Later(generation, delay, &BootFirmware::SendRecord);
    }
    if (pass) {
        firmware_.AcknowledgeExceptionStage(3);
        // Done only once the acknowledgement is out, so a watcher of the flag sees the doorbell too.
        std::lock_guard<std::mutex> guard(lock_);
        passDone_ = true;
    }
    Changed();
}

void BootFirmware::OnFrame(const HostFrame& frame)
{
    bool onward = false, hold = false;
    std::vector<UCHAR> dump;
    ULONG64 generation;
    LONGLONG delay;
    ULONG reason;
    {
        std::lock_guard<std::mutex> guard(lock_);
        generation = generation_;
        delay = script_.stageDelay;
        reason = script_.reason;
        const bool raw = frame.kind == FrameKind::Raw && frame.core == Core::Sap;
        if (raw && frame.queue == ccci::kBootPorts[0].txq && (phase_ == Phase::BootRom || phase_ == Phase::Downloading)) {
            download_.insert(download_.end(), frame.data.begin(), frame.data.end());
            constexpr size_t kSize = std::size(kDownloadHandshake);
            if (phase_ == Phase::BootRom && download_.size() >= kSize &&
                std::equal(kDownloadHandshake, kDownloadHandshake + kSize, download_.begin())) {
                phase_ = Phase::Downloading;
                hold = script_.holdDownload;
                onward = !hold;
            }
        } else if (raw && frame.queue == ccci::kBootPorts[1].txq && phase_ == Phase::Dump) {
            dump = script_.dump;
        } else if (frame.kind == FrameKind::Control && frame.header.channel == ccci::kCtrlHostTx &&
                   frame.id == ccci::kCtrlExceptionAnnounce && frame.argument == ccci::kExceptionMagic &&
                   exception_ != Exception::None) {
            echoed_ = true;
        }
    }
    if (hold)
        modem_.SetBootStatus(kStatusDownloading | Reason(reason), kStatusLowHalf);
    if (onward)
        Later(generation, delay, &BootFirmware::EnterNormal);
    if (!dump.empty())
        firmware_.SendRaw(ccci::kBootPorts[1].rxq, dump);
    Changed();
}

// ---------------------------------------------------------------------------------------------
// Observations.
ULONG BootFirmware::Status() const { return modem_.MacRegister(mac::kBootStatus) & ~mac::kBootStatusHostMark; }

std::vector<UCHAR> BootFirmware::DownloadBytes() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return download_;
}

bool BootFirmware::HandshakeDone(Core core) const
{
    std::optional<std::vector<UCHAR>> reply = firmware_.RuntimeReply(core);
    return reply && reply->size() == ccci::kRuntimeReplySize - ccci::kControlFrameSize;
}

bool BootFirmware::ExceptionEchoed() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return echoed_;
}

bool BootFirmware::ExceptionPassDone() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return passDone_;
}

bool BootFirmware::StopSeen() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return stopSeen_;
}

ULONG BootFirmware::ResetAcknowledgements() const { return modem_.ResetAcknowledgements(); }

bool BootFirmware::Wait(const std::function<bool()>& done, LONGLONG timeout)
{
    const LONGLONG deadline = host::ClockNow() + timeout;
    while (!done()) {
        const LONGLONG left = deadline - host::ClockNow();
        if (left <= 0)
            return done();
        LARGE_INTEGER due;
        due.QuadPart = -left;
        KeWaitForSingleObject(&changed_, Executive, KernelMode, FALSE, &due);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
BootBoard::BootBoard(const ModemConfig& config, const BootScript& script)
    : board(config), firmware(board.modem), boot(board.modem, firmware, script)
{
}

} // namespace sim::modem
