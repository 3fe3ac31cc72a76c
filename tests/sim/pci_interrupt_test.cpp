// Interrupts from a device on the simulated bus to a driver's ISR and DPC: message-signalled vectors
// with the MSI-X table's masks and pending bits, and a level-triggered line.
#include <gtest/gtest.h>

#include <host/interrupt.h>
#include <wdm.h>
#include <wdmguid.h>

#include <atomic>
#include <memory>

#include "host_test.h"
#include "sim/pci/interfaces.h"
#include "test_device.h"

namespace {

using namespace pcitest;
using sim::pci::InterruptMode;

// What a function driver does with its translated resources: map BAR 0, connect every interrupt.
struct Driver {
    struct Message {
        Driver* driver = nullptr;
        ULONG vector = 0;
        std::atomic<int> runs{0};
        std::atomic<ULONG> processor{~0u};
        std::atomic<KIRQL> irql{0};
        std::atomic<LONGLONG> at{0};
        KDPC dpc{};
    };

    explicit Driver(Rig& rig) : rig(rig)
    {
        KeInitializeEvent(&dpcDone, SynchronizationEvent, FALSE);
        for (const CM_PARTIAL_RESOURCE_DESCRIPTOR& d : rig.Descriptors(true)) {
            if (d.Type == CmResourceTypeMemory && registers == nullptr) {
                length = d.u.Memory.Length;
                registers = static_cast<volatile ULONG*>(
                    MmMapIoSpaceEx(d.u.Memory.Start, length, PAGE_READWRITE | PAGE_NOCACHE));
            } else if (d.Type == CmResourceTypeInterrupt) {
                auto message = std::make_unique<Message>();
                message->driver = this;
                message->vector = d.u.Interrupt.Vector; // the same place as MessageInterrupt.Translated.Vector
                KeInitializeDpc(&message->dpc, Dpc, message.get());
                messages.push_back(std::move(message));
                irqls.push_back(static_cast<KIRQL>(d.u.Interrupt.Level));
            }
        }
        EXPECT_NE(nullptr, registers);
        interrupts.resize(messages.size(), nullptr);
    }

    ~Driver()
    {
        for (size_t m = 0; m < messages.size(); m++)
            Disconnect(m);
        MmUnmapIoSpace(const_cast<ULONG*>(registers), length);
    }

    void Connect(size_t m)
    {
        host::InterruptConnection connection;
        connection.vector = messages[m]->vector;
        connection.irql = irqls[m];
        connection.service = Isr;
        connection.context = messages[m].get();
        ASSERT_EQ(STATUS_SUCCESS, host::InterruptConnect(connection, &interrupts[m]));
    }

    void Disconnect(size_t m)
    {
        if (interrupts[m] != nullptr)
            host::InterruptDisconnect(interrupts[m]);
        interrupts[m] = nullptr;
    }

    ULONG Read(ULONG offset) { return READ_REGISTER_ULONG(registers + offset / 4); }
    void Write(ULONG offset, ULONG value) { WRITE_REGISTER_ULONG(registers + offset / 4, value); }

    // Message mode: claims and acknowledges its source. Line mode: leaves the line asserted for the first
    // `keepAsserted` runs.
    static BOOLEAN Isr(host::Interrupt*, PVOID context)
    {
        auto* message = static_cast<Message*>(context);
        Driver* driver = message->driver;
        ULONG status = driver->Read(TestDevice::kStatus);
        if (status == 0)
            return FALSE;
        int run = ++message->runs;
        message->processor = KeGetCurrentProcessorNumber();
        message->irql = KeGetCurrentIrql();
        message->at = host::ClockNow();
        if (run > driver->keepAsserted) {
            driver->Write(TestDevice::kStatus, status);
            KeInsertQueueDpc(&message->dpc, nullptr, nullptr);
        }
        return TRUE;
    }

    static void Dpc(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* message = static_cast<Message*>(context);
        EXPECT_EQ(message->processor.load(), KeGetCurrentProcessorNumber()) << "a DPC queued by an ISR runs there";
        message->driver->dpcs++;
        KeSetEvent(&message->driver->dpcDone, IO_NO_INCREMENT, FALSE);
    }

    NTSTATUS WaitDpc()
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -Ms(100);
        return KeWaitForSingleObject(&dpcDone, Executive, KernelMode, FALSE, &timeout);
    }

    Rig& rig;
    volatile ULONG* registers = nullptr;
    SIZE_T length = 0;
    std::vector<std::unique_ptr<Message>> messages;
    std::vector<KIRQL> irqls;
    std::vector<host::Interrupt*> interrupts;
    int keepAsserted = 0;
    std::atomic<int> dpcs{0};
    KEVENT dpcDone{};
};

TEST(PciInterrupt, DoorbellAnsweredByAMessageOnItsVectorsProcessorTwoMillisecondsLater)
{
    Rig rig(InterruptMode::Message, 4);
    Driver driver(rig);
    ASSERT_EQ(4u, driver.messages.size());
    EXPECT_EQ(TestDevice::kIdValue, driver.Read(TestDevice::kId));
    for (size_t m = 0; m < 4; m++)
        driver.Connect(m);

    for (ULONG m : {2u, 3u}) {
        LONGLONG rung = host::ClockNow();
        driver.Write(TestDevice::kDoorbell, m);
        ASSERT_EQ(STATUS_SUCCESS, driver.WaitDpc());
        Driver::Message& message = *driver.messages[m];
        EXPECT_EQ(1, message.runs.load());
        EXPECT_EQ(rung + TestDevice::kDoorbellDelay, message.at.load()) << "answered on the host clock";
        EXPECT_EQ(rig.function.Vector(m), message.vector);
        EXPECT_EQ(message.vector % KeQueryActiveProcessorCount(nullptr), message.processor.load());
        EXPECT_EQ(driver.irqls[m], message.irql.load());
        EXPECT_GT(message.irql.load(), DISPATCH_LEVEL);
    }
    EXPECT_NE(driver.messages[2]->processor.load(), driver.messages[3]->processor.load());
    EXPECT_EQ(0, driver.messages[0]->runs.load() + driver.messages[1]->runs.load());
}

TEST(PciInterrupt, MessagesWaitMaskedUntilConnectAndUnmaskAndAfterDisconnect)
{
    Rig rig(InterruptMode::Message, 2);
    Driver driver(rig);
    Function& f = rig.function;
    Driver::Message& message = *driver.messages[1];

    // Masked until the driver connects: the message is held in its pending bit.
    ULONG routed = 0;
    bool masked = false;
    ASSERT_EQ(STATUS_SUCCESS, f.GetTableEntry(1, &routed, &masked));
    EXPECT_EQ(1u, routed);
    EXPECT_TRUE(masked);
    rig.device.Interrupt(1);
    host::ClockAdvance(0);
    EXPECT_TRUE(f.TableEntryPending(1));
    EXPECT_EQ(0x2u, driver.Read(TestDevice::kPba)) << "pending bits, read through the BAR";
    driver.Connect(1);
    ASSERT_EQ(STATUS_SUCCESS, driver.WaitDpc());
    EXPECT_EQ(1, message.runs.load());
    EXPECT_FALSE(f.TableEntryPending(1));

    // Masked by the driver through the table interface, then through the table in the BAR.
    sim::pci::Function* context = &f;
    PCI_MSIX_TABLE_CONFIG_INTERFACE table{};
    ASSERT_EQ(STATUS_SUCCESS, sim::pci::QueryInterface(f, GUID_MSIX_TABLE_CONFIG_INTERFACE, sizeof(table),
                                                       PCI_MSIX_TABLE_CONFIG_INTERFACE_VERSION1,
                                                       reinterpret_cast<PINTERFACE>(&table)));
    ASSERT_EQ(context, table.Context);
    ULONG size = 0;
    EXPECT_EQ(STATUS_SUCCESS, table.GetTableSize(table.Context, &size));
    EXPECT_EQ(2u, size);
    struct Unmask {
        const char* how;
        std::function<void()> mask, unmask;
    };
    const ULONG control = TestDevice::kTable + 16 * 1 + 12;
    const Unmask ways[] = {
        {"interface", [&] { EXPECT_EQ(STATUS_SUCCESS, table.MaskTableEntry(table.Context, 1)); },
         [&] { EXPECT_EQ(STATUS_SUCCESS, table.UnmaskTableEntry(table.Context, 1)); }},
        {"BAR", [&] { driver.Write(control, 1); }, [&] { driver.Write(control, 0); }},
    };
    int expected = 1;
    for (const Unmask& way : ways) {
        way.mask();
        BOOLEAN isMasked = FALSE;
        EXPECT_EQ(STATUS_SUCCESS, table.GetTableEntry(table.Context, 1, &routed, &isMasked));
        EXPECT_TRUE(isMasked) << way.how;
        rig.device.Interrupt(1);
        rig.device.Interrupt(1);
        host::ClockAdvance(0);
        EXPECT_EQ(expected, message.runs.load()) << way.how;
        EXPECT_TRUE(f.TableEntryPending(1)) << way.how;
        way.unmask();
        ASSERT_EQ(STATUS_SUCCESS, driver.WaitDpc());
        EXPECT_EQ(++expected, message.runs.load()) << way.how << ": held messages arrive once";
    }
    table.InterfaceDereference(table.Context);

    // Masked again once disconnected.
    driver.Disconnect(1);
    ASSERT_EQ(STATUS_SUCCESS, f.GetTableEntry(1, &routed, &masked));
    EXPECT_TRUE(masked);
    rig.device.Interrupt(1);
    host::ClockAdvance(0);
    EXPECT_EQ(expected, message.runs.load());
    EXPECT_TRUE(f.TableEntryPending(1));
    EXPECT_EQ(0, f.InterfaceReferences());
}

TEST(PciInterrupt, EntryRoutedToAnotherMessageFollowsThatVectorsConnection)
{
    Rig rig(InterruptMode::Message, 2);
    Driver driver(rig);
    ASSERT_EQ(STATUS_SUCCESS, rig.function.SetTableEntry(1, 0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.function.SetTableEntry(1, 2));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.function.SetTableEntry(2, 0));
    driver.Connect(0);
    rig.device.Interrupt(1);
    ASSERT_EQ(STATUS_SUCCESS, driver.WaitDpc());
    EXPECT_EQ(1, driver.messages[0]->runs.load()) << "entry 1 now sends message 0";
}

TEST(PciInterrupt, LevelLineReentersTheIsrUntilTheDeviceIsAcknowledged)
{
    Rig rig(InterruptMode::Line);
    Driver driver(rig);
    ASSERT_EQ(1u, driver.messages.size());
    const CM_PARTIAL_RESOURCE_DESCRIPTOR line = rig.Descriptors(true).back();
    EXPECT_EQ(CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE, line.Flags);
    driver.keepAsserted = 2;
    driver.Connect(0);
    rig.device.Interrupt(0);
    ASSERT_EQ(STATUS_SUCCESS, driver.WaitDpc());
    host::ClockAdvance(0);
    EXPECT_EQ(3, driver.messages[0]->runs.load()) << "twice left asserted, acknowledged on the third run";
    EXPECT_EQ(3u, host::InterruptVectorCounters(line.u.Interrupt.Vector).runs);

    // INTx disabled in the command register: the device's status shows it, the line stays quiet.
    USHORT command = static_cast<USHORT>(rig.function.PeekConfig(0x04, 2) | 0x400);
    ASSERT_EQ(2u, rig.function.WriteConfig(0x04, &command, 2));
    rig.device.Interrupt(0);
    host::ClockAdvance(0);
    EXPECT_EQ(3, driver.messages[0]->runs.load());
    EXPECT_NE(0u, rig.function.PeekConfig(0x06, 2) & 0x8) << "Interrupt Status";
    command &= ~0x400;
    rig.function.WriteConfig(0x04, &command, 2);
    ASSERT_EQ(STATUS_SUCCESS, driver.WaitDpc());
    host::ClockAdvance(0);
    EXPECT_EQ(4, driver.messages[0]->runs.load());
}

TEST(PciInterrupt, LevelLineNeverAcknowledgedIsAStorm)
{
    Rig rig(InterruptMode::Line);
    Driver driver(rig);
    driver.keepAsserted = 1 << 30;
    driver.Connect(0);
    {
        hosttest::ExpectReport storm(host::Check::InterruptStorm);
        rig.device.Interrupt(0);
        host::ClockAdvance(0);
    }
    EXPECT_EQ(static_cast<int>(host::kInterruptStormLimit), driver.messages[0]->runs.load());
}

TEST(PciInterrupt, PoweredDownDeviceHoldsItsMessagesUntilD0)
{
    Rig rig(InterruptMode::Message, 1);
    Driver driver(rig);
    driver.Connect(0);
    rig.function.SetPowerState(PowerState::D3Hot);
    EXPECT_EQ(0xFFFFFFFFu, driver.Read(TestDevice::kId)) << "registers do not answer in D3hot";
    rig.device.Interrupt(0);
    host::ClockAdvance(0);
    EXPECT_EQ(0, driver.messages[0]->runs.load());
    rig.function.SetPowerState(PowerState::D0);
    ASSERT_EQ(STATUS_SUCCESS, driver.WaitDpc());
    EXPECT_EQ(1, driver.messages[0]->runs.load());
}

} // namespace
