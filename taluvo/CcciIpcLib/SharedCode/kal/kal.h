// The kernel support layer: the Linux-driver objects the host-interface code is written against
// (tasklets, work items, timers, threads, waits, memory, bitmaps, device records), built on the driver
// framework and the executive. Framework objects made here hang off the current modem device.
#pragma once

#include "kal_types.h"
#include "skbuff.h"

// ---------------------------------------------------------------------------------------------
// Deferred execution. Tasklets run at DISPATCH_LEVEL and are not serialised by the framework; work
// items and context timers run at PASSIVE_LEVEL, each serialised against itself by its parent queue.

// Context of tasklets, work items (data and value) and context timers (data only).
typedef struct _WWAN_OBJ_CONTEXT {
    PVOID data;
    LONG value;
} WWAN_OBJ_CONTEXT, *PWWAN_OBJ_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE(WWAN_OBJ_CONTEXT);

typedef void TIMER_EX_CALLBACK(WDFTIMER* timer);

// Context of callback timers: the caller's timer variable and the function called with it.
typedef struct _TIMER_CB_CONTEXT {
    WDFTIMER* timer;
    TIMER_EX_CALLBACK* callback;
} TIMER_CB_CONTEXT, *PTIMER_CB_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE(TIMER_CB_CONTEXT);

// A manual, not power-managed queue on the current modem device whose execution level (2 passive,
// 3 dispatch) and queue-wide synchronisation its children inherit; none when it cannot be created.
#define IPC_QUEUE_LEVEL_PASSIVE 2
#define IPC_QUEUE_LEVEL_DISPATCH 3
WDFQUEUE IpcCreateQueueSynchronizationParentObject(int level);

NTSTATUS _tasklet_init(WDFDPC* tasklet, PFN_WDF_DPC func, PVOID data, LONG value);
NTSTATUS workitem_init(WDFWORKITEM* work, PFN_WDF_WORKITEM func, PVOID data, LONG value);
NTSTATUS win_create_timer(WDFTIMER* timer, PFN_WDF_TIMER func, bool high_resolution);
NTSTATUS win_create_timer_ctx(WDFTIMER* timer, PFN_WDF_TIMER func, bool high_resolution, PVOID data);
NTSTATUS win_create_timer_ex(WDFTIMER* timer, TIMER_EX_CALLBACK* func, bool high_resolution);
EVT_WDF_TIMER _TIMER_EX_CB;

// Deletes the object together with the parent queue made for it (device-parented timers alone) and
// clears the handle; a cleared handle is left alone. The DPC is cancelled and waited for, the work item
// flushed, the timer stopped and waited for, so callers are at PASSIVE_LEVEL and outside the callback.
void tasklet_kill(WDFDPC* tasklet);
void workitem_destroy(WDFWORKITEM* work);
void win_delete_timer(WDFTIMER* timer);

NTSTATUS win_create_thread(PHANDLE thread, PKSTART_ROUTINE start, PVOID context);
// Waits (timeout in 100 ns units, negative relative) until every thread made by win_create_thread has
// returned; false when some still run at the timeout.
bool win_wait_threads_ended(LONGLONG timeout);

// ---------------------------------------------------------------------------------------------
// Waits and delays on caller-owned notification events; timeouts in 100 ns units, negative relative.
bool win_wait_event_interruptible_timeout(PKEVENT event, bool skip, LONGLONG timeout);
int win_wait_interruptible(PKEVENT event);
int win_wait_once(PKEVENT event, LONGLONG timeout);
// Refuses more than THREAD_WAIT_OBJECTS events (there is no wait-block array): true means failed.
bool win_wait_any_event(ULONG count, PKEVENT* events, int* index);
void msleep(u32 ms);
void udelay(u32 us);

// ---------------------------------------------------------------------------------------------
// Memory. Flag bit 0 asks for physically contiguous memory, which is released by the same flag.
#define WIN_MEM_CONTIGUOUS 0x1u

void* win_alloc(size_t size, u32 flags, u32 tag);
void* win_zalloc(size_t size, u32 flags, u32 tag);
void win_free(void* buffer, u32 tag);
// Releases win_alloc memory of either kind, as its flags say.
void win_free_ex(void* buffer, u32 flags, u32 tag);
void win_zero_io(void* destination, size_t n, u32 tag);

// A 32-bit device register at a byte offset from a mapped window; the host routes it to the device.
static inline u32 win_reg_read(const volatile u8* base, u32 offset)
{
    return READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(const_cast<volatile u8*>(base) + offset));
}
static inline void win_reg_write(volatile u8* base, u32 offset, u32 value)
{
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(base + offset), value);
}

struct device_node;
// From a common buffer of the device's DMA enabler, else from win_zalloc; zero-filled.
void* dma_alloc_coherent(struct device_node* dev, size_t size, u64* dma_handle, u32 flags, u32 tag);
// Releases what dma_alloc_coherent gave with the same device, size and flags: a common buffer is
// deleted (found by its address), other memory freed.
void dma_free_coherent(struct device_node* dev, size_t size, void* vaddr, u64 dma_handle, u32 flags, u32 tag);

// ---------------------------------------------------------------------------------------------
// Bitmaps: arrays of 64-bit words, bit n in word n / 64. Not atomic: sharers hold their own lock.
void set_bit(u32 nr, u64* addr);
void clear_bit(u32 nr, u64* addr);
int test_bit(u32 nr, const u64* addr);
int test_and_set_bit(u32 nr, u64* addr);
// 1-based index of the lowest set bit, 0 for none (named apart from the C library's ffs).
int kal_ffs(u32 x);

// ---------------------------------------------------------------------------------------------
// Device records.

// The generic device record; the PCI device record of the IPC glue starts with a copy of one.
struct device_node {
    s32 devt;
    const char* name; // the caller's text, not copied
    void* context;
    struct device_node* next;
    WDFDMAENABLER dma_enabler;
    WDFCMRESLIST raw_resources;
    WDFCMRESLIST translated_resources;
    void* driver_data;
};

struct device_class {
    struct device_node* head;
    struct device_node* tail;
};

int win_nop(void);
int alloc_chrdev_region(s32* dev, u32 first_minor, u32 count, const char* name);
struct device_class* class_create(void* owner, const char* name, u32 tag);
struct device_node* device_create(struct device_class* cls, struct device_node* parent, s32 devt,
                                  void* drvdata, u32 tag, const char* name);
void device_destroy(struct device_class* cls, s32 devt, u32 tag);

#define IFNAMSIZ 16

struct net_device;
struct sk_buff;
struct ccmni_tx_request;
struct _IPC_PORT_FUNCTION;
struct _IPC_LINK_RECORD;

// A net device's operations, in slot order: open, close, start transmit.
struct net_device_ops {
    int (*ndo_open)(struct net_device* dev);
    int (*ndo_stop)(struct net_device* dev);
    int (*ndo_start_xmit)(struct sk_buff* first, struct net_device* dev, struct ccmni_tx_request* request);
};

// Counters of a net device; the three in the middle are kept for the layout only.
struct net_device_stats {
    u64 rx_packets;
    u64 tx_packets;
    u64 rx_bytes;
    u64 tx_bytes;
    u64 rx_errors;
    u64 tx_errors;
    u64 rx_dropped;
    u64 tx_dropped;
};

// The net device of a ccmni instance.
struct net_device {
    char name[IFNAMSIZ];
    void* priv;    // private area, just past the fixed part aligned up to 32 bytes
    u16 alloc_pad; // distance from the allocation start to the record
    struct _IPC_PORT_FUNCTION* link_entry; // the net-link entry shared by all links (IpcNetAdd)
    struct _IPC_LINK_RECORD* link_record;  // this link's binding record (IpcNetAdd)
    const struct net_device_ops* netdev_ops;
    u32 mtu;
    u32 index; // the instance index, also the net-link index
    u16 needed_headroom;
    struct net_device_stats stats;
};

struct net_device* alloc_netdev(int sizeof_priv, const char* name, u8 name_assign_type,
                                void (*setup)(struct net_device*), u32 tag);
void free_netdev(struct net_device* dev, u32 tag);

// Copies between kernel buffers; non-zero on failure.
unsigned long copy_from_user(void* to, const void* from, unsigned long n);
unsigned long copy_to_user(void* to, unsigned long to_size, const void* from, unsigned long n);

// ---------------------------------------------------------------------------------------------
// The chip's PCI bus driver, handed to the IPC glue, which binds it to the modem device.
typedef struct _IPC_PCI_DEVICE IPC_PCI_DEVICE;
struct dev_pm_ops;

struct pci_device_id {
    u32 vendor;
    u32 device;
    u32 subvendor;
    u32 subdevice;
    u32 class_code;
    u32 class_mask;
    ULONG_PTR driver_data;
};

struct pci_driver {
    const char* name;
    IPC_PCI_DEVICE* dev; // the bound device record
    const struct dev_pm_ops* pm;
    const struct pci_device_id* id_table;
    int (*probe)(IPC_PCI_DEVICE* pdev, const struct pci_device_id* id);
    void (*remove)(IPC_PCI_DEVICE* pdev);
};

// The bus driver's power operations, called by the glue's D0 exit and entry.
struct dev_pm_ops {
    int (*suspend)(IPC_PCI_DEVICE* pdev);
    int (*resume)(IPC_PCI_DEVICE* pdev);
    int (*resume_noirq)(IPC_PCI_DEVICE* pdev);
};

int pci_register_driver(struct pci_driver* drv, u32 tag);
void pci_unregister_driver(struct pci_driver* drv, u32 tag);
