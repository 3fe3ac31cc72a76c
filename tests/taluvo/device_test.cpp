// The modem device's callbacks that stand on their own: the link-state power setting.
#include <gtest/gtest.h>

#include "Device.h"
#include "Driver.h"
#include "device_fixture.h"

namespace
{

using taluvotest::DeviceTest;

const GUID kAspm = {0xEE12F906, 0xD277, 0x404B, {0xB6, 0xDA, 0xE5, 0xFA, 0x1A, 0x57, 0x6D, 0xF5}};
const GUID kOther = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};

class AspmSettingTest : public DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        saved_ = g_DriverContextMbb;
        driver_.DeviceCount = 1;
        g_DriverContextMbb = &driver_;
    }
    void TearDown() override
    {
        g_DriverContextMbb = saved_;
        DeviceTest::TearDown();
    }
    DRIVER_CONTEXT_MBB driver_{};
    PDRIVER_CONTEXT_MBB saved_ = nullptr;
};

TEST_F(AspmSettingTest, MalformedCallsAreRefusedAndLeaveThePolicyAlone)
{
    ULONG value = 0;
    Context()->AspmPolicyEnabled = 1;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PcieAspmPowerSettingCallback(&kAspm, nullptr, 4, Context()));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PcieAspmPowerSettingCallback(&kAspm, &value, 4, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PcieAspmPowerSettingCallback(&kAspm, &value, 2, Context()));
    driver_.DeviceCount = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PcieAspmPowerSettingCallback(&kAspm, &value, 4, Context()));
    EXPECT_EQ(1u, Context()->AspmPolicyEnabled);
}

TEST_F(AspmSettingTest, TheValueSetsThePolicyInEveryStateAndOtherSettingsDoNot)
{
    struct Case {
        const GUID* setting;
        ULONG value;
        ULONG state;
        ULONG policy;
    };
    const Case cases[] = {
        {&kAspm, 0, 3, 0}, {&kAspm, 5, 3, 1}, {&kAspm, 1, 2, 1}, {&kAspm, 0, 2, 0}, {&kOther, 0, 3, 1},
    };
    for (const Case& c : cases) {
        Context()->AspmPolicyEnabled = 1;
        Context()->DeviceState = c.state;
        ULONG value = c.value;
        EXPECT_EQ(STATUS_SUCCESS, PcieAspmPowerSettingCallback(c.setting, &value, sizeof(value), Context()));
        EXPECT_EQ(c.policy, Context()->AspmPolicyEnabled) << c.value << " in state " << c.state;
    }
}

} // namespace
