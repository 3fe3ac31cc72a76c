// The boot handshake of a core: the host's feature set, the check of the modem's answer with its
// runtime-feature entries and port enumeration, the runtime-feature reply, and the core handlers taking
// their own answers from the state machine's events. The messages go through the real port layer to a
// fake engine that captures them.
#include <gtest/gtest.h>

#include <host/host.h>

#include <cstring>
#include <vector>

#include "IpcContext.h"
#include "ccci_bm.h"
#include "ccci_hif.h"
#include "ccci_md_priv.h"
#include "ccci_port.h"
#include "device_fixture.h"
#include "doubles/core_start.h"
#include "doubles/fsm.h"
#include "doubles/fsm_queue.h"
#include "doubles/hif_capture.h"
#include "doubles/modem_object.h"
#include "host_test.h"

namespace
{

std::vector<std::vector<u8>> Sent()
{
    return doubles::HifCaptured();
}

u32 U32(const std::vector<u8>& bytes, size_t offset)
{
    u32 v = 0;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

void PutU32(std::vector<u8>& bytes, u32 v)
{
    const u8* p = reinterpret_cast<const u8*>(&v);
    bytes.insert(bytes.end(), p, p + 4);
}

struct Entry {
    u8 support;
    std::vector<u8> data;
    u32 claimed = 0xFFFFFFFF; // the entry's data length field; its real length when not given
};

// The modem's answer: marker, 64 feature bytes (all `feature`), marker, then the entries.
std::vector<u8> Answer(const std::vector<Entry>& entries, u8 feature = 0x02)
{
    std::vector<u8> answer;
    PutU32(answer, HK_MARKER);
    answer.insert(answer.end(), HK_FEATURES, feature);
    PutU32(answer, HK_MARKER);
    for (size_t i = 0; i < entries.size(); i++) {
        answer.push_back((u8)i);
        answer.push_back(entries[i].support);
        answer.push_back(0);
        answer.push_back(0);
        PutU32(answer, entries[i].claimed != 0xFFFFFFFF ? entries[i].claimed : (u32)entries[i].data.size());
        answer.insert(answer.end(), entries[i].data.begin(), entries[i].data.end());
    }
    return answer;
}

// A port enumeration claiming `count` entries, with the channels given.
std::vector<u8> Enumeration(u16 count, const std::vector<u32>& channels)
{
    std::vector<u8> data;
    PutU32(data, CCCI_ENUM_HEAD);
    data.push_back((u8)count);
    data.push_back((u8)(count >> 8));
    data.push_back(0);
    data.push_back(0);
    PutU32(data, CCCI_ENUM_TAIL);
    for (u32 channel : channels)
        PutU32(data, channel | CCCI_ENUM_ENABLE);
    return data;
}

class HandshakeTest : public taluvotest::DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        ASSERT_EQ(0, ccci_bm_init());
        const u32 map[CCCI_HIF_PATHS] = {1, 0, 2, 3};
        std::memcpy(hif_path_map[0], map, sizeof(map));
        for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD})
            ccci_hif_set_ctrl(0, hif, &fakeCtrl_, &doubles::kHifCaptureOps);
        doubles::FsmState() = {};
        doubles::FsmState().md_state = MD_STATE_CORE_HS;
        doubles::Modem() = {};
        doubles::Nodes() = {};
        doubles::ResetQueue();
        doubles::HifCaptureClear();
        UCHAR run = 0;
        IpcInitTerminiateThreadsEvent();
        IpcShouldTerminateThreads(&run);
        ASSERT_EQ(0, ccci_port_proxy_create(0, CCCI_TABLE_NORMAL));
        for (u8 id : {CCCI_CORE_MD, CCCI_CORE_SAP}) {
            cores_[id].core_id = id;
            core_hk_init(&cores_[id], "hk", md_hk_work);
            cores_[id].ctrl_port = doubles::Modem().ctrl_port[id];
            ASSERT_NE(nullptr, cores_[id].ctrl_port);
        }
        // A port the tables leave disabled, for the enumeration to enable.
        for (const struct ccci_port& port : ccci_port_table) {
            if ((port.flags & PORT_F_ENABLED) == 0 && port.rx_ch != CCCI_NO_CHANNEL && port.rx_ch != 0) {
                channel_ = port.rx_ch;
                break;
            }
        }
        ASSERT_NE(0u, channel_);
    }

    void TearDown() override
    {
        for (struct core_hk& core : cores_)
            workitem_destroy(&core.work);
        ccci_port_proxy_destroy(0);
        for (u8 hif : {CLDMA_HIF_SAP, CLDMA_HIF_MD})
            ccci_hif_set_ctrl(0, hif, nullptr, nullptr);
        host::Quiesce();
        doubles::ResetQueue();
        ccci_bm_exit();
        DeviceTest::TearDown();
    }

    bool PortEnabled() const { return ccci_port_get_by_channel(0, channel_)->enabled != 0; }

    struct core_hk cores_[2] = {};
    u32 channel_ = 0;
    int fakeCtrl_ = 0;
};

TEST_F(HandshakeTest, FeatureSetIsByteExactForBothCores)
{
    for (u8 id : {CCCI_CORE_MD, CCCI_CORE_SAP}) {
        doubles::HifCaptureClear();
        hk_send_features(&cores_[id]);
        std::vector<u8> expected(HK_FEATURE_SET_SIZE, 0);
        const u32 channel = id == CCCI_CORE_MD ? CCCI_CONTROL_TX : CCCI_SAP_CONTROL_TX;
        const u32 head[] = {0, HK_FEATURE_SET_SIZE, channel | 0x80000000u, 0, 0, 0, HK_ANSWER_HEAD, HK_MARKER};
        const u32 marker = HK_MARKER;
        std::memcpy(expected.data(), head, sizeof(head));
        expected[32 + id] = 0x02;
        std::memcpy(expected.data() + 96, &marker, 4);
        ASSERT_EQ(1u, Sent().size());
        EXPECT_EQ(expected, Sent()[0]) << "core " << (int)id;
    }
}

// Host levels per feature index against the modem's entries, the answer cut where the case says. Entry 0
// carries the port enumeration (of a disabled port, unless the case gives its data).
TEST_F(HandshakeTest, AnswerCheck)
{
    constexpr size_t kAfterEntry0 = SIZE_MAX;
    struct Case {
        const char* name;
        std::vector<std::pair<u32, u8>> host; // feature index -> host byte, beside entry 0 at level 2
        std::vector<Entry> entries;
        size_t cut; // bytes of the answer passed: 0 all, kAfterEntry0 up to the end of entry 0
        int result;
        bool enumerated;
    } cases[] = {
        {"entry 0 granted", {}, {{0x02, {}}}, 0, 0, true},
        {"entry 0 not supported", {}, {{0x01, {}}}, 0, -1, false},
        {"no entries at all", {}, {}, 0, 0, false},
        {"shorter than the feature block", {}, {}, 71, -1, false},
        {"entry header cut", {}, {{0x02, {}}}, HK_ANSWER_HEAD + 5, -1, false},
        {"entry longer than the answer", {}, {{0x02, {}, 0xFFFFFFF0u}}, 0, -1, false},
        {"enumeration counting past its data", {}, {{0x02, Enumeration(40, {})}}, 0, -1, false},
        {"entries past the length are not read", {{1, 0x02}}, {{0x02, {}}, {0x01, {}}}, kAfterEntry0, 0, true},
        {"host level 4 wants a grant", {{1, 0x04}}, {{0x02, {}}, {0x03, {}}}, 0, -1, true},
        {"level 3 remembered, later optional entry skipped", {{1, 0x03}, {2, 0x05}}, {{0x02, {}}, {0x01, {}}, {0x00, {}}}, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ccci_port_get_by_channel(0, channel_)->enabled = 0;
        struct core_hk& core = cores_[CCCI_CORE_MD];
        std::memset(core.host_features, 0, sizeof(core.host_features));
        core.host_features[0] = 0x02;
        for (auto [index, level] : c.host)
            core.host_features[index] = level;
        std::vector<Entry> entries = c.entries;
        if (!entries.empty() && entries[0].data.empty())
            entries[0].data = Enumeration(1, {channel_});
        std::vector<u8> answer = Answer(entries);
        size_t length = c.cut == 0 ? answer.size() : c.cut == kAfterEntry0 ? HK_ANSWER_HEAD + 8 + entries[0].data.size() : c.cut;
        // Exactly `length` bytes: anything read past them is caught by the sanitizers.
        std::vector<u8> bounded(answer.begin(), answer.begin() + (long)std::min(length, answer.size()));
        EXPECT_EQ(c.result, hk_check_answer(&core, bounded.data(), (u32)bounded.size()));
        EXPECT_EQ(c.enumerated, PortEnabled());
    }
}

TEST_F(HandshakeTest, ReplyEntriesFollowTheModemsLevels)
{
    struct Case {
        u8 modem;   // the modem's byte for feature 5
        u8 support; // the host's runtime support for it
        std::vector<u8> entry; // the reply's entry for feature 5, none when empty
    } cases[] = {
        {0x13, 0x00, {5, 0x01}}, // optional, versions differ: not supported
        {0x13, 0x12, {}},        // same version, host at level 2: granted
        {0x04, 0x00, {}},        // the modem decides, host version not newer: granted
        {0x24, 0x32, {5, 0x31}}, // the modem's version older than the host's
        {0x02, 0x00, {}},
        {0x00, 0x00, {5, 0x00}},
        {0x05, 0x00, {5, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "modem 0x" << std::hex << (int)c.modem);
        doubles::HifCaptureClear();
        struct core_hk& core = cores_[CCCI_CORE_MD];
        std::memset(core.runtime_support, 0, sizeof(core.runtime_support));
        core.runtime_support[5] = c.support;
        std::vector<u8> answer = Answer({});
        answer[4 + 5] = c.modem;
        ASSERT_EQ(0, hk_send_reply(&core, answer.data(), (u32)answer.size()));
        ASSERT_EQ(1u, Sent().size());
        const std::vector<u8> reply = Sent()[0];
        ASSERT_EQ(HK_REPLY_SIZE, reply.size());
        EXPECT_EQ(HK_REPLY_SIZE, U32(reply, 4));
        EXPECT_EQ(CCCI_CONTROL_TX, U32(reply, 8) & 0xFFFF);
        EXPECT_EQ(HK_CTRL_REPLY, U32(reply, 16));
        EXPECT_EQ(HK_REPLY_DATA_LEN, U32(reply, 24));
        std::vector<u8> expected(HK_REPLY_DATA_LEN, 0);
        std::copy(c.entry.begin(), c.entry.end(), expected.begin());
        EXPECT_EQ(expected, std::vector<u8>(reply.begin() + 28, reply.end()));
    }
}

TEST_F(HandshakeTest, ReplyRefusesAnAnswerWithoutItsMarkersOrTooShort)
{
    std::vector<u8> answer = Answer({});
    for (size_t at : {size_t(0), size_t(68)}) {
        std::vector<u8> bad = answer;
        bad[at] ^= 0xFF;
        EXPECT_EQ(-1, hk_send_reply(&cores_[CCCI_CORE_MD], bad.data(), (u32)bad.size()));
    }
    EXPECT_EQ(-1, hk_send_reply(&cores_[CCCI_CORE_MD], answer.data(), HK_ANSWER_HEAD - 1));
    EXPECT_TRUE(Sent().empty());
}

// Both core handlers wait on the one event list: each takes its own answer wherever it sits, behind a
// stale event or the other core's answer, whichever comes first.
TEST_F(HandshakeTest, BothCoresFinishWhateverTheOrderOfTheirAnswers)
{
    struct md_fsm* fsm = fsm_find(0);
    for (int run = 0; run < 200; run++) {
        SCOPED_TRACE(run);
        doubles::HifCaptureClear();
        for (struct core_hk& core : cores_)
            InterlockedExchange(&core.done, 0);
        std::vector<u8> answers[2];
        for (u8 id : {CCCI_CORE_MD, CCCI_CORE_SAP}) {
            std::vector<Entry> entries(id + 1, Entry{0x02, Enumeration(1, {channel_})});
            answers[id] = Answer(entries);
        }
        auto post = [&](u8 id) {
            doubles::PostEvent(id == CCCI_CORE_MD ? FSM_EVENT_MD_HS : FSM_EVENT_SAP_HS, answers[id].data(),
                               (u32)answers[id].size());
        };
        doubles::PostEvent(FSM_EVENT_EE_ANNOUNCED, nullptr, 0); // stale, nobody's
        int mode = run % 3;
        if (mode == 2) {
            post(CCCI_CORE_SAP);
            post(CCCI_CORE_MD);
        }
        HANDLE md = hosttest::StartThread(
            [&] { core_hk_handler(&cores_[CCCI_CORE_MD], fsm, FSM_EVENT_MD_HS, FSM_EVENT_MD_HS_ABORT); });
        HANDLE sap = hosttest::StartThread(
            [&] { core_hk_handler(&cores_[CCCI_CORE_SAP], fsm, FSM_EVENT_SAP_HS, FSM_EVENT_SAP_HS_ABORT); });
        if (mode != 2) {
            post(mode == 0 ? CCCI_CORE_MD : CCCI_CORE_SAP);
            post(mode == 0 ? CCCI_CORE_SAP : CCCI_CORE_MD);
        }
        hosttest::JoinThread(md);
        hosttest::JoinThread(sap);
        EXPECT_EQ(1, cores_[CCCI_CORE_MD].done);
        EXPECT_EQ(1, cores_[CCCI_CORE_SAP].done);
        std::vector<std::vector<u8>> sent = Sent();
        ASSERT_EQ(4u, sent.size()); // two feature sets, two replies
        int replies = 0;
        for (const std::vector<u8>& frame : sent)
            replies += U32(frame, 16) == HK_CTRL_REPLY;
        EXPECT_EQ(2, replies);
        EXPECT_EQ(1u, doubles::QueuedEvents()); // only the stale event is left
        doubles::ResetQueue();
    }
}

TEST_F(HandshakeTest, AHandlerEndsOnItsAbortEventOrTheHandshakesAbort)
{
    struct md_fsm* fsm = fsm_find(0);
    doubles::PostEvent(FSM_EVENT_SAP_HS_ABORT, nullptr, 0);
    core_hk_handler(&cores_[CCCI_CORE_SAP], fsm, FSM_EVENT_SAP_HS, FSM_EVENT_SAP_HS_ABORT);
    EXPECT_EQ(0, cores_[CCCI_CORE_SAP].done);
    EXPECT_EQ(0u, doubles::QueuedEvents());

    HANDLE md = hosttest::StartThread(
        [&] { core_hk_handler(&cores_[CCCI_CORE_MD], fsm, FSM_EVENT_MD_HS, FSM_EVENT_MD_HS_ABORT); });
    doubles::Queue().hs_abort = true; // the 60 s timer, a reset or a transfer error
    hosttest::JoinThread(md);
    EXPECT_EQ(0, cores_[CCCI_CORE_MD].done);
}

// The record goes out on the MD core's control channel, the extra block right after it whichever layout
// the variant picks; without version 2 nothing is sent.
TEST_F(HandshakeTest, RuntimeDataNeedsVersionTwoAndKeepsTheExtraBlockAfterTheRecord)
{
    struct ccci_md* md = ccci_md_alloc(0);
    ASSERT_NE(nullptr, md);
    std::vector<u8> extra(64);
    for (size_t i = 0; i < extra.size(); i++)
        extra[i] = (u8)(0xA0 + i);
    md->rt_params.extra = {extra.data(), (u32)extra.size()};
    md->rt_params.version = 1;
    EXPECT_EQ(-205, md_op_send_runtime_data(md));
    EXPECT_TRUE(Sent().empty());

    md->rt_params.version = 2;
    md->rt_params.value0 = 0x11111111;
    md->rt_params.value1 = 0x22222222;
    for (u32 variant : {0u, 1u}) {
        SCOPED_TRACE(variant);
        doubles::HifCaptureClear();
        md->rt_params.variant = variant;
        ASSERT_EQ(0, md_op_send_runtime_data(md));
        ASSERT_EQ(1u, Sent().size());
        const std::vector<u8> frame = Sent()[0];
        const size_t record = variant == 0 ? 156 : 220;
        ASSERT_EQ(16 + record + extra.size(), frame.size());
        EXPECT_EQ(frame.size(), U32(frame, 4));
        EXPECT_EQ(CCCI_CONTROL_TX, U32(frame, 8) & 0xFFFF);
        EXPECT_EQ(0x5555FFFFu, U32(frame, 12));
        EXPECT_EQ(0x43434349u, U32(frame, 16));
        if (variant == 0) {
            EXPECT_EQ(0x43434349u, U32(frame, 16 + 152));
        } else {
            EXPECT_EQ(0x10, frame[16 + 5]);
            EXPECT_EQ(1u, U32(frame, 16 + 68));
            EXPECT_EQ(2048u, U32(frame, 16 + 76));
            EXPECT_EQ(0x11111111u, U32(frame, 16 + 88));
            EXPECT_EQ(0x22222222u, U32(frame, 16 + 92));
            EXPECT_EQ(0x43434349u, U32(frame, 16 + 96));
        }
        EXPECT_EQ(extra, std::vector<u8>(frame.begin() + 16 + (long)record, frame.end()));
    }
    ccci_md_free(md);
}

} // namespace
