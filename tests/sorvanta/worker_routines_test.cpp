// The small routines beside the worker: the raw-buffer and line traces, the conversions and the
// OPEN/CLOSE test.
#include "async_ril.h"
#include "running_core.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using coretest::LinesWith;

using WorkerRoutinesTest = tracetest::TraceTest;

TEST_F(WorkerRoutinesTest, RawBufferLinesRestartAndLongDumpsStayBounded)
{
    std::vector<uint8_t> bytes(2000);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<uint8_t>(i);
    trace_mdm_rawbuffer(bytes.data(), 100, "cap");
    std::vector<std::string> lines = LinesWith("trace_mdm_rawbuffer : ");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].size(), strlen("trace_mdm_rawbuffer : ") + 2 * 33);
    EXPECT_EQ(lines[0].substr(22, 6), "000102");
    EXPECT_EQ(lines[1].substr(22, 4), "2122") << "the second line starts afresh at byte 33";
    EXPECT_EQ(lines[3].size(), strlen("trace_mdm_rawbuffer : ") + 2 * 3);
    EXPECT_EQ(LinesWith("buf  of type cap of len 100 is ------").size(), 1u);

    Clear();
    trace_mdm_rawbuffer(bytes.data(), static_cast<uint16_t>(bytes.size()), nullptr);
    EXPECT_EQ(LinesWith("trace_mdm_rawbuffer : ").size(), 1u + (2000 - 33 + 31) / 32);
}

TEST_F(WorkerRoutinesTest, PrintLineShowsNulAsSpaceAndStopsAt120)
{
    std::vector<uint8_t> bytes(130, 'x');
    bytes[1] = 0;
    print_line(bytes.data(), static_cast<int>(bytes.size()));
    std::vector<std::string> lines = LinesWith("print_line : ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "print_line : x " + std::string(118, 'x'));

    Clear();
    print_lines(bytes.data(), 256 + 130); // the count is taken as a byte: 130
    EXPECT_EQ(LinesWith("print_line : ").size(), 2u);
}

TEST(WorkerConversionsTest, ConversionsRespectTheOutputCapacity)
{
    uint8_t wide[8];
    int length = sizeof(wide) - 2; // room for three units
    const uint8_t narrow[4] = {'a', 'b', 'c', 'd'};
    convert_U8_to_U16(narrow, 4, wide, &length);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(std::vector<uint8_t>(wide, wide + 6), (std::vector<uint8_t>{'a', 0, 'b', 0, 'c', 0}));

    uint8_t back[2] = {};
    length = sizeof(back);
    convert_U16_to_U8(wide, 6, back, &length);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(back[0], 'a');
    EXPECT_EQ(back[1], 'b');

    uint8_t ascii[3];
    const uint8_t digits[3] = {1, 2, 9};
    convert_U8_to_ASCII(digits, 3, ascii);
    EXPECT_EQ(std::string(ascii, ascii + 3), "129");
    EXPECT_TRUE(buffer_has_nonzero(digits, 3));
    EXPECT_FALSE(buffer_has_nonzero(wide + 7, 0));
}

TEST(WorkerConversionsTest, OpenAndCloseAreToldApart)
{
    std::vector<uint8_t> open = coretest::MbimMessage(1, 16);
    std::vector<uint8_t> close = coretest::MbimMessage(2, 12);
    std::vector<uint8_t> command = coretest::MbimMessage(3, 48);
    EXPECT_EQ(check_IsOpenCloseType_Cid(open.data(), 16), 1);
    EXPECT_EQ(check_IsOpenCloseType_Cid(close.data(), 12), 2);
    EXPECT_EQ(check_IsOpenCloseType_Cid(command.data(), 48), 0);
    EXPECT_EQ(check_IsOpenCloseType_Cid(open.data(), 11), 0) << "too short";
    EXPECT_EQ(check_IsOpenCloseType_Cid(nullptr, 16), 0);
}

} // namespace
