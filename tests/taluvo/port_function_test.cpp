// Port functions: the function type of each port, registration and removal, the open and close rules,
// writes handed down, the data callback's two ways up, and deactivation. The ports are fakes whose
// poll, read, write, open and release answer as each test scripts them.
#include "device_fixture.h"

#include "host_test.h"

#include <host/host.h>
#include <host/pool.h>

#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "CurrentDevice.h"
#include "IpcContext.h"
#include "ModemEvents.h"
#include "PortFunction.h"
#include "SioPort.h"
#include "modem_event_actions.h"
#include "port_kinds.h"
#include "queue_create.h"

namespace
{

constexpr USHORT kMinorAt = 0;
constexpr USHORT kMinorGnss = 6;
constexpr USHORT kMinorMbim = 10;
constexpr USHORT kMinorLoopback = 3; // "ccci_lb_it": no function type
constexpr USHORT kMinorFlash = 101;
constexpr USHORT kMinorDump = 100;
constexpr ULONG kSioTag = host::PoolTag("0CSI");

// The scripted side of every fake port.
struct FakePort {
    int openResult = 0;
    int opens = 0;
    int releases = 0;
    int polls = 0;
    std::deque<std::vector<u8>> incoming; // each read returns the front one whole
    SSIZE_T readFailure = 0;              // non-zero: every read returns it
    SSIZE_T chunk = 0;                    // bytes a write accepts; 0 or less is returned as the refusal
    int writes = 0;
    std::vector<u8> written;
};
FakePort g_port;

int FakeOpen(struct sio_device**, struct sio_file*)
{
    g_port.opens++;
    return g_port.openResult;
}

int FakeRelease(struct sio_device**, struct sio_file*)
{
    g_port.releases++;
    return 0;
}

SSIZE_T FakeRead(struct sio_file*, u8* buffer, size_t length)
{
    if (g_port.readFailure != 0)
        return g_port.readFailure;
    if (g_port.incoming.empty())
        return -35;
    std::vector<u8> data = std::move(g_port.incoming.front());
    g_port.incoming.pop_front();
    size_t n = std::min(length, data.size());
    std::memcpy(buffer, data.data(), n);
    return (SSIZE_T)n;
}

SSIZE_T FakeWrite(struct sio_file*, const u8* buffer, size_t length)
{
    g_port.writes++;
    if (g_port.chunk <= 0)
        return g_port.chunk == 0 ? -35 : g_port.chunk;
    size_t n = std::min(length, (size_t)g_port.chunk);
    g_port.written.insert(g_port.written.end(), buffer, buffer + n);
    return (SSIZE_T)n;
}

u32 FakePoll(struct sio_file*, void*)
{
    g_port.polls++;
    return g_port.incoming.empty() && g_port.readFailure == 0 ? SIO_POLL_OUT : SIO_POLL_IN | SIO_POLL_RDNORM;
}

const struct ccci_char_fops kFakeFops = {nullptr, FakeOpen, FakeRelease, FakeRead, FakeWrite, FakePoll, nullptr};

std::vector<u8> Bytes(size_t length, u8 seed)
{
    std::vector<u8> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = (u8)(seed + i * 3);
    return bytes;
}

// What the receive callback (slot 5) and the completion (slot 7) were handed.
struct Received {
    PIPC_PORT_FUNCTION function;
    WDFREQUEST request;
    NTSTATUS status;
    std::vector<u8> data;
};
std::vector<Received> g_received;
std::vector<ULONG> g_completed; // lengths
std::vector<std::vector<u8>> g_messages; // MBIM messages taken by slot 4, in order

NTSTATUS RecordReceive(PPORT_REFERENCE Reference)
{
    PPORT_REQUEST block = Reference->Block;
    const auto* data = static_cast<const u8*>(block->Buffer);
    g_received.push_back({block->Function, block->Request, block->Status,
                          std::vector<u8>(data, data + block->Length)});
    return STATUS_SUCCESS;
}

NTSTATUS RecordCompletion(PPORT_REFERENCE Reference)
{
    g_completed.push_back(Reference->Block->Length);
    return STATUS_SUCCESS;
}

// Takes the head message as the control path does: one per call, then deletes it.
NTSTATUS TakeMessage(PLIST_ENTRY List, PKSPIN_LOCK Lock, WDFDEVICE)
{
    PLIST_ENTRY link = ExInterlockedRemoveHeadList(List, Lock);
    if (link == nullptr)
        return STATUS_UNSUCCESSFUL;
    auto* entry = CONTAINING_RECORD(link, MBIM_MESSAGE_ENTRY, Link);
    const auto* data = static_cast<const u8*>(entry->Buffer);
    g_messages.emplace_back(data, data + entry->Length);
    WdfObjectDelete(entry->Memory);
    return STATUS_SUCCESS;
}

class PortFunctionTest : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        g_port = {};
        g_received.clear();
        g_completed.clear();
        g_messages.clear();
        doubles::Actions() = {};
        ipc_ = AddIpcContext();
        ipc_->State = IpcModemStateReady;
    }

    void TearDown() override
    {
        for (auto& sio : sios_)
            sio_delete(sio.get());
        host::Quiesce();
        EXPECT_TRUE(IsListEmpty(&ipc_->SioFunctions));
        IpcModemWatchdogStop(ipc_);
        DeviceTest::TearDown();
    }

    // A fake port as a character port hands it to sio_add.
    struct sio_device* NewSio(USHORT minor)
    {
        sios_.push_back(std::make_unique<struct sio_device>());
        struct sio_device* sio = sios_.back().get();
        *sio = {};
        sio->fops = &kFakeFops;
        sio->inode = sio;
        sio->devt = minor;
        return sio;
    }

    PIPC_PORT_FUNCTION Registered(USHORT minor)
    {
        struct sio_device* sio = NewSio(minor);
        EXPECT_EQ(0, sio_add(sio, (3u << 16) | minor, 1));
        return static_cast<PIPC_PORT_FUNCTION>(sio->port_function);
    }

    // A registered port with its peer linked, as the modem-event handling leaves it.
    PIPC_PORT_FUNCTION Connected(USHORT minor)
    {
        PIPC_PORT_FUNCTION function = Registered(minor);
        function->ComPeer = function;
        function->State = IPC_FN_STATE_CONNECTED;
        function->Ops.Receive = RecordReceive;
        function->Ops.RequestComplete = RecordCompletion;
        function->Ops.MbimReadComplete = TakeMessage;
        return function;
    }

    PIPC_PORT_FUNCTION Opened(USHORT minor)
    {
        PIPC_PORT_FUNCTION function = Connected(minor);
        EXPECT_TRUE(sio_open(function));
        return function;
    }

    static struct sio_device* SioOf(PIPC_PORT_FUNCTION function)
    {
        return static_cast<struct sio_device*>(function->Sio);
    }

    size_t Listed()
    {
        size_t count = 0;
        for (PLIST_ENTRY entry = ipc_->SioFunctions.Flink; entry != &ipc_->SioFunctions; entry = entry->Flink)
            count++;
        return count;
    }

    PIPC_CONTEXT ipc_ = nullptr;
    std::vector<std::unique_ptr<struct sio_device>> sios_;
};

// ---- types and registration

TEST(PortFunctionTypes, EachNamedPortHasItsTypeAndOthersNone)
{
    struct Case {
        USHORT minor;
        ULONG type;
    };
    const Case cases[] = {
        {0, IPC_FN_AT},         {2, IPC_FN_MD_LOG},      {11, IPC_FN_META_MD},     {8, IPC_FN_SAP_LOG},
        {9, IPC_FN_ADB},        {7, IPC_FN_META_SAP},    {6, IPC_FN_GNSS},         {21, IPC_FN_TEST_GNSS},
        {1, IPC_FN_NPT},        {10, IPC_FN_MBIM},       {101, IPC_FN_FLASH},      {100, IPC_FN_FULL_RAM_DUMP},
        {3, 0}, /* ccci_lb_it */ {13, 0}, /* ttyCMBIMDSS0 */ {12, 0}, /* minidump_notify */ {255, 0}, {99, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.type, IpcGetSioFunctionType(c.minor)) << "minor " << c.minor;
}

TEST_F(PortFunctionTest, RegistrationWiresThePortAndListsTheRecordAtTheHead)
{
    struct sio_device* sio = NewSio(kMinorMbim);
    ASSERT_EQ(0, sio_add(sio, (7u << 16) | kMinorMbim, 1));
    auto* mbim = static_cast<PIPC_PORT_FUNCTION>(sio->port_function);
    ASSERT_NE(nullptr, mbim);
    EXPECT_EQ(ULONG(IPC_FN_MBIM), mbim->FunctionType);
    EXPECT_EQ(ULONG(IPC_FN_KIND_SIO), mbim->Kind);
    EXPECT_EQ(ULONG(IPC_FN_STATE_REGISTERED), mbim->State);
    EXPECT_EQ(Device(), mbim->Device);
    EXPECT_EQ(sio, mbim->Sio);
    EXPECT_EQ(nullptr, mbim->ComPeer);
    EXPECT_NE(nullptr, mbim->Ops.Open);
    EXPECT_NE(nullptr, mbim->Ops.Close);
    EXPECT_NE(nullptr, mbim->Ops.PostWrite);
    EXPECT_EQ(nullptr, mbim->Ops.Receive);
    EXPECT_EQ(nullptr, mbim->Ops.RequestComplete);
    EXPECT_EQ((7u << 16) | kMinorMbim, sio->devt);
    EXPECT_EQ(1u, sio->sio_arg);
    EXPECT_NE(0u, sio->file.f_flags & SIO_F_NONBLOCK);
    EXPECT_EQ(&IpcSioInPoll, sio->data_callback);
    EXPECT_EQ(mbim, sio->callback_context);
    for (WDFQUEUE queue : sio->io_queues)
        EXPECT_NE(nullptr, queue);
    EXPECT_NE(nullptr, sio->sio_lock);

    PIPC_PORT_FUNCTION at = Registered(kMinorAt);
    EXPECT_EQ(&at->Link, ipc_->SioFunctions.Flink); // the newest first
    EXPECT_EQ(mbim, IpcGetPortFnContextSio(IPC_FN_MBIM));
    EXPECT_EQ(at, IpcGetPortFnContextSio(IPC_FN_AT));
    EXPECT_EQ(nullptr, IpcGetPortFnContextSio(IPC_FN_GNSS));

    // A port without a function type registers nothing.
    struct sio_device* loopback = NewSio(kMinorLoopback);
    EXPECT_EQ(0, sio_add(loopback, kMinorLoopback, 1));
    EXPECT_EQ(nullptr, loopback->port_function);
    EXPECT_EQ(nullptr, loopback->data_callback);
    EXPECT_EQ(2u, Listed());

    sio_delete(sio);
    EXPECT_EQ(nullptr, sio->port_function);
    EXPECT_EQ(nullptr, IpcGetPortFnContextSio(IPC_FN_MBIM));
    EXPECT_EQ(1u, Listed());
    sio_delete(loopback);
}

// A failed registration leaves the port with no way back to the freed record: its later removal is
// harmless and nothing stays allocated.
TEST_F(PortFunctionTest, AFailedRegistrationLeavesNothingBehind)
{
    struct Case {
        const char* what;
        bool noRecord;
        int queuesMade; // before the refused one
        int result;
    };
    const Case cases[] = {{"no record", true, 0, -12}, {"first queue", false, 0, -1}, {"third queue", false, 2, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        struct sio_device* sio = NewSio(kMinorGnss);
        if (c.noRecord)
            host::PoolFailTag(kSioTag, 1);
        else
            doubles::FailQueueCreates(1, c.queuesMade);
        EXPECT_EQ(c.result, sio_add(sio, kMinorGnss, 1));
        host::PoolFailTagClear(kSioTag);
        doubles::FailQueueCreates(0);
        EXPECT_EQ(nullptr, sio->port_function);
        EXPECT_EQ(nullptr, sio->data_callback);
        EXPECT_EQ(nullptr, sio->callback_context);
        EXPECT_EQ(0u, Listed());
        EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcSioInPoll(sio));
        sio_delete(sio);
    }
    EXPECT_EQ(0u, Listed());
}

// ---- open and close

TEST_F(PortFunctionTest, OpenFollowsTheIpcStateAndThePeer)
{
    struct Case {
        const char* what;
        USHORT minor;
        ULONG ipcState;
        bool peer;
        int openResult;
        BOOLEAN opened;
        int firstPolls; // the immediate poll of the boot ports
    };
    const Case cases[] = {
        {"flash in ROM ready", kMinorFlash, IpcModemStateRomReady, true, 0, TRUE, 1},
        {"flash when ready", kMinorFlash, IpcModemStateReady, true, 0, FALSE, 0},
        {"dump in CD ready", kMinorDump, IpcModemStateCdReady, true, 0, TRUE, 1},
        {"dump in ROM ready", kMinorDump, IpcModemStateRomReady, true, 0, FALSE, 0},
        {"MBIM when ready", kMinorMbim, IpcModemStateReady, true, 0, TRUE, 0},
        {"MBIM in ROM ready", kMinorMbim, IpcModemStateRomReady, true, 0, FALSE, 0},
        {"flash without a peer", kMinorFlash, IpcModemStateRomReady, false, 0, FALSE, 0},
        {"AT without a peer", kMinorAt, IpcModemStateReady, false, 0, FALSE, 0},
        {"port refuses", kMinorAt, IpcModemStateReady, true, -16, FALSE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_port = {};
        g_port.openResult = c.openResult;
        ipc_->State = c.ipcState;
        PIPC_PORT_FUNCTION function = Connected(c.minor);
        if (!c.peer)
            function->ComPeer = nullptr;
        EXPECT_EQ(c.opened, sio_open(function));
        host::Quiesce();
        EXPECT_EQ(c.firstPolls, g_port.polls);
        EXPECT_EQ(ULONG(c.opened ? IPC_FN_STATE_OPEN : IPC_FN_STATE_CONNECTED), function->State);
        EXPECT_EQ(c.opened || c.openResult != 0 ? 1 : 0, g_port.opens); // the rules are checked first
        if (c.opened) {
            EXPECT_FALSE(sio_open(function)); // never twice
            EXPECT_EQ(1, g_port.opens);
        }
        sio_delete(SioOf(function));
    }
    EXPECT_FALSE(sio_open(nullptr));
}

TEST_F(PortFunctionTest, ClosingTheFlashPortInTheRomStageStartsTheWatchdog)
{
    ipc_->State = IpcModemStateRomReady;
    PIPC_PORT_FUNCTION flash = Opened(kMinorFlash);
    flash->ComPeer = nullptr;
    EXPECT_FALSE(sio_close(flash)); // the peer went: only deactivation closes it now
    flash->ComPeer = flash;
    EXPECT_TRUE(sio_close(flash));
    EXPECT_EQ(1, g_port.releases);
    EXPECT_EQ(ULONG(IPC_FN_STATE_CONNECTED), flash->State);
    EXPECT_EQ(1, ReadAcquire(&ipc_->WatchdogStarted));
    EXPECT_FALSE(sio_close(flash));
    EXPECT_EQ(1, g_port.releases);
    IpcModemWatchdogStop(ipc_);

    // Any other port, or the flash port in another state, closes without it.
    ipc_->State = IpcModemStateReady;
    PIPC_PORT_FUNCTION at = Opened(kMinorAt);
    EXPECT_TRUE(sio_close(at));
    EXPECT_EQ(0, ReadAcquire(&ipc_->WatchdogStarted));
}

// ---- writes

TEST_F(PortFunctionTest, AWriteGoesOutWholeThroughPartialWritesAndCompletesOnce)
{
    PIPC_PORT_FUNCTION at = Opened(kMinorAt);
    g_port.chunk = 4;
    std::vector<u8> data = Bytes(10, 1);
    PORT_REQUEST request = {nullptr, nullptr, STATUS_PENDING, data.data(), (ULONG)data.size()};
    EXPECT_EQ(STATUS_SUCCESS, ProcessPortReq(&request, IPC_FN_AT));
    EXPECT_EQ(at, request.Function); // kept for the next write
    EXPECT_EQ(3, g_port.writes);
    EXPECT_EQ(data, g_port.written);
    EXPECT_EQ(10u, request.Length);
    EXPECT_EQ(STATUS_SUCCESS, request.Status);
    EXPECT_EQ(std::vector<ULONG>{10}, g_completed);

    // A type nobody registered is only traced.
    PORT_REQUEST nobody = {nullptr, nullptr, STATUS_PENDING, data.data(), (ULONG)data.size()};
    EXPECT_EQ(STATUS_SUCCESS, ProcessPortReq(&nobody, IPC_FN_GNSS));
    EXPECT_EQ(nullptr, nobody.Function);
    EXPECT_EQ(3, g_port.writes);
}

// The lookup of a write's port function walks the list under its lock, so records registered and
// removed meanwhile never hand it a freed entry (ThreadSanitizer and AddressSanitizer watch the walk).
TEST_F(PortFunctionTest, WritesFindTheirPortWhileOthersComeAndGo)
{
    Opened(kMinorAt);
    g_port.chunk = 64;
    constexpr int kRounds = 50;
    struct sio_device* gnss = NewSio(kMinorGnss);
    HANDLE churn = hosttest::StartThread([gnss] {
        for (int i = 0; i < kRounds; i++) {
            EXPECT_EQ(0, sio_add(gnss, kMinorGnss, 1));
            sio_delete(gnss);
        }
    });
    std::vector<u8> data = Bytes(10, 4);
    for (int i = 0; i < kRounds; i++) {
        PORT_REQUEST request = {nullptr, nullptr, STATUS_PENDING, data.data(), (ULONG)data.size()};
        EXPECT_EQ(STATUS_SUCCESS, ProcessPortReq(&request, IPC_FN_AT));
    }
    hosttest::JoinThread(churn);
    EXPECT_EQ(size_t(kRounds), g_completed.size());
    EXPECT_EQ(1u, Listed());
}

// A port that keeps refusing is given 200 retries 5 ms apart on the host clock, then the write fails
// without a completion; a closed port is not written at all.
TEST_F(PortFunctionTest, AWriteFailsWithoutCompletionWhenThePortRefusesOrIsClosed)
{
    struct Case {
        const char* what;
        bool open;
        SSIZE_T answer;
        int writes;
        LONGLONG minimumWait; // 100 ns units
    };
    const Case cases[] = {
        {"refusing", true, 0, 201, 200LL * 5 * 10000},
        {"failing", true, -22, 201, 200LL * 5 * 10000},
        {"closed", false, 4, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_port = {};
        PIPC_PORT_FUNCTION at = c.open ? Opened(kMinorAt) : Connected(kMinorAt);
        g_port.chunk = c.answer;
        std::vector<u8> data = Bytes(10, 2);
        PORT_REQUEST request = {at, nullptr, STATUS_PENDING, data.data(), (ULONG)data.size()};
        ULONGLONG start = KeQueryInterruptTime();
        EXPECT_EQ(STATUS_UNSUCCESSFUL, sio_post_write(&request));
        EXPECT_GE((LONGLONG)(KeQueryInterruptTime() - start), c.minimumWait);
        EXPECT_EQ(c.writes, g_port.writes);
        EXPECT_EQ(STATUS_PENDING, request.Status);
        EXPECT_TRUE(g_completed.empty());
        sio_delete(SioOf(at));
    }
}

// ---- data coming up

TEST_F(PortFunctionTest, DataOfOtherTypesGoesToTheReceiveCallbackOnce)
{
    PIPC_PORT_FUNCTION gnss = Connected(kMinorGnss);
    g_port.incoming.push_back(Bytes(100, 9));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcSioInPoll(SioOf(gnss)));
    ASSERT_EQ(1u, g_received.size());
    EXPECT_EQ(gnss, g_received[0].function);
    EXPECT_EQ(nullptr, g_received[0].request);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, g_received[0].status);
    EXPECT_EQ(Bytes(100, 9), g_received[0].data);

    // Nothing readable: no read, no callback. A failed read hands on nothing but an empty block.
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcSioInPoll(SioOf(gnss)));
    EXPECT_EQ(1u, g_received.size());
    g_port.readFailure = -14;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcSioInPoll(SioOf(gnss)));
    ASSERT_EQ(2u, g_received.size());
    EXPECT_TRUE(g_received[1].data.empty());
}

TEST_F(PortFunctionTest, MbimMessagesAreQueuedAndTakenInArrivalOrder)
{
    PIPC_PORT_FUNCTION mbim = Opened(kMinorMbim);
    g_port.incoming.push_back(Bytes(48, 1));
    g_port.incoming.push_back(Bytes(0x8000, 2));
    EXPECT_EQ(STATUS_SUCCESS, IpcSioInPoll(SioOf(mbim)));
    EXPECT_EQ(STATUS_SUCCESS, IpcSioInPoll(SioOf(mbim)));
    EXPECT_EQ(mbim, ipc_->LastMbimFunction);
    host::Quiesce();
    ASSERT_EQ(2u, g_messages.size());
    EXPECT_EQ(Bytes(48, 1), g_messages[0]);
    EXPECT_EQ(Bytes(0x8000, 2), g_messages[1]);
    EXPECT_TRUE(IsListEmpty(&ipc_->ModemMessages));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcSioInPoll(SioOf(mbim))); // nothing readable
}

// A failed read of the MBIM port queues nothing: its count never becomes a length.
TEST_F(PortFunctionTest, AFailedMbimReadQueuesNothing)
{
    PIPC_PORT_FUNCTION mbim = Opened(kMinorMbim);
    g_port.readFailure = -14;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcSioInPoll(SioOf(mbim)));
    host::Quiesce();
    EXPECT_TRUE(IsListEmpty(&ipc_->ModemMessages));
    EXPECT_TRUE(g_messages.empty());
}

// ---- deactivation

TEST_F(PortFunctionTest, DeactivationClosesOpenPortsAndFreesEveryRecord)
{
    PIPC_PORT_FUNCTION at = Opened(kMinorAt);
    PIPC_PORT_FUNCTION mbim = Connected(kMinorMbim);
    struct sio_device* atSio = SioOf(at);
    struct sio_device* mbimSio = SioOf(mbim);
    EXPECT_EQ(2u, Listed());
    EXPECT_EQ(0, IpcDeactivateAllDevices(&ipc_->SioFunctions));
    EXPECT_EQ(0u, Listed());
    EXPECT_EQ(1, g_port.releases); // only the open one
    EXPECT_EQ(std::vector<ULONG>{3}, doubles::Actions().removedInterfaces); // the MBIM interface
    // The ports outlive their records: they no longer lead to them, and their removal does nothing.
    for (struct sio_device* sio : {atSio, mbimSio}) {
        EXPECT_EQ(nullptr, sio->port_function);
        g_port.incoming.push_back(Bytes(8, 3));
        EXPECT_EQ(STATUS_UNSUCCESSFUL, IpcSioInPoll(sio));
        sio_delete(sio);
    }
    EXPECT_TRUE(g_received.empty());

    // A list never initialised is left alone.
    LIST_ENTRY never = {};
    EXPECT_EQ(0, IpcDeactivateAllDevices(&never));
}

} // namespace
