// The state machine's control entry (each code's effect and result) and its monitor device.
#include "fsm_fixture.h"

#include "port_kinds.h"

namespace
{

using fsmtest::FsmTest;

class FsmControl : public FsmTest
{
  protected:
    struct sio_device* Monitor() { return fsm_->monitor.sio; }
    int Open(struct sio_file* file)
    {
        struct sio_device* inode = Monitor();
        return fsm_monitor_fops.open(&inode, file);
    }
    void Release(struct sio_file* file)
    {
        struct sio_device* inode = Monitor();
        EXPECT_EQ(0, fsm_monitor_fops.release(&inode, file));
    }
    static std::vector<u32> Words(const u8* bytes, size_t n)
    {
        std::vector<u32> words(n / 4);
        memcpy(words.data(), bytes, words.size() * 4);
        return words;
    }
};

TEST_F(FsmControl, PublicModemState)
{
    const std::pair<u32, u32> cases[] = {{0, 0}, {7, 0}, {2, 1}, {3, 1}, {6, 1}, {4, 2}, {5, 3}, {8, 0}};
    for (const auto& [md_state, expected] : cases) {
        Put(FSM_STATE_READY, md_state);
        u32 value = 0xAA;
        EXPECT_EQ(0, ccci_fsm_ioctl(0, 0x40044301, (ULONG_PTR)&value));
        EXPECT_EQ(expected, value) << "modem state " << md_state;
    }
}

TEST_F(FsmControl, ValueCodes)
{
    doubles::MdOpsState().info.readback_first = 0x11;
    doubles::MdOpsState().info.readback_second = 0x22;
    memcpy(doubles::MdOpsState().info.version, "version-16-bytes", 16);

    char dhl[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(0, ccci_fsm_ioctl(0, 0x4010432A, (ULONG_PTR)dhl));
    EXPECT_EQ(0, memcmp(dhl, "DHL", 4));

    struct Read {
        u32 code;
        u32 expected;
    };
    for (const Read& r : {Read{0x4004433C, 4}, Read{0x40044308, 0x11}, Read{0x40044321, 0x22}, Read{0x40044309, 0}}) {
        u32 value = 0xAA;
        EXPECT_EQ(0, ccci_fsm_ioctl(0, r.code, (ULONG_PTR)&value));
        EXPECT_EQ(r.expected, value) << std::hex << r.code;
    }
    char version[16] = {};
    EXPECT_EQ(0, ccci_fsm_ioctl(0, 0x40044322, (ULONG_PTR)version));
    EXPECT_EQ(0, memcmp(version, "version-16-bytes", 16));

    u32 user = 0x5A5A;
    EXPECT_EQ(0, ccci_fsm_ioctl(0, 0x8004433A, (ULONG_PTR)&user));
    EXPECT_EQ(0x5A5Au, doubles::MdOpsState().info.user_value);
    EXPECT_EQ(0, ccci_fsm_ioctl(0, 0x80044377, (ULONG_PTR)&user));

    EXPECT_EQ(0, ccci_fsm_ioctl(0, 0x20004338, 0));
    EXPECT_EQ(1, fsm_->ee.log_dump_done);
    EXPECT_EQ(0, ccci_fsm_ioctl(0, 0x20004304, 0));
    EXPECT_EQ(0, ccci_fsm_ioctl(0, 0x4004431E, 0));

    // Failed copies and a missing modem object.
    EXPECT_EQ(-14, ccci_fsm_ioctl(0, 0x8004433A, 0));
    EXPECT_EQ(-14, ccci_fsm_ioctl(0, 0x2000430C, 0));
    EXPECT_EQ(-14, ccci_fsm_ioctl(0, 0x40044301, 0));
    doubles::MdOpsState().info_exists = false;
    u32 value;
    EXPECT_EQ(-14, ccci_fsm_ioctl(0, 0x40044308, (ULONG_PTR)&value));
    EXPECT_EQ(-14, ccci_fsm_ioctl(0, 0x40044322, (ULONG_PTR)version));

    EXPECT_EQ(-25, ccci_fsm_ioctl(0, 0x40044399, 0));
    EXPECT_EQ(-22, ccci_fsm_ioctl(1, 0x40044301, (ULONG_PTR)&value));
    EXPECT_EQ(0, fsm_uninit(0));
    EXPECT_EQ(-22, ccci_fsm_ioctl(0, 0x40044301, (ULONG_PTR)&value));
}

TEST_F(FsmControl, StopAndHandshakeCodesReturnTheCommandsResult)
{
    EXPECT_EQ(-1, ccci_fsm_ioctl(0, 0x2000430D, 0)); // handshake in state 0
    u32 flag = 1;
    Put(FSM_STATE_READY, MD_STATE_READY);
    EXPECT_EQ(0, ccci_fsm_ioctl(0, 0x2000430C, (ULONG_PTR)&flag));
    EXPECT_EQ(FSM_STATE_STOPPED, fsm_get_state(0));
    EXPECT_EQ(-1, ccci_fsm_ioctl(0, 0x2000430C, (ULONG_PTR)&flag));
}

TEST_F(FsmControl, MonitorDevice)
{
    struct sio_file reader = {};
    struct sio_file second = {};
    EXPECT_EQ(0, Open(&reader));
    EXPECT_EQ(-16, Open(&second));
    EXPECT_EQ(-13, fsm_monitor_fops.write(&reader, (const u8*)"x", 1));

    // Messages queued by the control codes and by the state machine, read whole.
    EXPECT_EQ(0, fsm_monitor_send(0, 0xFAF50006, 0));
    EXPECT_EQ(0, fsm_monitor_fops.ioctl(&reader, 0x2000430A, 0));
    u8 buffer[32];
    EXPECT_EQ(16, fsm_monitor_fops.read(&reader, buffer, sizeof(buffer)));
    EXPECT_EQ((std::vector<u32>{0xFFFFFFFF, 0xFAF50006, 0xF0000000, 0}), Words(buffer, 16));
    EXPECT_EQ(16, fsm_monitor_fops.read(&reader, buffer, 16));
    EXPECT_EQ(0xFAF50001u, Words(buffer, 16)[1]);

    // A short read fails and consumes the message.
    EXPECT_EQ(0, fsm_monitor_send(0, 0xFAF50002, 7));
    EXPECT_EQ(-14, fsm_monitor_fops.read(&reader, buffer, 8));
    EXPECT_TRUE(skb_queue_empty(&fsm_->monitor.queue.list));

    // Release drops what is queued; the device opens again.
    EXPECT_EQ(0, fsm_monitor_send(0, 0xFAF50003, 0));
    Release(&reader);
    EXPECT_TRUE(skb_queue_empty(&fsm_->monitor.queue.list));
    EXPECT_EQ(0, Open(&second));
    Release(&second);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(-101, fsm_monitor_send(0, 0xFAF50003, 0));
    KeLowerIrql(old);
    EXPECT_EQ(-106, fsm_monitor_send(1, 0xFAF50003, 0));
}

// A reader blocked on an empty queue is woken when the device goes away and fails with -4.
TEST_F(FsmControl, RemovalWakesABlockedReader)
{
    struct sio_file reader = {};
    ASSERT_EQ(0, Open(&reader));
    SSIZE_T got = 1;
    HANDLE thread = hosttest::StartThread([&] {
        u8 buffer[16];
        got = fsm_monitor_fops.read(&reader, buffer, sizeof(buffer));
    });
    ASSERT_TRUE(Until([this] { return ReadAcquire(&fsm_->monitor.readers) == 1; }, 5));
    Pass(100);
    EXPECT_EQ(0, fsm_uninit(0));
    hosttest::JoinThread(thread);
    EXPECT_EQ(-4, got);
}

} // namespace
