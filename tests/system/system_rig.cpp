#include "system_rig.h"

#include "doubles/modem_events.h"
#include "host_test.h"

#include <host/host.h>
#include <host/image.h>
#include <host/pool.h>

#include <algorithm>

namespace systemtest
{

void SystemRig::SetUp()
{
    doubles::Indications().clear();
}

void SystemRig::TearDown()
{
    Stop();
}

NTSTATUS SystemRig::Start(const sim::modem::BootScript& script, const sim::modem::ModemConfig& config)
{
    board_ = std::make_unique<sim::modem::BootBoard>(config, script);
    board_->boot.PowerOn();
    return StartDriver();
}

NTSTATUS SystemRig::StartDriver()
{
    driver_ = std::make_unique<taluvotest::GlueDriver>();
    driver_->id = mdm_pcie_bus_driver()->id_table[0];
    driver_->module_start = true;
    return taluvotest::GlueDriverStart(*driver_, board_->board.function);
}

NTSTATUS SystemRig::Replug()
{
    taluvotest::GlueDriverStop(*driver_);
    return StartDriver();
}

void SystemRig::Stop()
{
    if (driver_ == nullptr)
        return;
    taluvotest::GlueDriverStop(*driver_);
    board_->board.modem.Stop();
    board_.reset();
    driver_.reset();
    for (const host::PoolLeak& leak : host::PoolLeaks(host::ImageMain()))
        ADD_FAILURE() << "pool left: '" << host::PoolTagText(leak.tag) << "', " << leak.count << " blocks";
}

sim::modem::BootFirmware& SystemRig::Boot()
{
    return board_->boot;
}

sim::modem::Firmware& SystemRig::Firmware()
{
    return board_->firmware;
}

sim::modem::Modem& SystemRig::Modem()
{
    return board_->board.modem;
}

taluvotest::GlueDriver& SystemRig::Driver()
{
    return *driver_;
}

std::vector<std::string> SystemRig::Reports()
{
    return doubles::IndicationsCopy();
}

bool SystemRig::WaitReport(const std::string& text, LONGLONG limit, size_t count)
{
    return WaitFor(
        [&] {
            std::vector<std::string> reports = Reports();
            return static_cast<size_t>(std::count(reports.begin(), reports.end(), text)) >= count;
        },
        limit);
}

bool SystemRig::WaitFor(const std::function<bool()>& done, LONGLONG limit)
{
    return hosttest::WaitUntil(done, limit, sim::modem::Milliseconds(1));
}

} // namespace systemtest
