// The modem device's own I/O: the three queues, the device-control codes that user-mode tools send
// through the device interface (resets, the log-dump handshake, the dump switches, notices that are
// only traced), and reads and writes that complete at once.
#pragma once

#include <wdf.h>
#include <devioctl.h>

#include "MbbDevice.h"

#define MBB_IOCTL(Function, Method) CTL_CODE(0x22, Function, Method, FILE_ANY_ACCESS)

// The network statistics query, which this device does not serve.
#define IOCTL_MBB_NDIS_QUERY_GLOBAL_STATS CTL_CODE(0x17, 0, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_MBB_FUNCTION_RESET MBB_IOCTL(0x601, METHOD_BUFFERED)
#define IOCTL_MBB_PLATFORM_RESET MBB_IOCTL(0x602, METHOD_BUFFERED)
// 0x603 is the library's modem-I/O-asleep notice (IOCTL_WWAN_MODEM_IO_ASLEEP_NOTIFY).
#define IOCTL_MBB_LOG_DUMP_DONE MBB_IOCTL(0x701, METHOD_BUFFERED)
#define IOCTL_MBB_DUMP_PLATFORM_RESET MBB_IOCTL(0x702, METHOD_BUFFERED)
#define IOCTL_MBB_FULL_DUMP_OFF MBB_IOCTL(0x703, METHOD_BUFFERED)
#define IOCTL_MBB_DUMPS_ON MBB_IOCTL(0x704, METHOD_BUFFERED)
#define IOCTL_MBB_MINIDUMP_ONLY MBB_IOCTL(0x705, METHOD_BUFFERED)
#define IOCTL_MBB_DUMPS_OFF MBB_IOCTL(0x706, METHOD_BUFFERED)
#define IOCTL_MBB_TRACE_IN MBB_IOCTL(0x909, METHOD_IN_DIRECT)
#define IOCTL_MBB_TRACE_OUT MBB_IOCTL(0x910, METHOD_OUT_DIRECT)
#define IOCTL_MBB_TRACE MBB_IOCTL(0x911, METHOD_BUFFERED)

typedef struct _QUEUE_CONTEXT {
    PMBB_DEVICE_CONTEXT DeviceContext;
} QUEUE_CONTEXT, *PQUEUE_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(QUEUE_CONTEXT, GetQueueContext);

// Creates IoctlQueue, ReadQueue and WriteQueue and routes device controls, reads and writes to them;
// the first failure.
NTSTATUS MbbDeviceQueueInitialize(WDFDEVICE Device);

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL MbbDeviceEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_READ MbbDeviceEvtIoRead;
EVT_WDF_IO_QUEUE_IO_WRITE MbbDeviceEvtIoWrite;
EVT_WDF_IO_QUEUE_IO_STOP MbbDeviceEvtIoStop;
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE MbbDeviceEvtIoCanceledOnQueue;
