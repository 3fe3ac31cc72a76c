// Hex dumps, hex text, byte order, the narrowing conversion, the case-insensitive helpers and the
// memory utility.
#include "memutil.h"
#include "trace_capture.h"
#include "trace_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tracetest::Texts;
using tracetest::TraceTest;
using testing::ElementsAre;
using testing::ElementsAreArray;

std::vector<uint8_t> Counting(int n)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < n; i++)
        bytes.push_back(static_cast<uint8_t>(i));
    return bytes;
}

using DumpTest = TraceTest;

TEST_F(DumpTest, LinesOfTwelveThenSixteenBytesInBothCases)
{
    struct Case {
        int length;
        std::vector<std::string> upper; // line text without its line end
        std::vector<std::string> lower;
    } cases[] = {
        {12, {"0001_0203 0405_0607 0809_0A0B"}, {"0001_0203 0405_0607 0809_0a0b"}},
        {13, {"0001_0203 0405_0607 0809_0A0B", "0C"}, {"0001_0203 0405_0607 0809_0a0b", "0c"}},
        {32,
         {"0001_0203 0405_0607 0809_0A0B", "0C0D_0E0F 1011_1213 1415_1617 1819_1A1B", "1C1D_1E1F"},
         {"0001_0203 0405_0607 0809_0a0b", "0c0d_0e0f 1011_1213 1415_1617 1819_1a1b", "1c1d_1e1f"}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = Counting(c.length);
        Clear();
        EXPECT_EQ(trace_hex_bufs(bytes.data(), nullptr, c.length, "cap"), 0);
        std::vector<std::string> expected = {"buf 1 of type cap of len " + std::to_string(c.length) + " is ------ \n"};
        for (const std::string& line : c.upper)
            expected.push_back(line + "\n \n");
        EXPECT_THAT(Texts(), ElementsAreArray(expected)) << c.length;

        Clear();
        trace_bufs(bytes.data(), nullptr, c.length, nullptr);
        expected = {"buf 1 of type   of len " + std::to_string(c.length) + " is ------ \n"};
        for (const std::string& line : c.lower)
            expected.push_back(line + " \n");
        expected.push_back("trace_bufs--  ______________<<   \n");
        EXPECT_THAT(Texts(), ElementsAreArray(expected)) << c.length;
    }
}

TEST_F(DumpTest, SecondBufferAndMissingFirstBuffer)
{
    const uint8_t one[2] = {0xAB, 0xCD};
    const uint8_t two[2] = {0x01, 0x02};
    trace_hex_bufs(one, two, 2, "pair");
    trace_hex_bufs(nullptr, nullptr, 4, nullptr);
    EXPECT_THAT(Texts(), ElementsAre("buf 1 of type pair of len 2 is ------ \n", "ABCD\n \n",
                                     "buf 2 of type pair of len 2 is ------ \n", "0102\n \n",
                                     "buf 1 of type   of len 4 is ------ \n"));
}

TEST(HexText, FormatHexBytes)
{
    std::vector<uint8_t> data = Counting(20);
    struct Case {
        int size, length, count;
        const char* text;
    } cases[] = {
        {64, 8, 8, "0001_0203 0405_0607"},
        {64, 20, 10, "0001_0203 0405_0607 . 0809"},
        {64, 3, 10, "0001_02"},
        {23, 20, 20, "0001_0203 0405_06"}, // 23 * 8 / 22 - 1 = 7 bytes fit
        {12, 20, 20, "0001_02"},           // 12 / 4 = 3
        {2, 20, 20, ""},
    };
    for (const Case& c : cases) {
        char buffer[64];
        memset(buffer, '#', sizeof(buffer));
        format_hex_bytes(buffer, c.size, data.data(), c.length, c.count);
        EXPECT_STREQ(buffer, c.text) << c.size << "/" << c.count;
    }
    char untouched = '#';
    format_hex_bytes(&untouched, 0, data.data(), 8, 8);
    EXPECT_EQ(untouched, '#') << "size 0 writes nothing";
    format_hex_bytes(nullptr, 16, data.data(), 8, 8);
    char empty[4] = "abc";
    format_hex_bytes(empty, 4, data.data(), 8, 0);
    EXPECT_STREQ(empty, "");

    int fit = -1;
    EXPECT_EQ(format_hex_sizes(23, 8, &fit), 23);
    EXPECT_EQ(fit, 7);
    EXPECT_EQ(format_hex_sizes(1, 3, &fit), 8);
    EXPECT_EQ(fit, 0);
    EXPECT_EQ(hex_digit_upper(0xAB), 'B');
    EXPECT_EQ(hex_digit_lower(10), 'a');
}

using ConvertTest = TraceTest;

TEST_F(ConvertTest, NarrowingTerminatesOnlyWhenThereIsRoom)
{
    const uint8_t source[10] = {'H', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0};
    uint8_t small[5] = {'#', '#', '#', '#', '#'};
    int count = -1;
    EXPECT_EQ(convert_U16_to_U8_terminated(small, 4, &count, source, sizeof(source)), 4);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(memcmp(small, "Hell#", 5), 0) << "a full destination gets no NUL";

    uint8_t large[8];
    memset(large, '#', sizeof(large));
    EXPECT_EQ(convert_U16_to_U8_terminated(large, 8, &count, source, sizeof(source)), 5);
    EXPECT_STREQ(reinterpret_cast<char*>(large), "Hello");
    auto texts = Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "buf 1 of type 16bit input  before conv and 8bit output of len 10 is ------ \n");
}

TEST(ByteOrder, BigEndianReads)
{
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(BigP_toLE(bytes, 4), 0x12345678u);
    EXPECT_EQ(BigP_toLE(bytes, 3), 0u);
    EXPECT_EQ(BigP_toLE(nullptr, 4), 0u);
    EXPECT_EQ(Big_toLE(0x12345678u), 0x78563412u);
}

TEST(CaseInsensitive, CompareAndSearch)
{
    EXPECT_EQ(util_strnicmp_s("Modem", 6, "MODEM", 6, 0), 0);
    EXPECT_EQ(util_strnicmp_s("abc", 4, "abd", 4, 0), static_cast<uint8_t>('C' - 'D'));
    EXPECT_EQ(util_strnicmp_s("abc", 4, "abd", 4, 2), 0);
    EXPECT_EQ(util_strnicmp_s("abc", 4, "abd", 4, 5), 255) << "width above the sizes";
    EXPECT_EQ(util_strnicmp_s(nullptr, 4, "abd", 4, 0), 255);
    EXPECT_EQ(util_stristr_s("DEV_4D75", 9, "pci\\ven_14c3&dev_4d75", 22, 0), 0);
    EXPECT_EQ(util_stristr_s("DEV_4D70", 9, "pci\\ven_14c3&dev_4d75", 22, 0), 255);
    EXPECT_EQ(util_stristr_s("x", 0, "abc", 4, 0), 255);
}

using MemoryTest = TraceTest;

TEST_F(MemoryTest, ZeroedBlocksAndFreesThatClearThePointer)
{
    long before = memutil_live_blocks();
    auto* block = static_cast<uint8_t*>(memutil_alloc(64, "alloc.cpp", 12));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(block[i], 0);
    EXPECT_EQ(memutil_live_blocks(), before + 1);
    EXPECT_EQ(memutil_free(reinterpret_cast<void**>(&block), "free.cpp", 34), 1);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(memutil_live_blocks(), before);

    Clear();
    EXPECT_EQ(memutil_free(reinterpret_cast<void**>(&block), "again.cpp", 56), 1);
    EXPECT_EQ(memutil_free(nullptr, nullptr, 7), 1);
    EXPECT_THAT(Texts(), ElementsAre("Attempt to free NULL pointer from again.cpp:56\n",
                                     "Attempt to free NULL pointer from NULL:7\n"));

    Clear();
    memutil_inject_failure(0);
    EXPECT_EQ(memutil_alloc(16, nullptr, 1), nullptr);
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "memutil_alloc: mem = 0000000000000000 :1\n");
    EXPECT_THAT(texts[1], testing::HasSubstr("memset_n : Invalid params; dest Null ! size: 16"));
    EXPECT_EQ(memutil_live_blocks(), before);
}

} // namespace
