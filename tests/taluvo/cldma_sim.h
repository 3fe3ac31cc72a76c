// The CLDMA code under test against the simulated modem: the modem window mapped as the driver maps it,
// with the translation programmed, and one hardware record per instance pointing into it. The engines
// are stepped by the test unless it asks for them on their own threads.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>

#include "cldma_reg.h"
#include "tests/sim/modem_host.h"

namespace cldmasim
{

using namespace sim::modem;

class ModemWindow
{
  public:
    explicit ModemWindow(sim::pci::ExecutionMode mode = sim::pci::ExecutionMode::Step)
        : board_(modemtest::Config(sim::pci::InterruptMode::Message, kMaxMessages, mode)),
          host_(board_)
    {
        host_.ProgramTranslation();
        PHYSICAL_ADDRESS address;
        address.QuadPart = static_cast<LONGLONG>(board_.function.BarAddress(kBarWindow));
        window_ = static_cast<volatile u8*>(MmMapIoSpaceEx(address, kModemWindowSize, PAGE_READWRITE | PAGE_NOCACHE));
        sap_ = Instance(CLDMA_HIF_SAP, kCldmaSapA, kCldmaSapB, kSourceCldmaSap);
        md_ = Instance(CLDMA_HIF_MD, kCldmaMdA, kCldmaMdB, kSourceCldmaMd);
    }
    ~ModemWindow() { MmUnmapIoSpace(const_cast<u8*>(window_), kModemWindowSize); }
    ModemWindow(const ModemWindow&) = delete;
    ModemWindow& operator=(const ModemWindow&) = delete;

    Modem& modem() { return board_.modem; }
    CldmaEngine& Engine(u32 hif_id) { return hif_id == CLDMA_HIF_MD ? modem().CldmaMd() : modem().CldmaSap(); }
    const cldma_hw_instance& Hw(u32 hif_id) const { return hif_id == CLDMA_HIF_MD ? md_ : sap_; }
    volatile u8* Infra() const { return window_ + kInfraOffset; }
    // The modem window as mapped: modem address kModemWindowBase + n is window + n.
    volatile u8* Window() const { return window_; }

  private:
    cldma_hw_instance Instance(u32 hif_id, ULONG64 a, ULONG64 b, u32 source) const
    {
        cldma_hw_instance hw = {};
        hw.hif_id = hif_id;
        hw.addr_mode = 3;
        hw.base_a = window_ + a;
        hw.base_b = window_ + b;
        hw.modem_addr_a = static_cast<u32>(kModemWindowBase + a);
        hw.modem_addr_b = static_cast<u32>(kModemWindowBase + b);
        hw.irq_source = source;
        return hw;
    }

    Board board_;
    modemtest::Host host_;
    volatile u8* window_ = nullptr;
    cldma_hw_instance sap_ = {};
    cldma_hw_instance md_ = {};
};

} // namespace cldmasim
