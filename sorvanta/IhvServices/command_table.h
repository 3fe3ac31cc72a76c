// The UUID/CID command table: which services and CIDs the front serves, with the handler that turns a
// set or a query into a RIL request and the formatter of the answer, and the one manager that searches
// it. UUIDs are in GUID order here; a command's wire UUID is converted before the search.
#pragma once

#include <windows.h>

#include <stdint.h>

class MbimCommandRequest;
class MbimIndicationStatus;

typedef int (*cid_request_handler)(int32_t uuid_index, uint32_t cid, uint8_t is_set, MbimCommandRequest* request,
                                   uint8_t* payload, uint32_t length);
typedef int (*cid_response_handler)(int32_t uuid_index, uint32_t cid, uint8_t is_set,
                                    MbimCommandRequest* request, const uint8_t* response, uint32_t length);
typedef int (*cid_notification_handler)(MbimIndicationStatus* indication);

// cid 0xFFFF ends a row's list. An empty set or query slot means the generic request mapping, an
// empty response slot the transparent formatter, an empty notification slot an unchanged payload.
struct cid_table_entry {
    int32_t cid;
    cid_request_handler set_handler;
    cid_request_handler query_handler;
    cid_response_handler response_handler;
    const void* unused;
    cid_notification_handler notification_handler;
};

#define CID_TABLE_END 0xFFFF
#define CID_TABLE_SLOTS 30
#define CID_TABLE_ROWS 6

struct cid_table_row {
    int32_t uuid_index;
    GUID uuid;
    cid_table_entry entries[CID_TABLE_SLOTS];
};

// The internal service number of the MBIM OPEN (cid 1) and CLOSE (cid 2) handed to the RIL core; no
// row carries it.
#define UUID_INDEX_MBIM_MESSAGE 100

extern const cid_table_row cid_table[CID_TABLE_ROWS];

class command_table_mgr {
public:
    constexpr command_table_mgr(const cid_table_row* rows, int32_t count) : m_rows(rows), m_count(count) {}

    // The service number of the first searched row with this UUID; -1 when none.
    int32_t find_uuid_index(const GUID& uuid) const;
    // The slot of `cid` in the UUID's row; -1 when the UUID or the cid is not listed.
    int32_t find_cid_index(const GUID& uuid, uint32_t cid) const;
    const cid_table_entry* get_cid_table_entry(const GUID& uuid, uint32_t cid) const;
    // The UUID of the first searched row with this service number; all zero when none.
    GUID get_uuid_from_index(int32_t uuid_index) const;

private:
    // The last row is the end row and is never searched.
    int32_t SearchedRows() const { return m_count - 1; }
    const cid_table_row* RowOf(int32_t uuid_index) const;

    const cid_table_row* m_rows;
    int32_t m_count;
};

extern const command_table_mgr g_command_table_mgr;
