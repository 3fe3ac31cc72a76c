// The text and value conversions: tables of inputs and results per conversion, with the bounds that
// keep hostile lengths inside their buffers.
#include "memutil.h"
#include "text_convert.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using testing::ElementsAreArray;

// What `body` writes to the process's standard output (through a pipe: the runtime's files are the
// emulated host's, so gtest's capture through a temporary file is not available).
std::string StandardOutputOf(const std::function<void()>& body)
{
    fflush(stdout);
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return "no pipe";
    int saved = dup(1);
    dup2(pipe_ends[1], 1);
    close(pipe_ends[1]);
    body();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof(buffer))) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(pipe_ends[0]);
    return text;
}

TEST(TextConvert, LockStatesPrintTheirMapping)
{
    const std::pair<int, int> cases[] = {{1, 2}, {2, 3}, {4, 4}, {3, 0}, {0, 0}};
    for (auto [state, mapped] : cases) {
        std::string printed = StandardOutputOf([&] { EXPECT_EQ(ril_map_uicc_lock_state(state), mapped); });
        EXPECT_EQ(printed,
                  "ril_map_uicc_lock_state++\nril_map_uicc_lock_state-- :getstatus lock_state=" + std::to_string(mapped) +
                      "\n");
    }
}

TEST(TextConvert, SignalBarsOnEachThresholdSet)
{
    struct Case {
        RilSignalScale scale;
        int level, bars;
    } cases[] = {
        {RIL_SIGNAL_SCALE_1, 31, 5}, {RIL_SIGNAL_SCALE_1, 30, 4}, {RIL_SIGNAL_SCALE_1, 21, 4}, {RIL_SIGNAL_SCALE_1, 20, 3},
        {RIL_SIGNAL_SCALE_1, 11, 3}, {RIL_SIGNAL_SCALE_1, 10, 2}, {RIL_SIGNAL_SCALE_1, 5, 2},  {RIL_SIGNAL_SCALE_1, 4, 1},
        {RIL_SIGNAL_SCALE_2, 0, 1},  {RIL_SIGNAL_SCALE_2, 1, 2},  {RIL_SIGNAL_SCALE_2, 3, 2},  {RIL_SIGNAL_SCALE_2, 4, 3},
        {RIL_SIGNAL_SCALE_2, 12, 3}, {RIL_SIGNAL_SCALE_2, 13, 4}, {RIL_SIGNAL_SCALE_2, 22, 4}, {RIL_SIGNAL_SCALE_2, 23, 5},
        {RIL_SIGNAL_SCALE_3, 30, 5}, {RIL_SIGNAL_SCALE_3, 29, 4}, {RIL_SIGNAL_SCALE_3, 22, 4}, {RIL_SIGNAL_SCALE_3, 21, 3},
        {RIL_SIGNAL_SCALE_3, 13, 3}, {RIL_SIGNAL_SCALE_3, 12, 2}, {RIL_SIGNAL_SCALE_3, 7, 2},  {RIL_SIGNAL_SCALE_3, 6, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ril_signal_bars(c.scale, c.level), c.bars) << "set " << c.scale << " level " << c.level;
}

TEST(TextConvert, CodesDigitsAndSlot)
{
    const std::pair<int, int> codes[] = {{1, 3}, {2, 5}, {3, 4}, {4, 6}, {5, 7}, {0, 1}, {6, 1}, {-3, 1}};
    for (auto [code, mapped] : codes)
        EXPECT_EQ(ril_map_code(code), mapped) << code;
    EXPECT_EQ(ril_hex_digit_value('7'), 7);
    EXPECT_EQ(ril_hex_digit_value('A'), 10);
    EXPECT_EQ(ril_hex_digit_value('F'), 15);
    const std::pair<uint8_t, int> bcd[] = {{0x21, 12}, {0x2F, 2}, {0xA3, 30}, {0x99, 99}, {0xFF, 0}};
    for (auto [byte, value] : bcd)
        EXPECT_EQ(ril_swapped_bcd_value(byte), value) << int(byte);

    RadioCallbacks table = {};
    EXPECT_EQ(ril_physical_slot_set(nullptr), 0); // before the RIL core has handed its table over
    table.radio_parameters.phySlot[0] = -1;
    EXPECT_EQ(ril_physical_slot_set(&table), 0);
    table.radio_parameters.phySlot[0] = 0;
    EXPECT_EQ(ril_physical_slot_set(&table), 1);
}

TEST(TextConvert, SemiOctetNumbers)
{
    struct Case {
        std::vector<uint8_t> number;
        int mode;
        size_t text_size;
        std::string text;
        int result;
    } cases[] = {
        {{5, 0x91, 0x21, 0x43, 0xF5}, 1, 32, "+12345", 5},
        {{0}, 1, 32, "", 2},
        {{0}, 0, 32, "", 1},
        {{4, 0x81, 0x21, 0x43, 0x65}, 0, 32, "123456", 5},  // length in bytes
        {{4, 0x81, 0x21, 0xD3}, 1, 32, "1232", 4},          // 0xD repeats the high nibble's '2'
        {{6, 0x81, 0x21, 0x3F, 0x65}, 1, 32, "12", 5},      // a low 0xF ends the number
        {{2, 0x81, 0xD1}, 1, 32, "1", 3},                   // a repeat in the first byte ends it
        {{3, 0x81, 0xBA, 0xFC}, 1, 32, "*#p", 4},
        {{255, 0x91, 0x21, 0x43, 0x65}, 0, 32, "+123456", 5}, // the length claims more than there is
        {{5, 0x91, 0x21, 0x43, 0xF5}, 1, 4, "+12", 5},      // the text is cut to its buffer
    };
    for (const Case& c : cases) {
        char text[32];
        memset(text, 'x', sizeof(text));
        EXPECT_EQ(ril_decode_semi_octets(c.number.data(), c.number.size(), text, c.text_size, c.mode), c.result)
            << c.text;
        EXPECT_EQ(std::string(text), c.text);
    }
    const uint8_t number[] = {5, 0x91, 0x21, 0x43, 0xF5};
    EXPECT_EQ(ril_decode_semi_octets(number, sizeof(number), nullptr, 32, 1), 5); // no text to write
}

TEST(TextConvert, DataCodingSchemes)
{
    const std::pair<uint8_t, int> alphabets[] = {{0x00, 1}, {0x04, 2}, {0x08, 3}, {0x0C, 4}, {0x34, 2},
                                                 {0xE0, 3}, {0xF4, 2}, {0xF0, 1}, {0x80, 1}, {0xC8, 1}};
    for (auto [dcs, alphabet] : alphabets)
        EXPECT_EQ(ril_dcs_alphabet(dcs), alphabet) << int(dcs);

    struct Case {
        uint8_t dcs;
        std::vector<uint32_t> record;
    } cases[] = {
        {0x00, {32, 0x0D, 1, 0, 1, 1, 4, 0}}, {0x11, {32, 0x0D, 1, 0, 2, 1, 4, 0}},
        {0x24, {32, 0x0F, 1, 1, 1, 2, 4, 0}}, {0xC0, {32, 0x1B, 2, 4, 0, 1, 4, 0}},
        {0xD8, {32, 0x1B, 2, 2, 0, 1, 4, 0}}, {0xE0, {32, 0x19, 2, 0, 0, 3, 4, 0}},
        {0xF5, {32, 0x0D, 3, 0, 2, 2, 4, 0}}, {0x80, {32, 0x1D, 1, 0, 3, 1, 4, 0}},
    };
    for (const Case& c : cases) {
        RilDcsRecord record = ril_dcs_record(c.dcs);
        std::vector<uint32_t> fields(8);
        memcpy(fields.data(), &record, sizeof(record));
        EXPECT_THAT(fields, ElementsAreArray(c.record)) << int(c.dcs);
    }
    EXPECT_EQ(ril_alphabet_is_7bit(1), 1);
    EXPECT_EQ(ril_alphabet_is_7bit(2), 0);
    EXPECT_EQ(ril_alphabet_is_7bit(3), 0);
    EXPECT_EQ(ril_alphabet_is_7bit(4), 1);
}

TEST(TextConvert, GsmCodesBothWays)
{
    struct Reverse {
        char16_t ch;
        uint8_t code;
        bool escape;
    } reverse[] = {{0x20AC, 0x65, true}, {0x00E9, 5, false}, {u'[', 0x3C, true}, {0x000C, 0x0A, true},
                   {u'A', 0x41, false},  {u'@', 0, false},   {0x4E00, 0x20, false}};
    for (const Reverse& r : reverse) {
        bool escape = !r.escape;
        EXPECT_EQ(utf16_to_gsm(r.ch, &escape), r.code) << int(r.ch);
        EXPECT_EQ(escape, r.escape) << int(r.ch);
    }
    EXPECT_EQ(utf16_to_gsm_extension(u'A'), 255);
    EXPECT_EQ(utf16_to_gsm_default(0x20AC), 0x20);

    EXPECT_EQ(gsm_default_to_utf16(0x00), u'@');
    EXPECT_EQ(gsm_default_to_utf16(0x24), 0x00A4);
    EXPECT_EQ(gsm_default_to_utf16(GSM_ESCAPE), 0xFFFE);
    EXPECT_EQ(gsm_default_to_utf16(0x80), u' ');
    EXPECT_EQ(gsm_default_to_utf16_checked(0x80), 0xFFFF);
    EXPECT_EQ(gsm_extension_to_utf16(0x65), 0x20AC);
    EXPECT_EQ(gsm_extension_to_utf16(0x3C), u'[');
    EXPECT_EQ(gsm_extension_to_utf16(0x41), -1);
    EXPECT_EQ(gsm_any_to_utf16(0x0A), 0x000C);
    EXPECT_EQ(gsm_any_to_utf16(GSM_ESCAPE), u' ');
    EXPECT_EQ(gsm_any_to_utf16(0x65), u'e');
}

TEST(TextConvert, SeptetCounts)
{
    const char16_t text[] = u"a[b";
    EXPECT_EQ(gsm_septets_of_chars(text, 3), 4);
    EXPECT_EQ(gsm_septets_of_text(text), 4);
    EXPECT_EQ(gsm_septets_until(text, 10), 4);
    EXPECT_EQ(gsm_septets_until(text, 2), 3); // stops once the count is reached
    EXPECT_EQ(gsm_septets_of_text(nullptr), 0);
    EXPECT_EQ(gsm_septets_of_chars(nullptr, 3), 0);
}

TEST(TextConvert, UnpacksSeptetsWithFillBits)
{
    struct Case {
        std::vector<uint8_t> packed;
        int count, fill;
        std::u16string text;
    } cases[] = {
        {{0xE8, 0x32, 0x9B, 0xFD, 0x06}, 5, 0, u"hello"},
        {{0xD0, 0x65, 0x36, 0xFB, 0x0D}, 5, 1, u"hello"},
        {{0xC1, 0x4D, 0x99, 0x0B}, 4, 0, std::u16string(u"A\0e\u00D6", 4)}, // the escape unpacks as 0
        {{0xE8, 0x32}, 5, 0, u"he"},                                           // no more septets than bytes
    };
    for (const Case& c : cases) {
        std::u16string out(8, u'?');
        int n = gsm_unpack_septets(c.packed.data(), c.packed.size(), c.count, out.data(), c.fill);
        EXPECT_EQ(out.substr(0, n), c.text);
    }
}

TEST(TextConvert, GsmTextTo8Bit)
{
    const std::vector<uint8_t> codes = {0x00, 0x41, GSM_ESCAPE, 0x65, 0x24, GSM_ESCAPE, 0x3C, 0x80};
    struct Case {
        int mode, capacity;
        std::vector<uint8_t> out;
    } cases[] = {
        {0, 16, {0x40, 0x41, 0xAC, 0xA4, 0x5B}},
        {1, 16, {0x40, 0x41, 0xAC, 0x5B}},
        {2, 16, {0x00, 0x41, GSM_ESCAPE, 0x65, 0x24, GSM_ESCAPE, 0x3C}},
        {3, 3, {0x00, 0x41, GSM_ESCAPE}},
        {5, 16, {}},
    };
    for (const Case& c : cases) {
        char out[16] = {};
        int n = gsm_decode_to_8bit(codes.data(), static_cast<int>(codes.size()), out, c.capacity, c.mode);
        EXPECT_THAT(std::vector<uint8_t>(out, out + n), ElementsAreArray(c.out)) << c.mode;
    }
    // An escape with nothing after it ends the text.
    const uint8_t trailing[] = {0x41, GSM_ESCAPE};
    char out[4] = {};
    EXPECT_EQ(gsm_decode_to_8bit(trailing, 2, out, 4, 0), 1);

    long before = memutil_live_blocks();
    const uint16_t units[] = {0x0141, 0x0042};
    EXPECT_EQ(gsm_decode16_to_8bit(units, 2, out, 4, 1), 2);
    EXPECT_EQ(std::string(out, 2), "AB");
    EXPECT_EQ(memutil_live_blocks(), before);
}

TEST(TextConvert, BytesAndUcs2ToUtf16)
{
    const uint8_t bytes[] = {0xC8, 0x41};
    char16_t out[2] = {u'?', u'?'};
    ril_bytes_to_utf16(bytes, 0x10001, out); // the length is taken as 16-bit
    EXPECT_EQ(out[0], 0xC8);
    EXPECT_EQ(out[1], u'?');

    struct Case {
        std::vector<uint8_t> data;
        int mode;
        std::u16string text;
    } cases[] = {
        {{0x00, 0x41, 0x04, 0x10}, 0, u"A\u0410"},
        {{0xFF, 0xFF, 0x00, 0x41}, 1, u"A"},
        {{0x00, 'A', 0x00, 'B', 0x00, 0x0D, 0x00, 0x00, 0x00, 'C'}, 0, u"A"}, // CR, 0: the end, two units back
        {{0x00, 0x0D, 0x00, 0x00}, 0, u""},                                   // fewer than two to take back
    };
    for (const Case& c : cases) {
        char16_t values[8];
        int count = -1;
        ril_unpack_ucs2_be(values, 8, &count, static_cast<int>(c.data.size()), c.data.data(), c.mode);
        EXPECT_EQ(std::u16string(values, count), c.text);
    }
    // Mode 1 skips two bytes at every multiple of 82.
    std::vector<uint8_t> data(170);
    for (size_t i = 0; i < data.size(); i += 2)
        data[i + 1] = static_cast<uint8_t>(i / 2);
    std::vector<char16_t> values(100);
    int count = 0;
    ril_unpack_ucs2_be(values.data(), 100, &count, 170, data.data(), 1);
    ASSERT_EQ(count, 82);
    EXPECT_EQ(values[0], 1);
    EXPECT_EQ(values[39], 40);
    EXPECT_EQ(values[40], 42);
    EXPECT_EQ(values[81], 84);
}

TEST(TextConvert, StringsAndUtf)
{
    EXPECT_EQ(ril_strlen8(nullptr), 0);
    EXPECT_EQ(ril_strlen8("abc"), 3);
    EXPECT_EQ(ril_strlen16(nullptr), 0);
    EXPECT_EQ(ril_strlen16(u"ab"), 2);

    const std::u16string wide = u"a\u00E9\U0001F600";
    const std::string narrow = "a\xC3\xA9\xF0\x9F\x98\x80";
    EXPECT_EQ(utf16_to_utf8(wide.c_str()), narrow);
    EXPECT_EQ(utf8_to_utf16(narrow.c_str()), wide);
    EXPECT_EQ(utf8_to_utf16("\xC3\x28"), u""); // invalid: nothing
    EXPECT_EQ(utf8_to_utf16(nullptr), u"");
    EXPECT_EQ(utf16_to_utf8(nullptr), "");
    EXPECT_EQ(utf16_to_utf8(u""), "");
}

std::u16string NameAt(const uint8_t* record, size_t offset, size_t units)
{
    std::u16string name(units, u'\0');
    memcpy(name.data(), record + offset, units * sizeof(char16_t));
    return name.substr(0, name.find(u'\0'));
}

uint32_t U32At(const uint8_t* record, size_t offset)
{
    uint32_t value;
    memcpy(&value, record + offset, sizeof(value));
    return value;
}

TEST(TextConvert, OperatorRecord)
{
    RilProviderDescription provider = {};
    provider.home = 1;
    provider.flags[0] = 1;
    provider.flags[2] = 1;
    provider.values[0] = 7;
    provider.values[1] = 8;
    provider.values[2] = 9;
    provider.mcc = 262;
    provider.mnc = 1;
    memcpy(provider.long_name, "Netz \xC3\xA9", 7);
    memset(provider.short_name, 'S', 15);
    uint8_t record[RIL_OPERATOR_RECORD_SIZE];
    memset(record, 0xEE, sizeof(record));
    ril_fill_operator_record(provider, record);

    EXPECT_EQ(U32At(record, 0), 248u);
    EXPECT_EQ(U32At(record, 4), 0x6Eu);
    EXPECT_EQ(U32At(record, 8), 0u);
    EXPECT_EQ(U32At(record, 12), 0x14u);
    EXPECT_EQ(U32At(record, 16), 2u);
    EXPECT_EQ(U32At(record, 20), 156u);
    EXPECT_EQ(U32At(record, 24), 15u);
    EXPECT_EQ(NameAt(record, 32, 32), u"Netz \u00E9");
    EXPECT_EQ(NameAt(record, 96, 16), std::u16string(15, u'S'));
    EXPECT_EQ(NameAt(record, 128, 16), u"26201");
    EXPECT_EQ(NameAt(record, 160, 8), u"");
    EXPECT_EQ(U32At(record, 180), 3u);
    EXPECT_EQ(U32At(record, 184), 7u);
    EXPECT_EQ(U32At(record, 192), 9u);
    EXPECT_EQ(U32At(record, 244), 0u);

    struct Numeric {
        uint16_t mcc, mnc;
        uint8_t three_digits;
        std::u16string name;
    } numerics[] = {{262, 1, 1, u"262001"}, {0xFFFF, 0xFFFF, 0, u"00000"}, {65000, 65000, 1, u"650006"}};
    for (const Numeric& n : numerics) {
        provider.mcc = n.mcc;
        provider.mnc = n.mnc;
        provider.three_digit_mnc = n.three_digits;
        ril_fill_operator_record(provider, record);
        EXPECT_EQ(NameAt(record, 128, 16), n.name);
    }
    // Names that do not fit with their terminator are left empty.
    memset(provider.long_name, 'L', sizeof(provider.long_name));
    memset(provider.short_name, 'S', 16);
    ril_fill_operator_record(provider, record);
    EXPECT_EQ(NameAt(record, 32, 32), u"");
    EXPECT_EQ(NameAt(record, 96, 16), u"");
}

} // namespace
