// The four port kinds the tables name: character ports (the data channels, driven by the miniport's SIO
// layer as character devices), the system port, the control ports and the poll port. Their operation
// records are declared with the port record in ccci_port.h.
#pragma once

#include "ccci_port.h"

#define PORT_CHAR_TAG_TEXT "PORT_CHAR"
#define PORT_SYS_TAG_TEXT "PORT_SYS"

#define PORT_CHAR_RX_LIMIT 32
#define PORT_MSG_RX_LIMIT 16

// A write leaves this much of the HIF's limit for the header and the engine.
#define PORT_CHAR_TX_RESERVE 128

// File flag: reads, writes and polls do not block.
#define SIO_F_NONBLOCK 0x800u

// Poll mask bits.
#define SIO_POLL_IN 0x01u
#define SIO_POLL_OUT 0x04u
#define SIO_POLL_ERR 0x08u
#define SIO_POLL_RDNORM 0x40u
#define SIO_POLL_WRNORM 0x100u

// Control message 9 answered with this argument when the enumeration was refused.
#define CCCI_ENUM_REFUSED 0x00657272u

// ---------------------------------------------------------------------------------------------
// The record through which the SIO layer drives a character device (a port, or the state machine's
// monitor). Open and release receive the address of `inode`, which points back at the record.
struct sio_file {
    void* private_data; // the port bound by open
    u32 f_flags;        // SIO_F_NONBLOCK
};

struct sio_device;
struct ccci_char_fops {
    void* reserved;
    int (*open)(struct sio_device** inode, struct sio_file* file);
    int (*release)(struct sio_device** inode, struct sio_file* file);
    SSIZE_T (*read)(struct sio_file* file, u8* buffer, size_t length);
    SSIZE_T (*write)(struct sio_file* file, const u8* buffer, size_t length);
    u32 (*poll)(struct sio_file* file, void* table);
    int (*ioctl)(struct sio_file* file, u32 code, ULONG_PTR argument);
};

typedef NTSTATUS (*sio_data_callback)(struct sio_device* sio);

struct sio_device {
    u32 devt; // (major << 16) | (minor_base + minor)
    u32 sio_arg;
    void* port_function; // the miniport's IPC_PORT_FUNCTION
    const struct ccci_char_fops* fops;
    struct sio_device* inode;
    struct sio_file file;
    sio_data_callback data_callback; // called each time the port queues a received buffer
    void* callback_context;
    u64 callback_arg;
    struct sio_device* self_ref;
    WDFQUEUE io_queues[3];
    WDFSPINLOCK sio_lock;
};

extern const struct ccci_char_fops ccci_char_fops;

// ---------------------------------------------------------------------------------------------
// Common receive of every kind: 0 (queued or consumed), CCCI_RX_BUSY (queue full, the caller keeps the
// buffer) or CCCI_RX_DROPPED (the caller releases it).
int port_recv_skb(struct ccci_port* port, struct sk_buff* skb);

// The run-time flag bits change while the receive path reads them: atomically, on any thread.
u32 port_flags(const struct ccci_port* port);
void port_flags_set(struct ccci_port* port, u32 bits);
void port_flags_clear(struct ccci_port* port, u32 bits);
// Releases every buffer queued on the port, under its queue lock; returns how many.
u32 port_purge_rx(struct ccci_port* port);

// Character ports.
int port_char_init(struct ccci_port* port);
void port_char_uninit(struct ccci_port* port);
int port_char_recv_skb(struct ccci_port* port, struct sk_buff* skb);
void port_char_md_state_notify(struct ccci_port* port, u32 md_state);
int port_char_get_usage(struct ccci_port* port);
int port_char_enable_channel(struct ccci_port* port);
int port_char_disable_channel(struct ccci_port* port);
// Makes the device node follow `enabled`: 0, or the node creation's result.
int port_char_apply(struct ccci_port* port);

int port_char_open(struct sio_device** inode, struct sio_file* file);
int port_char_release(struct sio_device** inode, struct sio_file* file);
SSIZE_T port_char_read(struct sio_file* file, u8* buffer, size_t length);
SSIZE_T port_char_write(struct sio_file* file, const u8* buffer, size_t length);
u32 port_char_poll(struct sio_file* file, void* table);
int port_char_ioctl(struct sio_file* file, u32 code, ULONG_PTR argument);

// Message ports. The system and control ports run a thread that feeds their handler; uninit ends it.
int port_sys_init(struct ccci_port* port);
int port_ctrl_init(struct ccci_port* port);
int port_poll_init(struct ccci_port* port);
void port_msg_uninit(struct ccci_port* port);
void port_thread(PVOID context);
void port_sys_handler(struct ccci_port* port, struct sk_buff* skb);
void port_ctrl_handler(struct ccci_port* port, struct sk_buff* skb);
void port_poll_handler(struct ccci_port* port, struct sk_buff* skb);

// The registry of system-message callbacks: table A for ids whose bits 0x1100 read 0x1000, table B
// for 0x100, each indexed by the id's low byte (below 64).
typedef void (*ccci_sys_msg_cb)(u32 md, u32 argument);
#define CCCI_SYS_MSG_SLOTS 64
// 0, or -22 for an id no table holds.
int ccci_sys_msg_register(u32 md, u32 id, ccci_sys_msg_cb callback);
void ccci_sys_msg_dispatch(u32 md, u32 id, u32 argument);

// ---------------------------------------------------------------------------------------------
// Trace dumps of a port's frames. Text: at most the first 32 bytes, printable ones as they are, tab,
// newline and return escaped, others as "[XX]", ending once 28 characters are held. Hex: at most the
// first 16 bytes as four little-endian words (missing bytes read 0). Returns the length written, always
// terminated within `size`.
#define PORT_DUMP_TEXT_BYTES 32u
#define PORT_DUMP_TEXT_CHARS 28u
#define PORT_DUMP_HEX_BYTES 16u
u32 port_dump_format(const u8* data, u32 length, bool hex, char* out, u32 size);
