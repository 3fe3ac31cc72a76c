// The request-context table: ids handed out in rotation, the cap per command, release and failure
// completion, and the private records hung on an entry.
#include "core_fixture.h"
#include "ril_ctxt.h"

#include <gtest/gtest.h>

#include <string.h>
#include <vector>

namespace {

using coretest::CoreTest;

void* TokenPtr(int n)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(n));
}

using ContextTest = CoreTest;

TEST_F(ContextTest, IdsRotateFromThreeAndWrapToTwo)
{
    EXPECT_EQ(mdmril_get_free_ctxt_id(TokenPtr(1)), 3);
    EXPECT_EQ(mdmril_get_free_ctxt_id(TokenPtr(2)), 4);
    EXPECT_EQ(mdmril_get_free_ctxt_id(TokenPtr(3)), 5);
    ril_free_context_and_return(5);
    EXPECT_EQ(mdmril_get_free_ctxt_id(TokenPtr(4)), 6) << "a released id is not handed out again at once";
    const rilreq_state_entry& entry = rilreq_state_info[6];
    EXPECT_EQ(entry.token, TokenPtr(4));
    EXPECT_EQ(entry.entry_in_use, 1);
    EXPECT_EQ(entry.type, RIL_CTXT_TYPE_DEFAULT);
    EXPECT_EQ(entry.cmd, MBIM_MDM_NON_PASSTHROUGH_DEFAULT);
    EXPECT_EQ(entry.context_id, 6);

    // Fill 7..255 and 5: only 2 is left, reached by wrapping past 255.
    for (int id = 7; id <= 255; id++)
        ASSERT_EQ(mdmril_get_free_ctxt_id(TokenPtr(id)), id);
    EXPECT_EQ(mdmril_get_free_ctxt_id(TokenPtr(5)), 2);
    EXPECT_EQ(mdmril_get_free_ctxt_id(TokenPtr(6)), 5);
    EXPECT_EQ(mdmril_get_free_ctxt_id(TokenPtr(7)), -1) << "all 254 in use";

    // Only the low 8 bits name the entry.
    ril_free_context_and_return(258);
    EXPECT_EQ(rilreq_state_info[2].entry_in_use, 0);
    EXPECT_EQ(mdmril_get_free_ctxt_id(TokenPtr(8)), 2);

    mdmril_ctxt_table_reset();
    EXPECT_EQ(mdmril_get_free_ctxt_id(TokenPtr(9)), 3) << "a start begins the rotation again";
}

TEST_F(ContextTest, CapPurgesTheOldestMatchingEntryWithoutCompletingIt)
{
    constexpr int kType = 1;
    constexpr int kCmd = MBIM_MDM_NON_PASSTHROUGH_VERSION;
    const int64_t times[] = {10, 5, 5, 20};
    std::vector<int> ids;
    for (int64_t t : times) {
        int id = mdmril_get_free_ctxt_id_gen(TokenPtr(100 + static_cast<int>(t)), kType, kCmd, 10);
        ASSERT_GT(id, 0);
        rilreq_state_info[id].time = t;
        ids.push_back(id);
    }
    // Another command and another type do not count.
    int other = mdmril_get_free_ctxt_id_gen(TokenPtr(1), kType, MBIM_MDM_NON_PASSTHROUGH_ESIM, 4);
    rilreq_state_info[other].time = 0;
    int id = mdmril_get_free_ctxt_id_gen(TokenPtr(2), kType, kCmd, 4);
    EXPECT_GT(id, 0);
    EXPECT_EQ(rilreq_state_info[ids[1]].entry_in_use, 0) << "the second entry of time 5 is purged";
    EXPECT_EQ(rilreq_state_info[ids[0]].entry_in_use, 1);
    EXPECT_EQ(rilreq_state_info[ids[2]].entry_in_use, 1);
    EXPECT_EQ(rilreq_state_info[other].entry_in_use, 1);
    EXPECT_TRUE(frontdouble::Completions().empty());

    EXPECT_EQ(mdmril_discard_ctxt_on_limitcheck(kCmd, kType, 10), -1) << "below the cap nothing is purged";
    int exempt = mdmril_get_free_ctxt_id_gen(TokenPtr(3), kType, RIL_CTXT_CMD_UNCAPPED, 1);
    EXPECT_GT(exempt, 0);
    EXPECT_EQ(mdmril_get_free_ctxt_id_gen(TokenPtr(4), kType, RIL_CTXT_CMD_UNCAPPED, 1), exempt + 1)
        << "an exempt command is never purged";
    EXPECT_EQ(rilreq_state_info[exempt].entry_in_use, 1);
}

TEST_F(ContextTest, ReleaseFreesTheMultiModeRecordWithBothAreas)
{
    long before = memutil_live_blocks();
    int id = mdmril_get_free_ctxt_id(TokenPtr(1));
    void* area = nullptr;
    ASSERT_EQ(mdmril_create_multi_mod_priv(id, 7, 32, &area), 0);
    ASSERT_NE(area, nullptr);
    auto* priv = static_cast<multi_mod_priv*>(rilreq_state_info[id].p_priv_data);
    EXPECT_EQ(priv->value, 7);
    EXPECT_EQ(priv->caller_area, area);
    priv->request_data = memutil_alloc(16, __FILE__, __LINE__);
    EXPECT_EQ(memutil_live_blocks(), before + 3);

    ril_free_context_and_return(id);
    EXPECT_EQ(memutil_live_blocks(), before);
    EXPECT_EQ(rilreq_state_info[id].p_priv_data, nullptr);
    EXPECT_EQ(rilreq_state_info[id].entry_in_use, 0);

    // A free entry holding a record is only marked free.
    rilreq_state_info[id].entry_in_use = 1;
    ASSERT_EQ(mdmril_create_multi_mod_priv(id, 1, 0, nullptr), 0);
    rilreq_state_info[id].entry_in_use = 0;
    ril_free_context_and_return(id);
    EXPECT_EQ(memutil_live_blocks(), before + 1);
    ril_free_context_and_return_generic_failure(id);
    EXPECT_EQ(memutil_live_blocks(), before);
}

TEST_F(ContextTest, ACallerAreaThatCannotBeAllocatedLeavesNoRecord)
{
    long before = memutil_live_blocks();
    int id = mdmril_get_free_ctxt_id(TokenPtr(1));
    void* area = reinterpret_cast<void*>(1);
    memutil_inject_failure(1);
    EXPECT_EQ(mdmril_create_multi_mod_priv(id, 7, 32, &area), -1);
    EXPECT_EQ(rilreq_state_info[id].p_priv_data, nullptr);
    memutil_inject_failure(0);
    EXPECT_EQ(mdmril_create_multi_mod_priv(id, 7, 32, &area), -1);
    EXPECT_EQ(rilreq_state_info[id].p_priv_data, nullptr);
    memutil_inject_failure(-1);
    EXPECT_EQ(memutil_live_blocks(), before);
}

TEST_F(ContextTest, APlainAreaIsReleasedAsAPlainBlock)
{
    long before = memutil_live_blocks();
    int id = mdmril_get_free_ctxt_id(TokenPtr(1));
    void* area = nullptr;
    ASSERT_EQ(mdmril_create_priv_area(id, 24, &area), 0);
    ASSERT_NE(area, nullptr);
    // Bytes that would be taken for two area pointers if the block were read as a multi-mode record.
    memset(area, 0xA5, 24);
    ril_free_context_and_return(id);
    EXPECT_EQ(memutil_live_blocks(), before);

    EXPECT_EQ(mdmril_create_priv_area(id, 0, &area), 0);
    EXPECT_EQ(area, nullptr) << "size 0 allocates nothing";
}

TEST_F(ContextTest, GenericFailureFreesTheRecordAndCompletesTheTokenWithError2)
{
    long before = memutil_live_blocks();
    int id = mdmril_get_free_ctxt_id(TokenPtr(11));
    ASSERT_EQ(mdmril_create_multi_mod_priv(id, 0, 8, nullptr), 0);
    ril_free_context_and_return_generic_failure(id);
    EXPECT_EQ(rilreq_state_info[id].entry_in_use, 0);
    EXPECT_EQ(memutil_live_blocks(), before);
    auto completions = frontdouble::Completions();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].token, TokenPtr(11));
    EXPECT_EQ(completions[0].error, RIL_E_GENERIC_FAILURE);
}

TEST_F(ContextTest, AReusedEntryFreesTheRecordAFailureLeftBehind)
{
    long before = memutil_live_blocks();
    int id = mdmril_get_free_ctxt_id(TokenPtr(12));
    ASSERT_EQ(mdmril_create_multi_mod_priv(id, 0, 8, nullptr), 0);
    mdmril_return_generic_failure(id);
    ASSERT_NE(rilreq_state_info[id].p_priv_data, nullptr);
    // Walk the rotation round to the same entry.
    for (int n = 0; n < 253; n++) {
        int other = mdmril_get_free_ctxt_id(TokenPtr(0));
        ASSERT_NE(other, id);
        ril_free_context_and_return(other);
    }
    EXPECT_EQ(mdmril_get_free_ctxt_id(TokenPtr(13)), id);
    EXPECT_EQ(rilreq_state_info[id].p_priv_data, nullptr);
    EXPECT_EQ(memutil_live_blocks(), before);

    auto completions = frontdouble::Completions();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].token, TokenPtr(12));
    EXPECT_EQ(completions[0].error, RIL_E_GENERIC_FAILURE);
    EXPECT_TRUE(completions[0].response.empty());
}

TEST_F(ContextTest, MatchAndEnvironmentWrappers)
{
    int id = mdmril_get_free_ctxt_id(TokenPtr(1));
    rilreq_state_info[id].cmd = MBIM_MDM_NON_PASSTHROUGH_SAR_SERVICES_EXTERNAL;
    EXPECT_EQ(mdmril_check_ctxt_match(id, MBIM_MDM_NON_PASSTHROUGH_SAR_SERVICES_EXTERNAL, 2), 0);
    EXPECT_EQ(mdmril_check_ctxt_match(id, MBIM_MDM_NON_PASSTHROUGH_SAR_SERVICES_EXTERNAL, 7), -1);
    EXPECT_EQ(mdmril_check_ctxt_match(id, MBIM_MDM_NON_PASSTHROUGH_VERSION, 2), -1);
    EXPECT_EQ(mdmril_check_ctxt_match(id + 1, MBIM_MDM_NON_PASSTHROUGH_DEFAULT, 2), -1);

    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(RilCore_send_unsolicited_response(0, 3, 23, data, sizeof(data)), 0);
    RilCore_send_unsolicited_noop(0, 4);
    RilCore_request_timed_callback(nullptr, nullptr, 1, 500);
    auto calls = frontdouble::Unsolicited();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].notification_id, 3);
    EXPECT_EQ(calls[0].uuid_index, 23);
    EXPECT_EQ(calls[0].data, std::vector<uint8_t>(data, data + sizeof(data)));
}

} // namespace
