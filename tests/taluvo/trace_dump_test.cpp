// Hex dumps in the trace: line layout, offsets, and the head/tail elision.
#include <gtest/gtest.h>

#include <host/image.h>
#include <host/trace.h>

#include <numeric>
#include <string>
#include <vector>

#include "TraceDump.h"

namespace
{

std::vector<std::string> Dump(const UCHAR* data, ULONG length, ULONG head = 0, ULONG tail = 0)
{
    host::TraceClear();
    TraceHexDump("title", data, length, head, tail);
    std::vector<std::string> lines;
    for (const host::TraceLine& line : host::TraceSnapshot(host::ImageMain()))
        if (line.function == "TraceHexDump")
            lines.push_back(line.text);
    return lines;
}

std::vector<UCHAR> Counting(ULONG length, UCHAR first = 1)
{
    std::vector<UCHAR> data(length);
    std::iota(data.begin(), data.end(), first);
    return data;
}

TEST(TraceDumpTest, LinesOfSixteenWithOffsetsAndGrouping)
{
    std::vector<UCHAR> data = Counting(40);
    EXPECT_EQ((std::vector<std::string>{
                  "title",
                  "0   ->>   0102 0304   0506 0708      090a 0b0c   0d0e 0f10",
                  "16  ->>   1112 1314   1516 1718      191a 1b1c   1d1e 1f20",
                  "32  ->>   2122 2324   2526 2728",
              }),
              Dump(data.data(), ULONG(data.size())));
}

TEST(TraceDumpTest, NoDataTracesTheTitleOnly)
{
    std::vector<UCHAR> data = Counting(8, 0); // first byte 0
    EXPECT_EQ(std::vector<std::string>{"title"}, Dump(nullptr, 8));
    EXPECT_EQ(std::vector<std::string>{"title"}, Dump(data.data() + 1, 0));
    EXPECT_EQ(std::vector<std::string>{"title"}, Dump(data.data(), 8));
}

TEST(TraceDumpTest, HeadAndTailElideTheMiddle)
{
    std::vector<UCHAR> data = Counting(100);
    EXPECT_EQ((std::vector<std::string>{"title", "0   ->>   0102 0304 {{", "16  ->>   6162 6364"}),
              Dump(data.data(), ULONG(data.size()), 4, 4));
}

// A tail longer than what follows the head resumes right after the head, never repeating bytes or
// reading before the buffer.
TEST(TraceDumpTest, ALongTailNeverRepeatsOrReachesBeforeTheData)
{
    std::vector<UCHAR> data = Counting(10);
    const std::vector<std::string> expected{"title", "0   ->>   0102 0304 {{", "16  ->>   0506 0708   090a"};
    EXPECT_EQ(expected, Dump(data.data(), 10, 4, 8));
    EXPECT_EQ(expected, Dump(data.data(), 10, 4, 1000));
}

TEST(TraceDumpTest, OffsetsAreUnpaddedFromLineTwentyFour)
{
    char line[16] = "368 ->>   ";
    FormatHexDumpOffset(line, 24);
    EXPECT_STREQ("384 ->>   ", line);
    FormatHexDumpOffset(line, 63);
    EXPECT_STREQ("1008->>   ", line);
    FormatHexDumpOffset(line, 1);
    EXPECT_STREQ("16  ->>   ", line);

    std::vector<UCHAR> data = Counting(25 * 16);
    std::vector<std::string> lines = Dump(data.data(), ULONG(data.size()));
    ASSERT_EQ(26u, lines.size());
    EXPECT_EQ("368 ->>   ", lines[24].substr(0, 10));
    EXPECT_EQ("384 ->>   ", lines[25].substr(0, 10));
}

} // namespace
