// The driver loader and the unload checks, power-setting callbacks and system work items on a device.
#include "fxstack.h"

#include "host_test.h"

#include <host/pool.h>

namespace
{

using namespace fxtest;

using LoaderTest = StackTest;

TEST_F(LoaderTest, ServicesThatCannotLoadGetTheirStatus)
{
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, host::DriverLoad(u"NoSuchService", &driver));
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, host::DriverLoad(u"", &driver));
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, host::DriverLoad(u"Bad\\Name", &driver));
    std::u16string key = std::u16string(host::kServicesKey) + u"\\Broken";
    ASSERT_EQ(STATUS_SUCCESS, host::RegistryCreateKey(key));
    EXPECT_EQ(STATUS_INVALID_IMAGE_FORMAT, host::DriverLoad(u"Broken", &driver));
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetString(key, u"ImagePath", u"/nonexistent/driver.so"));
    EXPECT_EQ(STATUS_INVALID_IMAGE_FORMAT, host::DriverLoad(u"Broken", &driver));
    EXPECT_EQ(nullptr, driver);
    EXPECT_EQ(-1, host::DriverUnload(u"Broken"));
}

TEST_F(LoaderTest, LoadsAnImageWithItsOwnDriverObjectAndUnloadsItOnce)
{
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, host::DriverLoad(u"FxLower", &driver));
    ASSERT_NE(nullptr, driver);
    EXPECT_EQ(driver, host::DriverFind(u"fxlower"));
    EXPECT_EQ("FxLower", host::ImageName(host::DriverImage(driver)));
    EXPECT_EQ(u"\\Driver\\FxLower",
              std::u16string(driver->DriverName.Buffer, driver->DriverName.Length / sizeof(WCHAR)));
    ASSERT_NE(nullptr, driver->DriverExtension);
    EXPECT_NE(nullptr, driver->DriverExtension->AddDevice); // a framework driver takes PnP devices

    PDRIVER_OBJECT again = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, host::DriverLoad(u"FxLower", &again));
    EXPECT_EQ(driver, again);
    EXPECT_EQ(0, host::DriverUnload(u"FxLower"));
    EXPECT_EQ(driver, host::DriverFind(u"FxLower"));
    Take();
    EXPECT_EQ(0, host::DriverUnload(u"FxLower"));
    EXPECT_EQ(nullptr, host::DriverFind(u"FxLower"));
    EXPECT_EQ((Calls{"FxLower:DriverUnload"}), Take());
}

TEST_F(LoaderTest, PoolLeftAtUnloadIsReportedAndFreed)
{
    Set(u"LeakPool", 1);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    host::Image* image = host::DriverImage(host::DriverFind(u"FxFunc"));
    ASSERT_NE(nullptr, image);
    {
        hosttest::ExpectReport expect(host::Check::PoolLeak);
        ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    }
    EXPECT_TRUE(host::PoolLiveAllocations(image).empty());
}

// ---- power settings

// {7d8c3a1f-52b4-4e9a-8c61-0f1e2d3c4b5a}
DEFINE_GUID(GUID_TEST_SETTING, 0x7d8c3a1f, 0x52b4, 0x4e9a, 0x8c, 0x61, 0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a);

std::vector<ULONG> g_values;

NTSTATUS OnSetting(LPCGUID Setting, PVOID Value, ULONG Length, PVOID Context)
{
    EXPECT_TRUE(*Setting == GUID_TEST_SETTING);
    EXPECT_EQ(&g_values, Context);
    g_values.push_back(Value == nullptr || Length != sizeof(ULONG) ? MAXULONG : *static_cast<ULONG*>(Value));
    return STATUS_SUCCESS;
}

TEST(PowerSettingTest, CalledAtRegistrationAndOnEveryChange)
{
    g_values.clear();
    PVOID first = nullptr, second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              PoRegisterPowerSettingCallback(nullptr, &GUID_TEST_SETTING, OnSetting, &g_values, &first));
    EXPECT_EQ((std::vector<ULONG>{MAXULONG}), g_values); // never set: no data
    ULONG value = 3;
    host::PnpSetPowerSetting(GUID_TEST_SETTING, &value, sizeof(value));
    ASSERT_EQ(STATUS_SUCCESS,
              PoRegisterPowerSettingCallback(nullptr, &GUID_TEST_SETTING, OnSetting, &g_values, &second));
    EXPECT_EQ((std::vector<ULONG>{MAXULONG, 3, 3}), g_values);
    ASSERT_EQ(STATUS_SUCCESS, PoUnregisterPowerSettingCallback(first));
    value = 7;
    host::PnpSetPowerSetting(GUID_TEST_SETTING, &value, sizeof(value));
    EXPECT_EQ((std::vector<ULONG>{MAXULONG, 3, 3, 7}), g_values);
    ASSERT_EQ(STATUS_SUCCESS, PoUnregisterPowerSettingCallback(second));
    {
        hosttest::ExpectReport expect(host::Check::InvalidParameter);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, PoUnregisterPowerSettingCallback(second));
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              PoRegisterPowerSettingCallback(nullptr, &GUID_TEST_SETTING, nullptr, nullptr, &first));
}

// ---- system work items on a device object

void IoWork(PDEVICE_OBJECT Device, PVOID Context)
{
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    *static_cast<PDEVICE_OBJECT*>(Context) = Device;
}

TEST(IoWorkItemTest, RunsOnAWorkerWithItsDevice)
{
    DEVICE_OBJECT device{};
    PIO_WORKITEM item = IoAllocateWorkItem(&device);
    ASSERT_NE(nullptr, item);
    PDEVICE_OBJECT seen = nullptr;
    IoQueueWorkItem(item, IoWork, DelayedWorkQueue, &seen);
    host::Quiesce();
    EXPECT_EQ(&device, seen);
    IoFreeWorkItem(item);
    hosttest::ExpectReport expect(host::Check::InvalidParameter);
    EXPECT_EQ(nullptr, IoAllocateWorkItem(nullptr));
}

} // namespace
