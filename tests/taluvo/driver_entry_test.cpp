// DriverEntry and unload: the framework driver with its context, loaded as the PnP manager loads the
// image and as a driver linked into the test.
#include "host_test.h"

#include <gtest/gtest.h>

#include <host/image.h>
#include <host/loader.h>
#include <host/pnp.h>
#include <host/registry.h>
#include <host/trace.h>

#include "Driver.h"

namespace
{

constexpr std::u16string_view kService = u"Taluvo";

std::u16string ServiceKey(std::u16string_view service)
{
    return std::u16string(host::kServicesKey) + u"\\" + std::u16string(service);
}

TEST(DriverEntryTest, TheImageLoadsAsAFrameworkDriverAndUnloadsLeavingNothing)
{
    std::string image = WWAN_TALUVO_IMAGE;
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetString(ServiceKey(kService), u"ImagePath",
                                                      std::u16string(image.begin(), image.end())));
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, host::DriverLoad(kService, &driver));
    ASSERT_NE(nullptr, driver);
    EXPECT_NE(nullptr, driver->DriverExtension->AddDevice); // it takes PnP devices
    host::Image* loaded = host::DriverImage(driver);
    EXPECT_TRUE(host::TraceWppActive(loaded));
    EXPECT_FALSE(host::TraceFind("driver version 2.200.358.0", loaded).empty());

    EXPECT_EQ(0, host::DriverUnload(kService)); // no pool, thread, timer or work item left
    EXPECT_EQ(nullptr, host::DriverFind(kService));
    EXPECT_FALSE(host::TraceWppActive(loaded));
    EXPECT_FALSE(host::TraceFind("unload", loaded).empty());
}

class LinkedDriverTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        host::DriverRegisterBuiltin(u"TaluvoLinked", DriverEntry);
        ASSERT_EQ(STATUS_SUCCESS, host::DriverLoad(u"TaluvoLinked", &driver_));
    }
    void TearDown() override
    {
        if (host::DriverFind(u"TaluvoLinked") != nullptr)
            host::DriverUnload(u"TaluvoLinked");
    }
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(LinkedDriverTest, TheContextIsReachableUntilTheDriverGoes)
{
    ASSERT_NE(nullptr, g_DriverContextMbb);
    EXPECT_EQ(WdfGetDriver(), g_DriverContextMbb->Driver);
    EXPECT_EQ(0, ReadAcquire(&g_DriverContextMbb->DeviceCount));
    EXPECT_EQ(0, host::DriverUnload(u"TaluvoLinked"));
    EXPECT_EQ(nullptr, g_DriverContextMbb);
}

TEST_F(LinkedDriverTest, DevicesGoToTheModemDeviceAdd)
{
    ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(u"TEST\\TALUVO_LINKED", u"TaluvoLinked"));
    host::PnpAddDevice({u"TEST\\TALUVO_LINKED\\0", {u"TEST\\TALUVO_LINKED"}, {}});
    EXPECT_FALSE(host::TraceFind("device add: 1 modem device(s)", host::ImageMain()).empty());
}

TEST_F(LinkedDriverTest, AFailedCreationReturnsItsStatusAndStopsTracing)
{
    // The framework allows one driver per image, so a second entry fails its creation.
    UNICODE_STRING path =
        RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TaluvoLinked");
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, DriverEntry(driver_, &path));
    EXPECT_FALSE(host::TraceWppActive(host::ImageMain()));
}

} // namespace
