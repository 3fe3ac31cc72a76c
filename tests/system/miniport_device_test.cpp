// The miniport's own device add and callbacks on the simulated modem: the driver linked into the test
// takes the PCI function, starts the host interface and follows the modem to ready.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/loader.h>
#include <host/pnp.h>
#include <host/registry.h>
#include <host/image.h>
#include <host/trace.h>

#include "CurrentDevice.h"
#include "Driver.h"
#include "MbbDevice.h"
#include "ModemEventActions.h"
#include "Registry.h"
#include "host_test.h"
#include "sim/modem/boot.h"
#include "sim/pci/pnp.h"

#include <memory>

namespace
{

using sim::modem::Milliseconds;

constexpr std::u16string_view kService = u"TaluvoDevice";
constexpr std::u16string_view kInstance = u"PCI\\VEN_14C3&DEV_4D75\\4&1f0a7c2e&0&00E8";
constexpr LONGLONG kSecond = Milliseconds(1000);

class MiniportDevice : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        // The modem stops in its boot ROM for the download that flashing asks for.
        sim::modem::BootScript script;
        script.path = sim::modem::BootPath::BootRom;
        board_ = std::make_unique<sim::modem::BootBoard>(sim::modem::ModemConfig{}, script);
        board_->boot.PowerOn();
        host::DriverRegisterBuiltin(kService, DriverEntry);
        const std::vector<std::u16string> ids = sim::pci::HardwareIds(board_->board.function.Config());
        ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(ids.back(), kService));
    }
    void TearDown() override
    {
        if (host::PnpQueryState(kInstance) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
        }
        host::Quiesce();
        board_->board.modem.Stop();
        host::RegistrySetDword(MBB_FLASH_SERVICE_KEY, u"FlashingStatus", 0);
        board_.reset();
    }
    NTSTATUS Add()
    {
        return host::PnpAddDevice(sim::pci::PnpDevice(board_->board.function, std::u16string(kInstance)));
    }
    static PMBB_DEVICE_CONTEXT Current()
    {
        WDFDEVICE device = IpcGetCurrentDevice(nullptr);
        return device != nullptr ? GetMbbDeviceContext(device) : nullptr;
    }
    std::unique_ptr<sim::modem::BootBoard> board_;
};

// Flashing asks for a plain framework device: the modem stack starts for the boot-ROM download and
// the mobile-broadband class extension is never called.
TEST_F(MiniportDevice, FlashModeStartsTheModemStackWithoutTheClassExtension)
{
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(MBB_FLASH_SERVICE_KEY, u"FlashingStatus", 1));
    ASSERT_EQ(STATUS_SUCCESS, Add());
    EXPECT_FALSE(host::TraceFind("device started", host::ImageMain()).empty());
    ASSERT_NE(nullptr, Current());
    EXPECT_TRUE(Current()->IpcInUse);
    EXPECT_TRUE(Current()->IsFlashing);
    EXPECT_FALSE(Current()->MbbCxBound);
    EXPECT_TRUE(IpcGetBromDLFlag());
    EXPECT_EQ(1, ReadAcquire(&g_DriverContextMbb->DeviceCount));
    EXPECT_TRUE(hosttest::WaitUntil(
        [] { return Current() != nullptr && Current()->DeviceState == MBB_DEVICE_STATE_ROM_READY; }, 10 * kSecond,
        Milliseconds(1)));
}

} // namespace
