// Register windows: mapping, routing of every accessor width to the device's handlers, reports for
// accesses that reach no window, and handlers running without host locks.
#include <gtest/gtest.h>

#include <host/mmio.h>
#include <wdm.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

#include "host_test.h"

namespace {

using Access = std::tuple<ULONG64, ULONG, ULONG64>; // offset, width, value

// A device whose registers read back as a code of their offset and width, and which logs every access.
struct FakeDevice {
    std::vector<Access> reads;
    std::vector<Access> writes;

    static ULONG64 Code(ULONG64 offset, ULONG width) { return 0x1122334455000000ULL | offset << 4 | width; }

    host::IoWindowHandlers Handlers()
    {
        return host::IoWindowHandlers{[this](ULONG64 offset, ULONG width) {
                                          reads.emplace_back(offset, width, 0);
                                          return Code(offset, width);
                                      },
                                      [this](ULONG64 offset, ULONG width, ULONG64 value) {
                                          writes.emplace_back(offset, width, value);
                                      }};
    }
};

PHYSICAL_ADDRESS Physical(ULONG64 value)
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = static_cast<LONGLONG>(value);
    return address;
}

constexpr ULONG64 kBase = 0xF0001000;
constexpr ULONG64 kLength = 0x2000;

TEST(IoSpace, AccessesReachTheWindowAtTheirOffsetWithTheirWidth)
{
    FakeDevice device;
    host::IoWindow* window = host::IoWindowRegister(kBase, kLength, device.Handlers());
    ASSERT_NE(nullptr, window);
    auto* regs =
        static_cast<UCHAR*>(MmMapIoSpaceEx(Physical(kBase + 0x100), 0x100, PAGE_READWRITE | PAGE_NOCACHE));
    ASSERT_NE(nullptr, regs);
    EXPECT_EQ(0x100u, reinterpret_cast<uintptr_t>(regs) % PAGE_SIZE); // the page offset is kept

    EXPECT_EQ(UCHAR(FakeDevice::Code(0x110, 1)), READ_REGISTER_UCHAR(regs + 0x10));
    EXPECT_EQ(USHORT(FakeDevice::Code(0x112, 2)),
              READ_REGISTER_USHORT(reinterpret_cast<USHORT*>(regs + 0x12)));
    EXPECT_EQ(ULONG(FakeDevice::Code(0x114, 4)), READ_REGISTER_ULONG(reinterpret_cast<ULONG*>(regs + 0x14)));
    EXPECT_EQ(FakeDevice::Code(0x118, 8), READ_REGISTER_ULONG64(reinterpret_cast<ULONG64*>(regs + 0x18)));
    WRITE_REGISTER_UCHAR(regs + 0x20, 0x5A);
    WRITE_REGISTER_USHORT(reinterpret_cast<USHORT*>(regs + 0x22), 0xBEEF);
    WRITE_REGISTER_ULONG(reinterpret_cast<ULONG*>(regs + 0x24), 0xDEADBEEF);
    WRITE_REGISTER_ULONG64(reinterpret_cast<ULONG64*>(regs + 0xF8), 0x0123456789ABCDEFULL); // last 8 bytes
    EXPECT_EQ(
        (std::vector<Access>{
            {0x120, 1, 0x5A}, {0x122, 2, 0xBEEF}, {0x124, 4, 0xDEADBEEF}, {0x1F8, 8, 0x0123456789ABCDEFULL}}),
        device.writes);

    // The buffer forms move through consecutive registers.
    device.reads.clear();
    device.writes.clear();
    ULONG words[3] = {};
    READ_REGISTER_BUFFER_ULONG(reinterpret_cast<ULONG*>(regs + 0x40), words, 3);
    EXPECT_EQ((std::vector<Access>{{0x140, 4, 0}, {0x144, 4, 0}, {0x148, 4, 0}}), device.reads);
    EXPECT_EQ(ULONG(FakeDevice::Code(0x148, 4)), words[2]);
    UCHAR bytes[2] = {7, 8};
    WRITE_REGISTER_BUFFER_UCHAR(regs + 0x50, bytes, 2);
    ULONG more[2] = {9, 10};
    WRITE_REGISTER_BUFFER_ULONG(reinterpret_cast<ULONG*>(regs + 0x60), more, 2);
    READ_REGISTER_BUFFER_UCHAR(regs + 0x70, bytes, 2);
    EXPECT_EQ((std::vector<Access>{{0x150, 1, 7}, {0x151, 1, 8}, {0x160, 4, 9}, {0x164, 4, 10}}),
              device.writes);
    EXPECT_EQ(UCHAR(FakeDevice::Code(0x171, 1)), bytes[1]);

    MmUnmapIoSpace(regs, 0x100);
    host::IoWindowUnregister(window);
}

TEST(IoSpace, MappingNeedsOneRegisteredWindowCoveringTheWholeRange)
{
    FakeDevice device;
    host::IoWindow* low = host::IoWindowRegister(kBase, kLength, device.Handlers());
    host::IoWindow* high = host::IoWindowRegister(kBase + kLength, kLength, device.Handlers());
    ASSERT_NE(nullptr, low);
    ASSERT_NE(nullptr, high);
    EXPECT_EQ(nullptr, host::IoWindowRegister(kBase + 0x10, 0x10, device.Handlers())); // overlaps
    EXPECT_EQ(nullptr, host::IoWindowRegister(kBase + 8 * kLength, 0, device.Handlers()));

    struct Case {
        ULONG64 physical;
        SIZE_T size;
    };
    const Case cases[] = {
        {kBase - 0x1000, 0x100},      // no window there
        {kBase - 4, 8},               // starts before the window
        {kBase + kLength - 4, 8},     // spans two windows
        {kBase + 2 * kLength - 4, 8}, // runs past the last window
        {kBase, 0},                   // empty
        {~0ULL - 4, 8},               // wraps
    };
    for (const Case& c : cases)
        EXPECT_EQ(nullptr, MmMapIoSpaceEx(Physical(c.physical), c.size, PAGE_READWRITE))
            << std::hex << c.physical;

    host::IoWindowUnregister(low);
    EXPECT_EQ(nullptr, MmMapIoSpaceEx(Physical(kBase), 0x10, PAGE_READWRITE)); // withdrawn
    host::IoWindowUnregister(high);
}

TEST(IoSpace, AccessOutsideEveryMappingIsReportedAndReadsAllOnes)
{
    FakeDevice device;
    host::IoWindow* window = host::IoWindowRegister(kBase, kLength, device.Handlers());
    auto* regs = static_cast<UCHAR*>(MmMapIoSpaceEx(Physical(kBase), 0x100, PAGE_READWRITE));
    ASSERT_NE(nullptr, regs);
    hosttest::ExpectReport expect(host::Check::RegisterAccessUnmapped);

    ULONG plainMemory = 0;
    EXPECT_EQ(0xFFFFFFFFu, READ_REGISTER_ULONG(&plainMemory));
    WRITE_REGISTER_ULONG(&plainMemory, 1);
    EXPECT_EQ(0u, plainMemory);
    EXPECT_EQ(0xFFFFFFFFu, READ_REGISTER_ULONG(reinterpret_cast<ULONG*>(regs + 0xFE))); // straddles the end
    ULONG words[2];
    READ_REGISTER_BUFFER_ULONG(reinterpret_cast<ULONG*>(regs + 0xFC), words, 2);
    EXPECT_EQ(0xFFFFFFFFu, words[0]);
    MmUnmapIoSpace(regs, 0x100);
    EXPECT_EQ(0xFFu, READ_REGISTER_UCHAR(regs));
    EXPECT_EQ(5, expect.Count());
    EXPECT_TRUE(device.reads.empty());
    EXPECT_TRUE(device.writes.empty());
    host::IoWindowUnregister(window);
}

TEST(IoSpace, MappingOfAnUnregisteredWindowIsReportedAndUnmapsCleanly)
{
    FakeDevice device;
    host::IoWindow* window = host::IoWindowRegister(kBase, kLength, device.Handlers());
    auto* regs = static_cast<ULONG*>(MmMapIoSpaceEx(Physical(kBase), 0x100, PAGE_READWRITE));
    host::IoWindowUnregister(window);
    {
        hosttest::ExpectReport expect(host::Check::RegisterAccessUnmapped);
        EXPECT_EQ(0xFFFFFFFFu, READ_REGISTER_ULONG(regs));
        WRITE_REGISTER_ULONG(regs, 1);
        EXPECT_EQ(2, expect.Count());
    }
    EXPECT_TRUE(device.reads.empty());
    EXPECT_TRUE(device.writes.empty());
    MmUnmapIoSpace(regs, 0x100);
}

TEST(IoSpace, BadUnmapsAndUnregistrationsAreReported)
{
    FakeDevice device;
    host::IoWindow* window = host::IoWindowRegister(kBase, kLength, device.Handlers());
    auto* regs = static_cast<UCHAR*>(MmMapIoSpaceEx(Physical(kBase), 0x100, PAGE_READWRITE));
    {
        hosttest::ExpectReport expect(host::Check::InvalidParameter);
        MmUnmapIoSpace(regs + 4, 0x100);
        MmUnmapIoSpace(regs, 0x80); // the size must match the mapping's
        EXPECT_EQ(2, expect.Count());
    }
    READ_REGISTER_ULONG(reinterpret_cast<ULONG*>(regs)); // still mapped
    EXPECT_EQ(1u, device.reads.size());
    MmUnmapIoSpace(regs, 0x100);
    host::IoWindowUnregister(window);
    hosttest::ExpectReport expect(host::Check::InvalidParameter);
    host::IoWindowUnregister(window);
}

TEST(IoSpaceDeathTest, DirectDereferenceOfARegisterFaults)
{
    FakeDevice device;
    host::IoWindow* window = host::IoWindowRegister(kBase, kLength, device.Handlers());
    auto* regs = static_cast<volatile ULONG*>(MmMapIoSpaceEx(Physical(kBase), 0x100, PAGE_READWRITE));
    ASSERT_NE(nullptr, regs);
    EXPECT_DEATH(
        {
            ULONG value = *regs;
            (void)value;
        },
        "");
    EXPECT_DEATH(*regs = 1, "");
    MmUnmapIoSpace(const_cast<ULONG*>(regs), 0x100);
    host::IoWindowUnregister(window);
}

TEST(IoSpace, HandlerMayCallTheHostAndUnregisterItsOwnWindow)
{
    FakeDevice other;
    host::IoWindow* otherWindow = host::IoWindowRegister(kBase + kLength, kLength, other.Handlers());
    auto* otherRegs = static_cast<ULONG*>(MmMapIoSpaceEx(Physical(kBase + kLength), 0x10, PAGE_READWRITE));

    host::IoWindow* window = nullptr;
    window = host::IoWindowRegister(
        kBase, kLength, host::IoWindowHandlers{nullptr, [&](ULONG64, ULONG, ULONG64 value) {
                                                   WRITE_REGISTER_ULONG(otherRegs, static_cast<ULONG>(value));
                                                   host::IoWindowUnregister(
                                                       window); // returns: its own call is not waited for
                                               }});
    auto* regs = static_cast<ULONG*>(MmMapIoSpaceEx(Physical(kBase), 0x10, PAGE_READWRITE));
    EXPECT_EQ(0xFFFFFFFFu, READ_REGISTER_ULONG(regs)); // no read handler
    WRITE_REGISTER_ULONG(regs, 42);
    EXPECT_EQ((std::vector<Access>{{0, 4, 42}}), other.writes);
    {
        hosttest::ExpectReport expect(host::Check::RegisterAccessUnmapped);
        WRITE_REGISTER_ULONG(regs, 43);
    }
    EXPECT_EQ(1u, other.writes.size());
    MmUnmapIoSpace(regs, 0x10);
    MmUnmapIoSpace(otherRegs, 0x10);
    host::IoWindowUnregister(otherWindow);
}

// Spins until `flag` is set; false if it never is within a generous number of turns.
bool AwaitFlag(const std::atomic<bool>& flag)
{
    for (long i = 0; i < 100'000'000 && !flag.load(); i++)
        std::this_thread::yield();
    return flag.load();
}

TEST(IoSpace, HandlersOfDifferentWindowsRunAtTheSameTime)
{
    std::atomic<bool> inA{false}, inB{false};
    bool sawB = false, sawA = false;
    auto meet = [](std::atomic<bool>& mine, const std::atomic<bool>& theirs, bool* saw) {
        return [&mine, &theirs, saw](ULONG64, ULONG) -> ULONG64 {
            mine.store(true);
            *saw = AwaitFlag(theirs);
            return 0;
        };
    };
    host::IoWindow* a =
        host::IoWindowRegister(kBase, kLength, host::IoWindowHandlers{meet(inA, inB, &sawB), nullptr});
    host::IoWindow* b = host::IoWindowRegister(kBase + kLength, kLength,
                                               host::IoWindowHandlers{meet(inB, inA, &sawA), nullptr});
    auto* regsA = static_cast<ULONG*>(MmMapIoSpaceEx(Physical(kBase), 4, PAGE_READWRITE));
    auto* regsB = static_cast<ULONG*>(MmMapIoSpaceEx(Physical(kBase + kLength), 4, PAGE_READWRITE));

    std::thread other([&] { READ_REGISTER_ULONG(regsB); });
    READ_REGISTER_ULONG(regsA);
    other.join();
    EXPECT_TRUE(sawA);
    EXPECT_TRUE(sawB);

    MmUnmapIoSpace(regsA, 4);
    MmUnmapIoSpace(regsB, 4);
    host::IoWindowUnregister(a);
    host::IoWindowUnregister(b);
}

TEST(IoSpace, UnregisterReturnsOnlyAfterRunningHandlersReturn)
{
    std::atomic<bool> entered{false}, unregistering{false}, handlerDone{false};
    host::IoWindow* window = host::IoWindowRegister(kBase, kLength,
                                                    host::IoWindowHandlers{[&](ULONG64, ULONG) -> ULONG64 {
                                                                               entered.store(true);
                                                                               AwaitFlag(unregistering);
                                                                               for (int i = 0; i < 1000; i++)
                                                                                   std::this_thread::yield();
                                                                               handlerDone.store(true);
                                                                               return 0;
                                                                           },
                                                                           nullptr});
    auto* regs = static_cast<ULONG*>(MmMapIoSpaceEx(Physical(kBase), 4, PAGE_READWRITE));
    std::thread driver([&] { READ_REGISTER_ULONG(regs); });
    ASSERT_TRUE(AwaitFlag(entered));
    unregistering.store(true);
    host::IoWindowUnregister(window);
    EXPECT_TRUE(handlerDone.load());
    driver.join();
    MmUnmapIoSpace(regs, 4);
}

} // namespace
