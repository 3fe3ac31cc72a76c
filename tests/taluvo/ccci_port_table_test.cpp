// The static port tables and the header: the rows' invariants, which table each mode gives, and the
// header's wire layout.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ccci_bm.h"
#include "ccci_port.h"

namespace
{

TEST(CcciPortTable, RowsKeepTheirInvariants)
{
    std::set<u32> tx, rx;
    std::set<std::string> names;
    u32 largest = 0;
    for (const struct ccci_port& port : ccci_port_table) {
        SCOPED_TRACE(port.name);
        EXPECT_TRUE(tx.insert(port.tx_ch).second);
        EXPECT_TRUE(rx.insert(port.rx_ch).second);
        EXPECT_EQ(0u, tx.count(port.rx_ch) + rx.count(port.tx_ch)) << "a channel used both ways";
        largest = std::max({largest, port.tx_ch, port.rx_ch});
        // Each core keeps to its own channel range.
        u32 low = port.hif_path == 0 ? 0x2000 : 0x1000, high = port.hif_path == 0 ? 0x20E1 : 0x1013;
        EXPECT_LE(port.hif_path, 1u);
        EXPECT_TRUE(port.tx_ch >= low && port.tx_ch <= high && port.rx_ch >= low && port.rx_ch <= high);
        for (u8 q : {port.txq, port.rxq, port.txq_exp, port.rxq_exp})
            EXPECT_TRUE(q < 8 || q == CCCI_NO_QUEUE) << unsigned(q);
        EXPECT_EQ(port.name == std::string("ccci_sap_test_gnss"), (port.flags & PORT_F_ENABLED) != 0);
        EXPECT_EQ(0u, port.flags & PORT_F_RAW);
        EXPECT_EQ(0u, port.reserved);
        EXPECT_NE(nullptr, port.ops);
    }
    for (const struct ccci_port& port : ccci_boot_port_table) {
        SCOPED_TRACE(port.name);
        EXPECT_EQ(CCCI_NO_CHANNEL, port.tx_ch);
        EXPECT_EQ(CCCI_NO_CHANNEL, port.rx_ch);
        EXPECT_EQ(PORT_F_RAW | PORT_F_CHAR_NODE, port.flags);
        EXPECT_EQ(&port_char_ops, port.ops);
        EXPECT_EQ(1u, port.hif_path);
        names.insert(port.name);
    }
    for (const struct ccci_port& port : ccci_port_table)
        names.insert(port.name);
    EXPECT_EQ(size_t(CCCI_PORT_COUNT + CCCI_BOOT_PORT_COUNT), names.size());
    EXPECT_EQ(CCCI_MAX_CHANNEL, largest);
    EXPECT_EQ(0, ccci_count_path2_ports());
    EXPECT_EQ(CCCI_PORT_COUNT, ccci_get_port_count());
}

TEST(CcciPortTable, ModesAndModemsSelectTheTable)
{
    struct {
        u32 md;
        u32 mode;
        struct ccci_port* table;
        int rows;
    } const cases[] = {
        {0, CCCI_TABLE_NORMAL, ccci_port_table, CCCI_PORT_COUNT},
        {0, CCCI_TABLE_BOOT, ccci_boot_port_table, CCCI_BOOT_PORT_COUNT},
        {0, 7, ccci_port_table, CCCI_PORT_COUNT},
        {1, CCCI_TABLE_NORMAL, nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "md " << c.md << " mode " << c.mode);
        struct ccci_port* table = reinterpret_cast<struct ccci_port*>(&table);
        EXPECT_EQ(c.rows, ccci_get_port_table(c.md, &table, c.mode));
        EXPECT_EQ(c.table, table);
    }
    struct ccci_port* boot = nullptr;
    ccci_get_port_table(0, &boot, CCCI_TABLE_BOOT);
    EXPECT_STREQ("brom_download", boot[0].name);
    EXPECT_STREQ("ttyCMBIM0", ccci_port_table[9].name);
    EXPECT_EQ(0x20D1u, ccci_port_table[9].tx_ch);
}

TEST(CcciPortTable, HeaderIsLittleEndianOnTheWire)
{
    struct sk_buff* skb = alloc_skb(64, CCCI_PORT_TAG);
    ASSERT_NE(nullptr, skb);
    ccci_header_put(skb, CCCI_MSG_MARK, 0x115, 0x2003, 7);
    ccci_header_set_seq(skb, 0x0102);
    const u8 wire[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0x15, 0x01, 0, 0, 0x03, 0x20, 0x02, 0x81, 7, 0, 0, 0};
    ASSERT_EQ(16u, skb->len);
    EXPECT_EQ(0, memcmp(wire, skb->data, sizeof(wire)));

    struct ccci_header header = ccci_header_read(skb);
    EXPECT_EQ(CCCI_MSG_MARK, header.data0);
    EXPECT_EQ(0x115u, header.data1);
    EXPECT_EQ(0x2003u, header.channel);
    EXPECT_EQ(0x8102u, header.seq);
    EXPECT_EQ(7u, header.reserved);

    // A short frame reads as far as it goes, the rest zero.
    skb_trim(skb, 6);
    header = ccci_header_read(skb);
    EXPECT_EQ(CCCI_MSG_MARK, header.data0);
    EXPECT_EQ(0x0115u, header.data1);
    EXPECT_EQ(0u, header.channel);
    kfree_skb(skb, CCCI_PORT_TAG);
}

} // namespace
