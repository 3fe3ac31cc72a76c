// The command table: its rows as listed, the manager's searches, and the UUID byte order on the wire.
#include "command_table.h"
#include "mbim_wire.h"
#include "mbimcorehandlers.h"
#include "trace_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using mbimwire::kBasicConnect;
using mbimwire::kBasicConnectExtensions;
using mbimwire::kFiveGTools;
using mbimwire::kOemCustom;

constexpr GUID kZero = {};
constexpr GUID kAllFF = {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};

constexpr auto U = mbim_cid_handler_UNSUPPORTED;
constexpr auto UR = mbim_cid_handler_UNSUPPORTED_resp;
constexpr auto NE = mbim_cid_map_request_generic_non_empty_data;
constexpr auto E = mbim_cid_map_request_generic_empty_data;

struct Handlers {
    cid_request_handler set, query;
    cid_response_handler response;
};

TEST(CommandTable, RowsCarryTheServicesAndEntriesAsListed)
{
    struct Row {
        int32_t uuid_index;
        GUID uuid;
        std::vector<std::pair<int32_t, Handlers>> entries; // the end entry is checked for every row
    };
    const Handlers unsupported = {U, U, UR};
    auto contiguous = [&](int32_t last, std::vector<std::pair<int32_t, Handlers>> served) {
        std::vector<std::pair<int32_t, Handlers>> entries;
        for (int32_t cid = 0; cid <= last; cid++)
            entries.push_back({cid, unsupported});
        for (auto& entry : served)
            entries[entry.first] = entry;
        return entries;
    };
    const Row rows[] = {
        {0, kZero, {}},
        {18, kBasicConnectExtensions,
         contiguous(15, {{2, {U, U, nullptr}},
                         {3, {NE, E, mbim_format_MS_LTE_ATTACH_CONFIG_response}},
                         {15, {U, NE, nullptr}}})},
        {1, kBasicConnect, contiguous(16, {{1, {U, E, nullptr}}, {16, {U, E, nullptr}}})},
        {22, kFiveGTools, {{0, unsupported}, {4, {NE, E, mbim_format_MBIM_SAR_ANTT_PROFILE_response}}}},
        {23, kOemCustom, {{0, unsupported}, {3, {U, E, nullptr}}, {50, {U, NE, nullptr}}}},
        {-1, kAllFF, {}},
    };
    for (int r = 0; r < CID_TABLE_ROWS; r++) {
        SCOPED_TRACE(r);
        const cid_table_row& row = cid_table[r];
        EXPECT_EQ(row.uuid_index, rows[r].uuid_index);
        EXPECT_TRUE(IsEqualGUID(row.uuid, rows[r].uuid));
        size_t slot = 0;
        for (; slot < rows[r].entries.size(); slot++) {
            const cid_table_entry& entry = row.entries[slot];
            const Handlers& expected = rows[r].entries[slot].second;
            EXPECT_EQ(entry.cid, rows[r].entries[slot].first) << slot;
            EXPECT_EQ(entry.set_handler, expected.set) << slot;
            EXPECT_EQ(entry.query_handler, expected.query) << slot;
            EXPECT_EQ(entry.response_handler, expected.response) << slot;
            EXPECT_EQ(entry.unused, nullptr);
            EXPECT_EQ(entry.notification_handler, nullptr);
        }
        const cid_table_entry& end = row.entries[slot];
        EXPECT_EQ(end.cid, CID_TABLE_END);
        EXPECT_EQ(end.set_handler, U);
        EXPECT_EQ(end.query_handler, U);
        EXPECT_EQ(end.response_handler, UR);
        for (slot++; slot < CID_TABLE_SLOTS; slot++)
            EXPECT_EQ(row.entries[slot].cid, 0) << slot;
    }
}

TEST(CommandTable, SearchesFindServicesAndCids)
{
    struct Case {
        GUID uuid;
        uint32_t cid;
        int32_t uuid_index;
        int32_t slot;                 // -1: no entry
        cid_request_handler query;    // of the entry found
    } cases[] = {
        {kZero, 0, 0, -1, nullptr},           // the zero service has no CIDs
        {kAllFF, 0, -1, -1, nullptr},         // the end row is never matched
        {kBasicConnect, 17, 1, -1, nullptr},  // not listed
        {kBasicConnect, 2, 1, 2, U},
        {kBasicConnect, 1, 1, 1, E},
        {kBasicConnect, 6, 1, 6, U},
        {kBasicConnectExtensions, 6, 18, 6, U},
        {kBasicConnectExtensions, 15, 18, 15, NE},
        {kFiveGTools, 0, 22, 0, U},
        {kFiveGTools, 4, 22, 1, E},
        {kOemCustom, 50, 23, 2, NE},
        {kOemCustom, CID_TABLE_END, 23, -1, nullptr}, // the end entry is never found
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.uuid.Data1 << " cid " << std::dec << c.cid);
        EXPECT_EQ(g_command_table_mgr.find_uuid_index(c.uuid), c.uuid_index);
        EXPECT_EQ(g_command_table_mgr.find_cid_index(c.uuid, c.cid), c.slot);
        const cid_table_entry* entry = g_command_table_mgr.get_cid_table_entry(c.uuid, c.cid);
        if (c.slot < 0) {
            EXPECT_EQ(entry, nullptr);
        } else {
            ASSERT_NE(entry, nullptr);
            EXPECT_EQ(entry->cid, static_cast<int32_t>(c.cid));
            EXPECT_EQ(entry->query_handler, c.query);
        }
    }
}

TEST(CommandTable, UuidOfAServiceNumber)
{
    struct Case {
        int32_t uuid_index;
        GUID uuid;
    } cases[] = {{1, kBasicConnect}, {18, kBasicConnectExtensions}, {22, kFiveGTools}, {23, kOemCustom},
                 {0, kZero},         {100, kZero},                  {-1, kZero}};
    for (const Case& c : cases)
        EXPECT_TRUE(IsEqualGUID(g_command_table_mgr.get_uuid_from_index(c.uuid_index), c.uuid)) << c.uuid_index;
}

using CommandTableLog = tracetest::TraceTest;

TEST_F(CommandTableLog, EntrySearchLogsItsSteps)
{
    g_command_table_mgr.get_cid_table_entry(kBasicConnect, 17);
    EXPECT_THAT(tracetest::Texts(),
                testing::IsSupersetOf({"get_cid_table_entry++  ,  uuid= 0xA289CC33 bcbb 8b4f , cid = 17",
                                       "find_uuid_index-- matched at index = 2 and uuid index is 1",
                                       "find_cid_index-- Caution!, No matched for cid : 17 ",
                                       "get_cid_table_entry--  NO match! in CID : 17 "}));
    Clear();
    g_command_table_mgr.get_uuid_from_index(100);
    EXPECT_THAT(tracetest::Texts(), testing::ElementsAre("get_uuid_from_index-- didnt matched uuid index = 100 "));
}

TEST(MbimByteOrder, ServiceUuidTravelsBigEndianAndBack)
{
    const uint8_t wire[16] = {0xa2, 0x89, 0xcc, 0x33, 0xbc, 0xbb, 0x8b, 0x4f,
                              0xb6, 0xb0, 0x13, 0x3e, 0xc2, 0xaa, 0xe6, 0xdf};
    uint8_t written[16];
    mbim_uuid_to_wire(kBasicConnect, written);
    EXPECT_EQ(memcmp(written, wire, sizeof(wire)), 0);
    EXPECT_TRUE(IsEqualGUID(mbim_uuid_from_wire(wire), kBasicConnect));
    EXPECT_EQ(mbim_bswap16(0x1234), 0x3412);
    EXPECT_EQ(mbim_bswap32(0x12345678u), 0x78563412u);
}

} // namespace
