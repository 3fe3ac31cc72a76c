// The static port tables, the header encoding and the lookups that need no proxy.
#include "ccci_port.h"

#include <string.h>

#include "ccci_hif.h"

namespace
{

// A row with its static fields; the run-time fields start zeroed.
struct ccci_port port_row(const char* name, u32 tx_ch, u32 rx_ch, u8 txq, u8 rxq, u8 txq_exp, u8 rxq_exp,
                          u32 hif_path, u32 flags, const struct ccci_port_ops& ops, u64 minor)
{
    struct ccci_port port = {};
    port.tx_ch = tx_ch;
    port.rx_ch = rx_ch;
    port.txq = txq;
    port.rxq = rxq;
    port.txq_exp = txq_exp;
    port.rxq_exp = rxq_exp;
    port.hif_path = hif_path;
    port.flags = flags;
    port.ops = &ops;
    port.minor = minor;
    port.name = name;
    return port;
}

} // namespace

#define NQ CCCI_NO_QUEUE
#define NOMIN CCCI_PORT_NO_MINOR

struct ccci_port ccci_port_table[CCCI_PORT_COUNT] = {
    port_row("ttyC0", 0x200C, 0x200A, 5, 5, NQ, NQ, 0, 0x80, port_char_ops, 0),
    port_row("ttyCMdLog", 0x202B, 0x202A, 7, 7, 7, 7, 0, 0x80, port_char_ops, 2),
    port_row("ccci_lb_it", 0x203F, 0x203E, 0, 0, NQ, NQ, 0, 0x80, port_char_ops, 3),
    port_row("ttyCMIPC0", 0x20CF, 0x20CE, 2, 2, 0, 0, 0, 0x80, port_char_ops, 1),
    port_row("ccci_sap_lb_it", 0x1003, 0x1002, 0, 0, 0, 0, 1, 0x80, port_char_ops, 5),
    port_row("ccci_sap_gnss", 0x1005, 0x1004, 0, 0, 0, 0, 1, 0x80, port_char_ops, 6),
    port_row("ccci_sap_meta", 0x1007, 0x1006, 1, 1, 0, 0, 1, 0x80, port_char_ops, 7),
    port_row("ccci_sap_log", 0x1009, 0x1008, 2, 2, 0, 0, 1, 0x80, port_char_ops, 8),
    port_row("ccci_sap_adb", 0x100B, 0x100A, 3, 3, 0, 0, 1, 0x80, port_char_ops, 9),
    port_row("ttyCMBIM0", 0x20D1, 0x20D0, 2, 2, 0, 0, 0, 0x80, port_char_ops, 10),
    port_row("ttyCMdMeta", 0x2008, 0x2006, 1, 1, 1, 1, 0, 0x80, port_char_ops, 11),
    port_row("minidump_notify", 0x1011, 0x1010, 5, 5, NQ, NQ, 1, 0, port_char_ops, 12),
    port_row("ttyCMBIMDSS0", 0x20D3, 0x20D2, 3, 3, 3, 3, 0, 0x80, port_char_ops, 13),
    port_row("ttyCMBIMDSS1", 0x20D5, 0x20D4, 3, 3, 3, 3, 0, 0x80, port_char_ops, 14),
    port_row("ttyCMBIMDSS2", 0x20D7, 0x20D6, 3, 3, 3, 3, 0, 0x80, port_char_ops, 15),
    port_row("ttyCMBIMDSS3", 0x20D9, 0x20D8, 3, 3, 3, 3, 0, 0x80, port_char_ops, 16),
    port_row("ttyCMBIMDSS4", 0x20DB, 0x20DA, 3, 3, 3, 3, 0, 0x80, port_char_ops, 17),
    port_row("ttyCMBIMDSS5", 0x20DD, 0x20DC, 3, 3, 3, 3, 0, 0x80, port_char_ops, 18),
    port_row("ttyCMBIMDSS6", 0x20DF, 0x20DE, 3, 3, 3, 3, 0, 0x80, port_char_ops, 19),
    port_row("ttyCMBIMDSS7", 0x20E1, 0x20E0, 3, 3, 3, 3, 0, 0x80, port_char_ops, 20),
    port_row("ccci_sap_test_gnss", 0x1013, 0x1012, 0, 0, 0, 0, 1, 0x480, port_char_ops, 21),
    port_row("ccci_sys", 0x2003, 0x2002, 0, 0, NQ, NQ, 0, 0, port_sys_ops, NOMIN),
    port_row("ccci_ctrl", 0x2001, 0x2000, 0, 0, 0, 0, 0, 0, port_ctrl_ops, NOMIN),
    port_row("ccci_poll", 0x2044, 0x2043, 0, 0, 0, 0, 0, 0, port_poll_ops, NOMIN),
    port_row("ccci_sap_ctrl", 0x1001, 0x1000, 0, 0, 0, 0, 1, 0, port_ctrl_ops, NOMIN),
};

struct ccci_port ccci_boot_port_table[CCCI_BOOT_PORT_COUNT] = {
    port_row("brom_download", CCCI_NO_CHANNEL, CCCI_NO_CHANNEL, 0, 0, 0, 0, 1, 0x280, port_char_ops, 101),
    port_row("ttyDUMP", CCCI_NO_CHANNEL, CCCI_NO_CHANNEL, 1, 1, 1, 1, 1, 0x280, port_char_ops, 100),
};

int ccci_get_port_table(u32 md, struct ccci_port** table, u32 mode)
{
    if (md != 0) {
        ccci_err(CCCI_PORT_TAG_TEXT, "no port table for modem %u", md);
        *table = NULL;
        return 0;
    }
    if (mode == CCCI_TABLE_BOOT) {
        *table = ccci_boot_port_table;
        return CCCI_BOOT_PORT_COUNT;
    }
    if (mode != CCCI_TABLE_NORMAL)
        ccci_warn(CCCI_PORT_TAG_TEXT, "unknown table mode %u: the normal table", mode);
    *table = ccci_port_table;
    return CCCI_PORT_COUNT;
}

int ccci_get_port_count(void)
{
    return CCCI_PORT_COUNT;
}

int ccci_count_path2_ports(void)
{
    int count = 0;
    for (const struct ccci_port& port : ccci_port_table)
        count += port.hif_path == 2;
    return count;
}

u32 ccci_port_hif(const struct ccci_port* port)
{
    if (port->md_id >= CCCI_HIF_MAX_MD || port->hif_path >= CCCI_HIF_PATHS)
        return CCCI_PORT_HIFS;
    return hif_path_map[port->md_id][port->hif_path] & 0xFF;
}

struct ccci_header ccci_header_read(const struct sk_buff* skb)
{
    struct ccci_header header = {};
    memcpy(&header, skb->data, skb->len < sizeof(header) ? skb->len : sizeof(header));
    return header;
}

struct ccci_header* ccci_header_put(struct sk_buff* skb, u32 data0, u32 data1, u32 channel, u32 reserved)
{
    auto* header = reinterpret_cast<struct ccci_header*>(skb_put(skb, sizeof(struct ccci_header)));
    header->data0 = data0;
    header->data1 = data1;
    header->channel = (u16)channel;
    header->seq = 0;
    header->reserved = reserved;
    return header;
}

void ccci_header_set_seq(struct sk_buff* skb, u16 seq)
{
    reinterpret_cast<struct ccci_header*>(skb->data)->seq = (u16)(seq | CCCI_SEQ_VALID);
}
