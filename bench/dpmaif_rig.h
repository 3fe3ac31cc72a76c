// The DPMAIF data path brought up for benchmarks, without a test framework: a framework device with a
// DMA enabler, the simulated modem (engine stepped by the caller) with its window mapped and translated,
// and an instance record whose rings, buffers and queues are made and started as the instance's start
// leaves them: both receive queues and every transmit queue enabled, the BATs lent to the engine.
#pragma once

#include <memory>

#include "dpmaif.h"
#include "dpmaif_measure.h"
#include "sim/modem/modem.h"

namespace dpmaifbench
{

class Rig
{
  public:
    Rig();
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    sim::modem::DpmaifEngine& Engine() { return board_.modem.Dpmaif(); }
    struct dpmaif_hif* Hif() { return hif_.get(); }

  private:
    sim::modem::Board board_;
    volatile ULONG* mac_ = nullptr;
    volatile u8* window_ = nullptr;
    struct device_node node_ = {};
    struct mdm_pci_dev dev_ = {};
    std::unique_ptr<struct dpmaif_hif> hif_;
};

} // namespace dpmaifbench
