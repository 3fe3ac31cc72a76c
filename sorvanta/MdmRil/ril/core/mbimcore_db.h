// The RIL core's static database: the two mailboxes, the running flag, the worker's thread record and
// the request-context table's lock. The life cycle fills and empties it.
#pragma once

#include "os_util.h"
#include "sys_mbox.h"

#include <atomic>

#define MBIMCORE_MSG_MBOX_NAME "Localmbimmbox1"
#define MBIMCORE_IO_MBOX_NAME "LocalmbimIOmbox1"

struct _MbimCoreDataBase {
    sys_mbox* msg_mbox;
    sys_mbox* io_mbox;
    // 1 while the core runs; read by posters on any thread.
    std::atomic<int> s_ril_init;
    HANDLE exit_event;
    os_thread_rec worker;
    CRITICAL_SECTION ctxt_lock;
    uint8_t ctxt_lock_inited;
    HANDLE sleep_event;
};

extern _MbimCoreDataBase g_MbimCoreDb;
