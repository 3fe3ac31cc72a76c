// A framework driver on a function of the simulated bus, started by the PnP manager: its resource
// lists, interrupts created from them, connected around the D0 callbacks and delivered to its ISR and
// DPC, for message-signalled vectors and a level-triggered line; DMA enablers in the D0 sequence and a
// common buffer the device writes into; the bus's interfaces, resets and re-enumeration, and the power
// changes the function hears of.
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/dma.h>
#include <host/interrupt.h>
#include <host/io.h>
#include <host/image.h>
#include <host/loader.h>
#include <host/pnp.h>
#include <host/registry.h>
#include <host/trace.h>
#include <host/utf.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <wdmguid.h>

#include "fxtest.h"
#include "host_test.h"
#include "sim/pci/pnp.h"
#include "test_device.h"

namespace {

using namespace pcitest;
using sim::pci::InterruptMode;
using Calls = std::vector<std::string>;

constexpr std::u16string_view kInstance = u"PCI\\VEN_5A5A&DEV_7A01\\0";

std::string Format(const char* format, auto... args)
{
    char text[160];
    snprintf(text, sizeof(text), format, args...);
    return text;
}

class PciPnp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetString(ServiceKey(), u"ImagePath", host::utf::ToUtf16(WWAN_FXPCI_IMAGE)));
        ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(u"PCI\\VEN_5A5A&DEV_7A01", u"FxPci"));
        host::RegistryDeleteTree(Parameters()); // each test sets the driver's own
        host::TraceClear();
    }

    void TearDown() override
    {
        if (host::PnpQueryState(kInstance) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
        }
        host::Quiesce();
        rig_.reset();
    }

    // The function the device sits on; it outlives the device's stack.
    Rig& Plug(InterruptMode mode, ULONG messages = 4)
    {
        rig_ = std::make_unique<Rig>(mode, messages);
        return *rig_;
    }

    static std::u16string ServiceKey() { return std::u16string(host::kServicesKey) + u"\\FxPci"; }
    static std::u16string Parameters() { return ServiceKey() + u"\\Parameters"; }

    static NTSTATUS Add(Rig& rig) { return host::PnpAddDevice(sim::pci::PnpDevice(rig.function, std::u16string(kInstance))); }

    // The callbacks traced since the last call, once the processors are idle.
    static Calls Take()
    {
        host::ClockAdvance(0);
        Calls calls;
        for (auto& line : host::TraceSnapshot())
            if (line.text.rfind("cb ", 0) == 0)
                calls.push_back(line.text.substr(3));
        host::TraceClear();
        return calls;
    }

    // The DPC's trace for message `m` of `rig` after `runs` ISR runs: ISR at the vector's IRQL on its
    // processor, the DPC on the same processor at DISPATCH_LEVEL, the interrupt lock at the vector's IRQL.
    static std::string Dpc(Rig& rig, ULONG m, ULONG runs)
    {
        ULONG vector = rig.function.Vector(m);
        unsigned processor = host::InterruptVectorProcessor(vector);
        unsigned irql = host::InterruptVectorIrql(vector);
        return Format("Dpc %u runs=%u isr=%u/%u dpc=%u/%u lock=%u", m, runs, processor, irql, processor,
                      unsigned(DISPATCH_LEVEL), irql);
    }

    // Sends one of FxPci's control codes and returns the status it answers with.
    static NTSTATUS Control(ULONG code, const void* input, size_t length)
    {
        auto paths = host::IoInterfaceList(GUID_FXPCI_INTERFACE);
        EXPECT_EQ(1u, paths.size());
        HANDLE handle = nullptr;
        if (paths.empty() || !NT_SUCCESS(host::IoOpen(paths[0], &handle)))
            return STATUS_NO_SUCH_DEVICE;
        ULONG answer = 0;
        ULONG_PTR returned = 0;
        EXPECT_EQ(STATUS_SUCCESS, host::IoDeviceControl(handle, code, input, length, &answer, sizeof(answer), &returned));
        EXPECT_EQ(STATUS_SUCCESS, host::IoClose(handle));
        return static_cast<NTSTATUS>(answer);
    }

    // True when `calls` holds `sequence` in that order (other calls may come between).
    static bool InOrder(const Calls& calls, const Calls& sequence)
    {
        auto at = calls.begin();
        for (const std::string& wanted : sequence) {
            at = std::find(at, calls.end(), wanted);
            if (at == calls.end())
                return false;
        }
        return true;
    }

private:
    std::unique_ptr<Rig> rig_;
};

TEST_F(PciPnp, MessagesReachTheIsrAndDpcOfTheirInterruptFromStartToRemoval)
{
    Rig& rig = Plug(InterruptMode::Message);
    ASSERT_EQ(STATUS_SUCCESS, Add(rig));
    Calls expected = {"PrepareHardware 6 6"};
    for (ULONG m = 0; m < 4; m++) {
        ULONG vector = rig.function.Vector(m);
        expected.push_back(Format("Interrupt %u message=1 vector=%#x irql=%u", m + 2, vector,
                                  unsigned(host::InterruptVectorIrql(vector))));
    }
    expected.push_back("D0Entry 5");
    for (ULONG m = 0; m < 4; m++)
        expected.push_back(Format("InterruptEnable %u 1", m));
    expected.push_back("D0EntryPostInterruptsEnabled");
    EXPECT_EQ(expected, Take());
    EXPECT_EQ(PowerState::D0, rig.function.CurrentPowerState());

    rig.device.Interrupt(2);
    EXPECT_EQ(Calls{Dpc(rig, 2, 1)}, Take());
    rig.device.Interrupt(3);
    EXPECT_EQ(Calls{Dpc(rig, 3, 1)}, Take());

    // Stopped, the vectors are disconnected and masked: a message waits in its pending bit and is
    // delivered once the restarted driver has connected again.
    ASSERT_EQ(STATUS_SUCCESS, host::PnpStopDevice(kInstance));
    expected = {"D0ExitPreInterruptsDisabled"};
    for (ULONG m = 4; m-- > 0;)
        expected.push_back(Format("InterruptDisable %u", m));
    expected.insert(expected.end(), {"D0Exit 5", "ReleaseHardware"});
    EXPECT_EQ(expected, Take());
    EXPECT_EQ(PowerState::D3Hot, rig.function.CurrentPowerState());
    rig.device.Interrupt(1);
    EXPECT_EQ(Calls{}, Take());
    EXPECT_TRUE(rig.function.TableEntryPending(1));
    ASSERT_EQ(STATUS_SUCCESS, host::PnpStartDevice(kInstance));
    Calls calls = Take();
    auto enabled = std::find(calls.begin(), calls.end(), "InterruptEnable 1 1");
    EXPECT_NE(calls.end(), std::find(enabled, calls.end(), Dpc(rig, 1, 1))) << "delivered once enabled";
    EXPECT_FALSE(rig.function.TableEntryPending(1));
}

TEST_F(PciPnp, ALineReentersTheIsrWhileAssertedAndAStormIsReported)
{
    Rig& rig = Plug(InterruptMode::Line);
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(Parameters(), u"KeepAsserted", 3));
    ASSERT_EQ(STATUS_SUCCESS, Add(rig));
    ULONG vector = rig.function.Vector(0);
    Calls expected = {"PrepareHardware 3 3",
                      Format("Interrupt 2 message=0 vector=%#x irql=%u", vector,
                             unsigned(host::InterruptVectorIrql(vector))),
                      "D0Entry 5", "InterruptEnable 0 1", "D0EntryPostInterruptsEnabled"};
    EXPECT_EQ(expected, Take());

    rig.device.Interrupt(0);
    EXPECT_EQ(Calls{Dpc(rig, 0, 4)}, Take()) << "three runs left the line asserted, the fourth cleared it";
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    Take();

    // A driver that never acknowledges.
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(Parameters(), u"KeepAsserted", ~0u));
    ASSERT_EQ(STATUS_SUCCESS, Add(rig));
    Take();
    {
        hosttest::ExpectReport storm(host::Check::InterruptStorm);
        rig.device.Interrupt(0);
        host::ClockAdvance(0);
    }
    EXPECT_EQ(host::kInterruptStormLimit, host::InterruptVectorCounters(vector).runs - 4);
    rig.function.Lower(0);
    EXPECT_EQ(Calls{}, Take());
}

TEST_F(PciPnp, TheDeviceWritesIntoACommonBufferThatIsAlignedAsAskedAndGoesWithTheDevice)
{
    Rig& rig = Plug(InterruptMode::Message);
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(Parameters(), u"DmaLength", 0x300));
    ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(Parameters(), u"Alignment", 0x1FFF));
    ASSERT_EQ(STATUS_SUCCESS, Add(rig));
    Calls calls = Take();
    auto post = std::find(calls.begin(), calls.end(), "D0EntryPostInterruptsEnabled");
    ASSERT_NE(calls.end(), post);
    auto enable = std::find_if(post, calls.end(), [](const std::string& c) { return c.rfind("DmaEnablerEnable ", 0) == 0; });
    ASSERT_NE(calls.end(), enable) << "enablers are enabled after the post-interrupt callback";
    unsigned long long address = 0;
    unsigned aligned = 0;
    ASSERT_EQ(2, sscanf(enable->c_str(), "DmaEnablerEnable %llx aligned=%u", &address, &aligned));
    EXPECT_EQ(1u, aligned);
    auto dpc = std::find(calls.begin(), calls.end(), Dpc(rig, 0, 1));
    ASSERT_NE(calls.end(), dpc) << "the device interrupts when its DMA is done";
    ASSERT_NE(calls.end(), dpc + 1);
    EXPECT_EQ("Pattern 768 of 768", dpc[1]);

    // Only the buffer's length is visible to the device.
    EXPECT_TRUE(host::DmaCheck(address, 0x300));
    {
        hosttest::ExpectReport overrun(host::Check::DmaOutsideAllocation);
        EXPECT_FALSE(host::DmaCheck(address, 0x301));
    }

    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    calls = Take();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ((Calls{"DmaEnablerDisable", "D0ExitPreInterruptsDisabled"}), Calls(calls.begin(), calls.begin() + 2));
    hosttest::ExpectReport freed(host::Check::DmaOutsideAllocation);
    EXPECT_FALSE(host::DmaCheck(address, 1)) << "the common buffer went with its device";
}

TEST_F(PciPnp, InterfaceQueriesReachTheBusWhichChecksGuidSizeAndVersion)
{
    Rig& rig = Plug(InterruptMode::Message);
    ASSERT_EQ(STATUS_SUCCESS, Add(rig));
    const USHORT reset = sizeof(DEVICE_RESET_INTERFACE_STANDARD);
    const struct {
        FXPCI_QUERY query;
        NTSTATUS status;
    } cases[] = {
        {{GUID_DEVICE_RESET_INTERFACE_STANDARD, reset, DEVICE_RESET_INTERFACE_VERSION}, STATUS_SUCCESS},
        {{GUID_DEVICE_RESET_INTERFACE_STANDARD, USHORT(reset - 1), DEVICE_RESET_INTERFACE_VERSION},
         STATUS_INVALID_PARAMETER},
        {{GUID_DEVICE_RESET_INTERFACE_STANDARD, reset, DEVICE_RESET_INTERFACE_VERSION + 1}, STATUS_NOT_SUPPORTED},
        {{GUID_BUS_INTERFACE_STANDARD, sizeof(BUS_INTERFACE_STANDARD), PCI_BUS_INTERFACE_STANDARD_VERSION},
         STATUS_SUCCESS},
        {{GUID_FXPCI_INTERFACE, 64, 1}, STATUS_NOT_SUPPORTED},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.status, Control(IOCTL_FXPCI_QUERY, &c.query, sizeof(c.query)))
            << c.query.size << " v" << c.query.version;
    EXPECT_EQ(0, rig.function.InterfaceReferences()) << "every interface handed out was let go of";
}

// Each comes back through surprise removal and a new start, queued to the PnP manager: the request
// asking for it completes first (done inline, removal would wait for it forever).
TEST_F(PciPnp, ResetsAndReenumerationBringTheDeviceBackThroughRemovalAndReAdd)
{
    Rig& rig = Plug(InterruptMode::Message);
    ASSERT_EQ(STATUS_SUCCESS, Add(rig));
    Take();
    const ULONG flr = FunctionLevelDeviceReset, pldr = PlatformLevelDeviceReset;
    const struct {
        const char* what;
        ULONG code;
        const ULONG* type;
        NTSTATUS answer;
        int resets;
        const char* done;
    } cases[] = {
        {"function-level reset", IOCTL_FXPCI_RESET, &flr, STATUS_PENDING, 1, "ResetDone 0"},
        {"platform-level reset", IOCTL_FXPCI_RESET, &pldr, STATUS_SUCCESS, 2, nullptr},
        {"re-enumerate-self", IOCTL_FXPCI_REENUMERATE, nullptr, STATUS_SUCCESS, 2, nullptr},
    };
    rig.function.ScriptReset(STATUS_SUCCESS, Ms(5));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.answer, Control(c.code, c.type, c.type != nullptr ? sizeof(*c.type) : 0));
        host::ClockAdvance(Ms(5));
        Calls calls = Take();
        Calls sequence = {"SurpriseRemoval", "D0Exit 5", "ReleaseHardware", "PrepareHardware 6 6",
                          "D0EntryPostInterruptsEnabled"};
        if (c.done != nullptr) {
            EXPECT_TRUE(InOrder(calls, {c.done})) << ::testing::PrintToString(calls);
        }
        EXPECT_TRUE(InOrder(calls, sequence)) << ::testing::PrintToString(calls);
        EXPECT_EQ(host::PnpState::Started, host::PnpQueryState(kInstance));
        EXPECT_EQ(c.resets, rig.device.resets);
    }

    // A reset that fails leaves the device as it was.
    rig.function.ScriptReset(STATUS_IO_TIMEOUT, Ms(5));
    EXPECT_EQ(STATUS_PENDING, Control(IOCTL_FXPCI_RESET, &flr, sizeof(flr)));
    host::ClockAdvance(Ms(5));
    EXPECT_EQ(Calls{Format("ResetDone %x", unsigned(STATUS_IO_TIMEOUT))}, Take());
    EXPECT_EQ(2, rig.device.resets);
}

TEST_F(PciPnp, TheFunctionLosesPowerInASystemSleepAndServesItsDriverAgainAfterResume)
{
    Rig& rig = Plug(InterruptMode::Message);
    ASSERT_EQ(STATUS_SUCCESS, Add(rig));
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemSleep(PowerSystemSleeping3));
    EXPECT_EQ(PowerState::D3Cold, rig.function.CurrentPowerState());
    ASSERT_EQ(STATUS_SUCCESS, host::PnpSystemResume());
    EXPECT_EQ((std::vector<PowerState>{PowerState::D3Cold, PowerState::D0}), rig.device.powerStates);
    Take();
    rig.device.Interrupt(2);
    EXPECT_EQ(Calls{Dpc(rig, 2, 1)}, Take());
}

} // namespace
