// The modem host interface as the system runs it: the simulated modem, booting by its firmware script,
// plugged into the simulated PCI bus; a test driver loaded on it that plays only the device callbacks
// and goes through the real IPC glue (start, then the hardware preparation that probes the modem). A
// test that includes the report recorder (doubles/modem_events.h) sees the state machine's reports
// instead of the miniport. Each test ends with the device removed (which ends the module) and the
// pool empty.
#pragma once

#include <gtest/gtest.h>

#include "glue_driver.h"
#include "sim/modem/boot.h"

#include <memory>
#include <string>
#include <vector>

namespace systemtest
{

class SystemRig : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

  public:
    // Plugs a modem that boots by `script`, powers it on and starts the driver on it; the add's status.
    NTSTATUS Start(const sim::modem::BootScript& script = {}, const sim::modem::ModemConfig& config = {});
    // Removes the device and adds it again on the same modem, as a reset of the function does.
    NTSTATUS Replug();
    // Removes the device and stops the modem; the pool must be empty then.
    void Stop();

    sim::modem::BootFirmware& Boot();
    sim::modem::Firmware& Firmware();
    sim::modem::Modem& Modem();
    taluvotest::GlueDriver& Driver();

    // The reports so far, in order (with the report recorder).
    static std::vector<std::string> Reports();
    // Host time passes until `text` was reported `count` times (at most `limit` of it).
    static bool WaitReport(const std::string& text, LONGLONG limit, size_t count = 1);
    static bool WaitFor(const std::function<bool()>& done, LONGLONG limit);

  private:
    NTSTATUS StartDriver();

    std::unique_ptr<sim::modem::BootBoard> board_;
    std::unique_ptr<taluvotest::GlueDriver> driver_;
};

} // namespace systemtest
