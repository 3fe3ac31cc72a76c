// The CCCI ports: the logical channels that the modem's control traffic is divided into. Each row of the
// two static tables (the normal one and the boot one used while the boot ROM or the dump stage runs) is
// the port's record at run time. The port layer keeps one proxy per modem: the active table, the lookups
// that find the port of a received frame, and the sends that number the frames of each port.
#pragma once

#include "kal.h"

struct ccci_md;
struct ccci_port;
struct ccci_port_proxy;
struct sio_device;

#define CCCI_PORT_TAG_TEXT "CCCI_PORT"
#define CCCI_PORT_TAG 0x704F5254u // 'pORT'

// ---------------------------------------------------------------------------------------------
// The header that starts every frame on a channel (the raw ports of the boot table excepted).
struct ccci_header {
    u32 data0;    // 0: data frame; CCCI_MSG_MARK: message or control frame
    u32 data1;    // data and control frame: whole length, header included; system message: its id
    u16 channel;  // the sender's transmit channel
    u16 seq;      // bits 0-14 the number, bit 15 set when the number is meaningful
    u32 reserved; // 0 in a data frame; a system message's argument
};
static_assert(sizeof(struct ccci_header) == 16, "the CCCI header is 16 bytes");

// The control header after the CCCI header of a control frame, followed by data_len bytes.
struct ccci_ctrl_header {
    u32 id;
    u32 arg;
    u32 data_len;
};
static_assert(sizeof(struct ccci_ctrl_header) == 12, "the control header is 12 bytes");

// The modem's port enumeration (the data of control message 9): this head, then `count` u32 entries.
struct ccci_port_enum_head {
    u32 head;  // CCCI_ENUM_HEAD
    u16 count; // entries that follow
    u16 version;
    u32 tail; // CCCI_ENUM_TAIL
};
static_assert(sizeof(struct ccci_port_enum_head) == 12, "the enumeration head is 12 bytes");

#define CCCI_HEADER_SIZE 16u
#define CCCI_CTRL_FRAME_SIZE 28u // header + control header, no data
#define CCCI_MSG_MARK 0xFFFFFFFFu
#define CCCI_SEQ_VALID 0x8000u
#define CCCI_SEQ_MASK 0x7FFFu
#define CCCI_MAX_CHANNEL 0x20E1u // largest channel of either core
#define CCCI_NO_CHANNEL 0xFFFFu  // the raw ports' channels
#define CCCI_NO_QUEUE 0xFFu

#define CCCI_ENUM_HEAD 0x5A5A5A5Au
#define CCCI_ENUM_TAIL 0xA5A5A5A5u
#define CCCI_ENUM_ENABLE 0x8000u

// Channels the port layer itself knows.
#define CCCI_CONTROL_TX 0x2001u
#define CCCI_CONTROL_RX 0x2000u
#define CCCI_SAP_CONTROL_TX 0x1001u
#define CCCI_SAP_CONTROL_RX 0x1000u
#define CCCI_SYSTEM_TX 0x2003u
#define CCCI_SYSTEM_RX 0x2002u
#define CCCI_POLL_RX 0x2043u
#define CCCI_MD_LOG_TX 0x202Bu
#define CCCI_MD_META_TX 0x2008u

// Control message ids.
#define CCCI_CTRL_HS 1u
#define CCCI_CTRL_PORT_ENUM 9u

// Results of the port layer (beside the Linux-style ones).
#define CCCI_ERR_SEND (-300)     // the send failed, or no such port
#define CCCI_ERR_NO_PROXY (-304) // the modem has no port proxy
#define CCCI_ERR_NO_BUFFER (-305)
#define CCCI_RX_DROPPED (-317) // the buffer was released
#define CCCI_RX_BUSY (-318)    // the port is busy: the caller keeps the buffer and offers it again

// Port flags: static bits from the tables, run-time bits added.
#define PORT_F_RX_DROP 0x1u      // drop received buffers when rx_queue is full (else refuse with -318)
#define PORT_F_RX_FULL 0x2u      // rx_queue was found full
#define PORT_F_USER_HEADER 0x4u  // the writer supplies the header space itself
#define PORT_F_STRIP_HEADER 0x10u
#define PORT_F_DUMP 0x20u        // trace the first bytes of every frame
#define PORT_F_DUMP_HEX 0x40u
#define PORT_F_CHAR_NODE 0x80u   // a character device with an SIO record and a device node
#define PORT_F_RAW 0x200u        // no header; owns its RX queue
#define PORT_F_ENABLED 0x400u    // channel enabled from the start

// Table modes.
#define CCCI_TABLE_NORMAL 0
#define CCCI_TABLE_BOOT 1

#define CCCI_PORT_COUNT 25
#define CCCI_BOOT_PORT_COUNT 2
#define CCCI_PORT_MAX_MD 1
#define CCCI_PORT_HIFS 5
#define CCCI_PORT_QUEUES 16
#define CCCI_PORT_HASH_SIZE 4096
#define CCCI_PORT_HASH_MASK 0xFFFu
#define CCCI_PORT_MINORS 100
#define CCCI_PORT_NO_MINOR 255

// Bits of the proxy's open_flags, by the receive channel of the open port.
#define CCCI_OPEN_CH14 0
#define CCCI_OPEN_TTYC0 1
#define CCCI_OPEN_MD_LOG 2 // the modem log port: a log dump can be collected
#define CCCI_OPEN_MD_META 3

// ---------------------------------------------------------------------------------------------
// The operations of a port kind; the port layer skips empty slots.
struct ccci_port_ops {
    int (*init)(struct ccci_port* port);
    int (*recv_skb)(struct ccci_port* port, struct sk_buff* skb);
    bool (*recv_match)(struct ccci_port* port, u32 channel);
    void (*md_state_notify)(struct ccci_port* port, u32 md_state);
    void (*queue_state_notify)(struct ccci_port* port, int dir, u8 qno, u32 state);
    int (*get_usage)(struct ccci_port* port);
    void (*uninit)(struct ccci_port* port);
    int (*enable_channel)(struct ccci_port* port);
    int (*disable_channel)(struct ccci_port* port);
};

// The four kinds the tables name.
extern const struct ccci_port_ops port_char_ops;
extern const struct ccci_port_ops port_sys_ops;
extern const struct ccci_port_ops port_ctrl_ops;
extern const struct ccci_port_ops port_poll_ops;

typedef void (*ccci_port_rx_handler)(struct ccci_port* port, struct sk_buff* skb);

struct ccci_port {
    // Static, from the table.
    u32 tx_ch;
    u32 rx_ch;
    u8 txq;
    u8 rxq;
    u8 txq_exp; // CCCI_NO_QUEUE: none
    u8 rxq_exp;
    u32 hif_path;
    u32 flags;
    u32 reserved;
    const struct ccci_port_ops* ops;
    u64 minor;
    const char* name;

    // Run time.
    u32 md_id;
    s16 rx_seq; // last accepted number, -1 for none
    u16 tx_seq; // next number to send
    struct ccci_port_proxy* proxy;
    HANDLE thread; // a message port's thread
    volatile LONG usage_cnt;
    LIST_ENTRY hash_link;
    LIST_ENTRY exp_link;
    LIST_ENTRY queue_link;
    u32 major;
    u32 minor_base;
    struct sk_buff_head rx_queue;
    u8 from_pool;
    WDFSPINLOCK enable_lock; // guards enabled and node_created
    WDFWAITLOCK tx_lock;     // serialises the port's senders: one number per frame sent
    KEVENT rx_event;         // a buffer was queued; wakes the message thread
    u32 rx_limit;
    u32 rx_busy_count;
    u32 rx_count;
    u32 drop_count;
    u32 tx_count;
    ccci_port_rx_handler rx_handler;
    u8 enabled;
    u8 node_created;
    struct sio_device* sio;
    HANDLE thread_handle;
    // rx_queue's lock, rx_event and enable_lock exist: made on the first load of the port's table by a
    // proxy and kept across later loads, since a message thread may be waiting on them.
    u8 objects_ready;
};

// ---------------------------------------------------------------------------------------------
// The static tables.
extern struct ccci_port ccci_port_table[CCCI_PORT_COUNT];
extern struct ccci_port ccci_boot_port_table[CCCI_BOOT_PORT_COUNT];

// The table of `mode` for modem md and its row count: 0 and no table for a modem other than 0; the normal
// table for any mode but CCCI_TABLE_BOOT.
int ccci_get_port_table(u32 md, struct ccci_port** table, u32 mode);
int ccci_get_port_count(void);
// Rows of the normal table on HIF path 2 (the data path).
int ccci_count_path2_ports(void);

// The HIF id that carries the port (hif_path_map); CCCI_PORT_HIFS or above for none.
u32 ccci_port_hif(const struct ccci_port* port);

// Header encoding.
struct ccci_header ccci_header_read(const struct sk_buff* skb);
// Appends a header {data0, data1, channel, seq 0, reserved} to an empty buffer; returns it in place.
struct ccci_header* ccci_header_put(struct sk_buff* skb, u32 data0, u32 data1, u32 channel, u32 reserved);
// Stamps `seq` | CCCI_SEQ_VALID into the header at the buffer's data.
void ccci_header_set_seq(struct sk_buff* skb, u16 seq);

// ---------------------------------------------------------------------------------------------
// The proxy.
struct ccci_port_proxy {
    u32 md_id;
    s32 port_count;
    u32 major;
    u32 minor_base;
    volatile LONG open_flags;
    u8 table_mode;
    struct ccci_port* ports;
    struct ccci_port* sys_port;
    struct ccci_port* ctrl_port;
    struct ccci_port* queue_owner[CCCI_PORT_HIFS][CCCI_PORT_QUEUES];
    LIST_ENTRY rx_hash[CCCI_PORT_HASH_SIZE];
    LIST_ENTRY queue_lists[CCCI_PORT_HIFS][CCCI_PORT_QUEUES];
    LIST_ENTRY exp_list;
    char name[30];
};

// The proxy of modem md, or none.
struct ccci_port_proxy* ccci_port_get_proxy(u32 md);

// Life cycle. Create: 0 or -1 (no modem object, no memory, no table); destroy: 0, or -1 without a proxy.
int ccci_port_proxy_create(u32 md, u8 mode);
int ccci_port_proxy_destroy(u32 md);
void ccci_port_switch_table(u32 md, u8 mode);
void ccci_port_switch_table_resume(u32 md, u8 mode);
void ccci_port_reset_seq(u32 md);
void ccci_port_md_state_notify(u32 md, u32 state);
extern "C" int ccci_port_proxy_test_flag(u32 md, u32 bit);
void ccci_port_set_open_flag(struct ccci_port* port);
void ccci_port_clear_open_flag(struct ccci_port* port);

// Lookups: the first match in table order, none without a proxy.
struct ccci_port* ccci_port_get_by_channel(u32 md, u32 channel);
struct ccci_port* ccci_port_get_by_name(u32 md, const char* name);
struct ccci_port* ccci_port_get_by_devt(u32 major, u32 minor);

// Receive, from the HIF engines: >= 0 taken, CCCI_RX_BUSY (the caller keeps the buffer), or
// CCCI_RX_DROPPED (released). C names: tests of the engines put a stand-in in their place at link time.
extern "C" int ccci_port_recv_skb(struct ccci_md* md, u8 hif_id, struct sk_buff* skb);
extern "C" int ccci_port_recv_queue_skb(struct ccci_md* md, u8 hif_id, u8 qno, struct sk_buff* skb);
// The received number (without bit 15); a gap is traced and reported to the modem object.
u16 ccci_port_check_rx_seq(u32 md, struct ccci_port* port, const struct ccci_header* header);
// A TX (dir 1) or RX (dir 0) queue became full (state 3) or has room again (2).
extern "C" void ccci_port_queue_state_notify(u32 md, u8 hif_id, u8 qno, int dir, u32 state);

// Send.
int ccci_port_send_skb(struct ccci_port* port, struct sk_buff* skb, int from_pool, int blocking);
// The checked send of character-port writes: 0, -19 or -16 (modem state), or the HIF's result.
int ccci_port_write_skb(struct ccci_port* port, struct sk_buff* skb, int blocking);
int ccci_port_send_msg_to_md(struct ccci_port_proxy* proxy, u32 channel, u32 id, u32 arg, int blocking);
int ccci_send_msg_to_md(u32 md, u32 channel, u32 id, u32 arg, int blocking);
int ccci_port_send_msg(struct ccci_port* port, u32 id, u32 arg, int blocking);
int ccci_port_write_room(struct ccci_port* port);

// The modem's port enumeration, `length` bytes at `message`: 0, -1 (bad patterns, or entries beyond
// `length`), -2 (version not 0).
int ccci_port_enum(u32 md, const void* message, u32 length);
