// The RIL core's static database: the two mailboxes, the running flag, the worker's thread record, the
// request-context table's lock, the receive buffer and the modem-side and SAR state kept beside them.
// The life cycle fills and empties it.
#pragma once

#include "os_util.h"
#include "sys_mbox.h"

#include <atomic>
#include <stdint.h>

#define MBIMCORE_MSG_MBOX_NAME "Localmbimmbox1"
#define MBIMCORE_IO_MBOX_NAME "LocalmbimIOmbox1"
#define MBIMCORE_EXIT_EVENT_NAME "LocalMbimCOreex1"
#define MBIMCORE_WORKER_NAME "LocalMbimcorehandlerThd1"

// Host and modem messages are read into this buffer; a larger announced length gets its own block.
#define MBIMCORE_RCV_BUF_SIZE 65536

// DeviceMode / Index while the modem has accepted none.
#define MBIMCORE_SAR_NOT_SET 0xFFFF

struct _MbimCoreDataBase {
    _MbimCoreDataBase();
    // Forgets the SAR and regulatory state. The context-table lock keeps its mark: the stop deletes it
    // only once the worker has ended, and a worker that outlived the stop may still take it.
    static void Reset(_MbimCoreDataBase* database);

    sys_mbox* msg_mbox;
    sys_mbox* io_mbox;
    // 1 while the core runs; written and tested under the core gate (below).
    std::atomic<int> s_ril_init;
    HANDLE exit_event;
    os_thread_rec worker;
    CRITICAL_SECTION ctxt_lock;
    uint8_t ctxt_lock_inited;
    HANDLE sleep_event;
    uint8_t rcv_buf[MBIMCORE_RCV_BUF_SIZE]; // the worker's only
    // Set while the modem's MBIM OPEN stands; read without a lock on the device-mode client's thread.
    std::atomic<uint32_t> mbim_open_done;
    // SAR and regulatory state.
    uint8_t sar_pending;
    uint32_t DeviceMode;
    uint32_t Index;
    uint8_t regulatory_mode_set;
    char mcc[4];
};

extern _MbimCoreDataBase g_MbimCoreDb;

// The core gate: held by whoever tests s_ril_init and then uses the mailboxes (the posters, the I/O
// switch and query, the queue clean-up) and by the stop while it clears s_ril_init and takes the
// mailboxes away, so that no post reaches a freed mailbox. Taken before any mailbox lock.
class MbimCoreGate {
public:
    MbimCoreGate();
    ~MbimCoreGate();
    MbimCoreGate(const MbimCoreGate&) = delete;
    MbimCoreGate& operator=(const MbimCoreGate&) = delete;
};
