#include "command_table.h"

#include "ihv_log.h"
#include "mbimcorehandlers.h"

#include <initializer_list>

namespace {

constexpr cid_table_entry Entry(int32_t cid, cid_request_handler set, cid_request_handler query,
                                cid_response_handler response)
{
    return {cid, set, query, response, nullptr, nullptr};
}

// Listed but not served: status NO_DEVICE_SUPPORT. End entries carry the same handlers.
constexpr cid_table_entry Unsupported(int32_t cid)
{
    return Entry(cid, mbim_cid_handler_UNSUPPORTED, mbim_cid_handler_UNSUPPORTED, mbim_cid_handler_UNSUPPORTED_resp);
}

// A row that lists `listed` in slot order, then the end entry; the slots after it stay zero.
constexpr cid_table_row Row(int32_t uuid_index, const GUID& uuid, std::initializer_list<cid_table_entry> listed)
{
    cid_table_row row{uuid_index, uuid, {}};
    int slot = 0;
    for (const cid_table_entry& entry : listed)
        row.entries[slot++] = entry;
    row.entries[slot] = Unsupported(CID_TABLE_END);
    return row;
}

// A row that lists every cid from 0 to `last` in slot order (slot n is cid n), unsupported unless
// `served` gives the cid's entry.
constexpr cid_table_row ContiguousRow(int32_t uuid_index, const GUID& uuid, int32_t last,
                                      std::initializer_list<cid_table_entry> served)
{
    cid_table_row row{uuid_index, uuid, {}};
    for (int32_t cid = 0; cid <= last; cid++)
        row.entries[cid] = Unsupported(cid);
    for (const cid_table_entry& entry : served)
        row.entries[entry.cid] = entry;
    row.entries[last + 1] = Unsupported(CID_TABLE_END);
    return row;
}

constexpr GUID kZeroUuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr GUID kBasicConnectExtensions = {0x3D01DCC5, 0xFEF5, 0x4D05, {0x0D, 0x3A, 0xBE, 0xF7, 0x05, 0x8E, 0x9A, 0xAF}};
constexpr GUID kBasicConnect = {0xA289CC33, 0xBCBB, 0x8B4F, {0xB6, 0xB0, 0x13, 0x3E, 0xC2, 0xAA, 0xE6, 0xDF}};
constexpr GUID kFiveGTools = {0x4ADA4962, 0xB988, 0x46C3, {0x87, 0xA7, 0x97, 0xF2, 0x0F, 0x99, 0x4A, 0xBB}};
constexpr GUID kOemCustom = {0x613A2C9F, 0x7579, 0x4BE2, {0xBF, 0x30, 0x94, 0xDC, 0x8F, 0xE4, 0x7B, 0x1C}};
constexpr GUID kEndUuid = {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};

constexpr auto U = mbim_cid_handler_UNSUPPORTED;
constexpr auto NE = mbim_cid_map_request_generic_non_empty_data;
constexpr auto E = mbim_cid_map_request_generic_empty_data;

// Every row ends its list within its slots and leaves the slots after the end entry empty.
constexpr bool RowsEndInTheirSlots(const cid_table_row* rows, int count)
{
    for (int r = 0; r < count; r++) {
        int slot = 0;
        while (slot < CID_TABLE_SLOTS && rows[r].entries[slot].cid != CID_TABLE_END)
            slot++;
        if (slot == CID_TABLE_SLOTS)
            return false;
        for (slot++; slot < CID_TABLE_SLOTS; slot++)
            if (rows[r].entries[slot].cid != 0 || rows[r].entries[slot].set_handler != nullptr)
                return false;
    }
    return true;
}

} // namespace

constexpr cid_table_row cid_table[CID_TABLE_ROWS] = {
    Row(0, kZeroUuid, {}),
    ContiguousRow(18, kBasicConnectExtensions, 15,
                  {Entry(2, U, U, nullptr), Entry(3, NE, E, mbim_format_MS_LTE_ATTACH_CONFIG_response),
                   Entry(15, U, NE, nullptr)}),
    ContiguousRow(1, kBasicConnect, 16, {Entry(1, U, E, nullptr), Entry(16, U, E, nullptr)}),
    Row(22, kFiveGTools, {Unsupported(0), Entry(4, NE, E, mbim_format_MBIM_SAR_ANTT_PROFILE_response)}),
    Row(23, kOemCustom, {Unsupported(0), Entry(3, U, E, nullptr), Entry(50, U, NE, nullptr)}),
    Row(-1, kEndUuid, {}),
};
static_assert(RowsEndInTheirSlots(cid_table, CID_TABLE_ROWS), "a command table row lacks its end entry");

constexpr command_table_mgr g_command_table_mgr(cid_table, CID_TABLE_ROWS);

int32_t command_table_mgr::find_uuid_index(const GUID& uuid) const
{
    for (int32_t row = 0; row < SearchedRows(); row++) {
        if (IsEqualGUID(m_rows[row].uuid, uuid)) {
            IHV_LOG_VERBOSE("%s-- matched at index = %d and uuid index is %d", __func__, row, m_rows[row].uuid_index);
            return m_rows[row].uuid_index;
        }
    }
    IHV_LOG_VERBOSE("-- uuid index not found ");
    return -1;
}

const cid_table_row* command_table_mgr::RowOf(int32_t uuid_index) const
{
    for (int32_t row = 0; row < SearchedRows(); row++)
        if (m_rows[row].uuid_index == uuid_index)
            return &m_rows[row];
    return nullptr;
}

int32_t command_table_mgr::find_cid_index(const GUID& uuid, uint32_t cid) const
{
    int32_t uuid_index = find_uuid_index(uuid);
    IHV_LOG_VERBOSE("queried uuid index = %d", uuid_index);
    if (uuid_index >= 0) {
        for (int32_t row = 0; row < SearchedRows(); row++) {
            if (m_rows[row].uuid_index != uuid_index)
                continue;
            IHV_LOG_VERBOSE("%s-- matched uuid index = %d", __func__, uuid_index);
            for (int32_t slot = 0; slot < CID_TABLE_SLOTS && m_rows[row].entries[slot].cid != CID_TABLE_END; slot++) {
                if (static_cast<uint32_t>(m_rows[row].entries[slot].cid) == cid) {
                    IHV_LOG_VERBOSE("find_cid_index-- ok, matched CID index %d", slot);
                    return slot;
                }
            }
        }
    }
    IHV_LOG_VERBOSE("find_cid_index-- Caution!, No matched for cid : %d ", cid);
    return -1;
}

const cid_table_entry* command_table_mgr::get_cid_table_entry(const GUID& uuid, uint32_t cid) const
{
    IHV_LOG_VERBOSE("%s++  ,  uuid= 0x%08lX %02x %02x , cid = %d", __func__, uuid.Data1, uuid.Data2, uuid.Data3, cid);
    int32_t slot = find_cid_index(uuid, cid);
    int32_t uuid_index = find_uuid_index(uuid);
    if (slot < 0 || uuid_index < 0) {
        IHV_LOG_VERBOSE("%s--  NO match! in CID : %d ", __func__, cid);
        return nullptr;
    }
    const cid_table_row* row = RowOf(uuid_index);
    if (row == nullptr)
        return nullptr;
    IHV_LOG_VERBOSE("%s--  matched uuid index = %d, CID index %d ", __func__, uuid_index, slot);
    return &row->entries[slot];
}

GUID command_table_mgr::get_uuid_from_index(int32_t uuid_index) const
{
    const cid_table_row* row = RowOf(uuid_index);
    if (row == nullptr) {
        IHV_LOG_VERBOSE("%s-- didnt matched uuid index = %d ", __func__, uuid_index);
        return m_rows[0].uuid;
    }
    IHV_LOG_VERBOSE("%s-- matched uuid index = %d ", __func__, uuid_index);
    return row->uuid;
}
