#include "text_convert.h"

#include "memutil.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

// ---- SIM and radio values ------------------------------------------------------------------------

uint8_t ril_map_uicc_lock_state(int state)
{
    printf("ril_map_uicc_lock_state++\n");
    uint8_t lock_state = state == 1 ? 2 : state == 2 ? 3 : state == 4 ? 4 : 0;
    printf("ril_map_uicc_lock_state-- :getstatus lock_state=%d\n", lock_state);
    fflush(stdout);
    return lock_state;
}

int ril_signal_bars(RilSignalScale scale, int level)
{
    // Lowest level of 5, 4 and 3 bars, and highest level of 1 bar; 2 bars otherwise.
    struct Thresholds {
        int five, four, three, one;
    };
    static const Thresholds kScales[] = {{31, 21, 11, 4}, {23, 13, 4, 0}, {30, 22, 13, 6}};
    int index = scale >= RIL_SIGNAL_SCALE_1 && scale <= RIL_SIGNAL_SCALE_3 ? scale - 1 : 0;
    const Thresholds& t = kScales[index];
    if (level >= t.five)
        return 5;
    if (level >= t.four)
        return 4;
    if (level >= t.three)
        return 3;
    if (level <= t.one)
        return 1;
    return 2;
}

int ril_map_code(int code)
{
    static const int kCodes[] = {1, 3, 5, 4, 6, 7};
    return code >= 1 && code <= 5 ? kCodes[code] : 1;
}

int ril_physical_slot_set(const RadioCallbacks* table)
{
    return table != nullptr && table->radio_parameters.phySlot[0] != -1 ? 1 : 0;
}

// ---- digits and numbers --------------------------------------------------------------------------

int ril_hex_digit_value(char digit)
{
    return digit > '9' ? digit - 55 : digit - 48;
}

int ril_swapped_bcd_value(uint8_t byte)
{
    int low = byte & 0x0F;
    int high = byte >= 0xA0 ? 0 : byte >> 4;
    return (low > 9 ? 0 : low) * 10 + high;
}

namespace {

// Appends while room is left for the terminating zero.
struct TextOut {
    char* text;
    size_t size;
    size_t used = 0;
    void Put(char c)
    {
        if (used + 1 < size)
            text[used++] = c;
    }
    void End()
    {
        if (size != 0)
            text[used] = '\0';
    }
};

} // namespace

int ril_decode_semi_octets(const uint8_t* number, size_t number_size, char* text, size_t text_size, int mode)
{
    static const char kDigits[] = "0123456789*#p";
    TextOut out{text, text != nullptr ? text_size : 0};
    out.End();
    if (number == nullptr || number_size == 0)
        return 0;
    int length = number[0];
    if (length == 0)
        return mode == 1 ? 2 : 1;
    int digit_bytes = mode == 0 || mode == 2 ? length - 1 : length < 21 ? (length + 1) / 2 : 10;
    // The length byte may claim more than was handed in.
    if (number_size < 2)
        return static_cast<int>(number_size);
    if (static_cast<size_t>(digit_bytes) > number_size - 2)
        digit_bytes = static_cast<int>(number_size - 2);
    if ((number[1] & 0x70) == 0x10)
        out.Put('+');
    char previous[2] = {0, 0}; // what the low and the high nibble gave in the byte before
    for (int i = 0; i < digit_bytes; i++) {
        uint8_t byte = number[2 + i];
        uint8_t nibbles[2] = {static_cast<uint8_t>(byte & 0x0F), static_cast<uint8_t>(byte >> 4)};
        bool ended = false;
        for (int n = 0; n < 2 && !ended; n++) {
            uint8_t nibble = nibbles[n];
            if (n == 0 && nibble == 0x0F) {
                ended = true;
            } else if (n == 1 && byte >= 0xF0) {
                ended = true; // the low nibble was the last digit
            } else if (nibble == 0x0D || nibble == 0x0E) {
                if (i == 0)
                    ended = true;
                else
                    out.Put(previous[n]);
            } else {
                previous[n] = kDigits[nibble];
                out.Put(previous[n]);
            }
        }
        if (ended)
            break;
    }
    out.End();
    return digit_bytes + 2;
}

// ---- data coding schemes -------------------------------------------------------------------------

int ril_dcs_alphabet(uint8_t dcs)
{
    uint8_t group = dcs & 0xF0;
    if (group <= 0x30) {
        static const int kAlphabets[] = {RIL_ALPHABET_GSM7, RIL_ALPHABET_8BIT, RIL_ALPHABET_UCS2, RIL_ALPHABET_RESERVED};
        return kAlphabets[(dcs >> 2) & 3];
    }
    if (group == 0xE0)
        return RIL_ALPHABET_UCS2;
    if (group == 0xF0)
        return dcs & 0x04 ? RIL_ALPHABET_8BIT : RIL_ALPHABET_GSM7;
    return RIL_ALPHABET_GSM7;
}

RilDcsRecord ril_dcs_record(uint8_t dcs)
{
    RilDcsRecord record = {sizeof(RilDcsRecord), 0, 0, 0, 0, 0, 4, 0};
    uint8_t group = dcs & 0xF0;
    bool bit5 = dcs & 0x20;
    bool bit3 = dcs & 0x08;
    uint8_t class_bits = dcs & 0x13; // bits 4, 1 and 0
    int general_alphabet = ((dcs >> 2) & 3) == 1 ? RIL_ALPHABET_8BIT
                           : ((dcs >> 2) & 3) == 2 ? RIL_ALPHABET_UCS2
                                                   : RIL_ALPHABET_GSM7;
    if (group <= 0x30) {
        record.type = 1;
        record.flags = bit5 ? 1 : 0;
        record.message_class = class_bits == 0x11 ? 2 : class_bits == 0x12 ? 3 : class_bits == 0x13 ? 4 : 1;
        record.alphabet = general_alphabet;
        record.field_mask = 0x0D | (bit5 ? 2 : 0);
    } else if (group == 0xC0) {
        record = {sizeof(RilDcsRecord), 0x1B, 2, 4, 0, RIL_ALPHABET_GSM7, 4, 0};
    } else if (group == 0xD0 || group == 0xE0) {
        record.type = 2;
        record.flags = bit3 ? 2 : 0;
        record.alphabet = group == 0xE0 ? RIL_ALPHABET_UCS2 : RIL_ALPHABET_GSM7;
        record.field_mask = 0x19 | (bit3 ? 2 : 0);
    } else if (group == 0xF0) {
        record.type = 3;
        record.message_class = (dcs & 3) + 1;
        record.alphabet = dcs & 0x04 ? RIL_ALPHABET_8BIT : RIL_ALPHABET_GSM7;
        record.field_mask = 0x0D;
    } else {
        record.type = 1;
        record.flags = bit5 ? 1 : 0;
        record.message_class = class_bits == 0x10 ? 1 : class_bits == 0x11 ? 2 : class_bits == 0x13 ? 4 : 3;
        record.alphabet = general_alphabet;
        record.field_mask = 0x1D | (bit5 ? 2 : 0);
    }
    return record;
}

int ril_alphabet_is_7bit(int alphabet)
{
    return alphabet == RIL_ALPHABET_8BIT || alphabet == RIL_ALPHABET_UCS2 ? 0 : 1;
}

// ---- GSM 7-bit text ------------------------------------------------------------------------------

namespace {

// The default alphabet, the escape (27) as 0.
constexpr char16_t kGsmDefault[128] = {
    u'@', 0x00A3, u'$', 0x00A5, 0x00E8, 0x00E9, 0x00F9, 0x00EC, 0x00F2, 0x00C7, u'\n', 0x00D8, 0x00F8, u'\r', 0x00C5, 0x00E5,
    0x0394, u'_', 0x03A6, 0x0393, 0x039B, 0x03A9, 0x03A0, 0x03A8, 0x03A3, 0x0398, 0x039E, 0, 0x00C6, 0x00E6, 0x00DF, 0x00C9,
    u' ', u'!', u'"', u'#', 0x00A4, u'%', u'&', u'\'', u'(', u')', u'*', u'+', u',', u'-', u'.', u'/',
    u'0', u'1', u'2', u'3', u'4', u'5', u'6', u'7', u'8', u'9', u':', u';', u'<', u'=', u'>', u'?',
    0x00A1, u'A', u'B', u'C', u'D', u'E', u'F', u'G', u'H', u'I', u'J', u'K', u'L', u'M', u'N', u'O',
    u'P', u'Q', u'R', u'S', u'T', u'U', u'V', u'W', u'X', u'Y', u'Z', 0x00C4, 0x00D6, 0x00D1, 0x00DC, 0x00A7,
    0x00BF, u'a', u'b', u'c', u'd', u'e', u'f', u'g', u'h', u'i', u'j', u'k', u'l', u'm', u'n', u'o',
    u'p', u'q', u'r', u's', u't', u'u', u'v', u'w', u'x', u'y', u'z', 0x00E4, 0x00F6, 0x00F1, 0x00FC, 0x00E0,
};

// The ASCII character of each default code that has one, -1 for the others.
struct GsmAscii {
    int32_t codes[128];
    constexpr GsmAscii() : codes()
    {
        for (int i = 0; i < 128; i++)
            codes[i] = i != GSM_ESCAPE && kGsmDefault[i] < 0x80 ? kGsmDefault[i] : -1;
    }
};
constexpr GsmAscii kGsmAscii;

struct GsmExtension {
    uint8_t code;
    char16_t ch;
};
// The nine pairs that follow an escape; the euro sign (0x65) is handled beside them.
constexpr GsmExtension kGsmExtensions[] = {
    {0x0A, 0x000C}, {0x14, u'^'}, {0x28, u'{'}, {0x29, u'}'}, {0x2F, u'\\'},
    {0x3C, u'['},   {0x3D, u'~'}, {0x3E, u']'}, {0x40, u'|'},
};
constexpr uint8_t kGsmEuroCode = 0x65;
constexpr char16_t kEuro = 0x20AC;

int ExtensionPair(uint8_t code)
{
    for (const GsmExtension& pair : kGsmExtensions)
        if (pair.code == code)
            return pair.ch;
    return -1;
}

} // namespace

int gsm_unpack_septets(const uint8_t* packed, size_t packed_size, int count, char16_t* out, int fill_bits)
{
    if (packed == nullptr || out == nullptr || count <= 0 || fill_bits < 0 || fill_bits > 7)
        return 0;
    uint64_t bits = static_cast<uint64_t>(packed_size) * 8;
    int n = 0;
    for (; n < count; n++) {
        uint64_t bit = static_cast<uint64_t>(fill_bits) + static_cast<uint64_t>(n) * 7;
        if (bit + 7 > bits)
            break;
        size_t byte = static_cast<size_t>(bit / 8);
        unsigned shift = static_cast<unsigned>(bit % 8);
        unsigned value = packed[byte] >> shift;
        if (shift > 1)
            value |= packed[byte + 1] << (8 - shift);
        out[n] = kGsmDefault[value & 0x7F];
    }
    return n;
}

char16_t gsm_default_to_utf16(uint8_t code)
{
    if (code >= 0x80)
        return u' ';
    return code == GSM_ESCAPE ? 0xFFFE : kGsmDefault[code];
}

char16_t gsm_default_to_utf16_checked(uint8_t code)
{
    return code >= 0x80 ? 0xFFFF : gsm_default_to_utf16(code);
}

int gsm_extension_to_utf16(uint8_t code)
{
    return code == kGsmEuroCode ? kEuro : ExtensionPair(code);
}

char16_t gsm_any_to_utf16(uint8_t code)
{
    int pair = ExtensionPair(code);
    if (pair >= 0)
        return static_cast<char16_t>(pair);
    if (code == GSM_ESCAPE)
        return u' ';
    return gsm_default_to_utf16(code);
}

uint8_t utf16_to_gsm_extension(char16_t ch)
{
    if (ch == kEuro)
        return kGsmEuroCode;
    for (const GsmExtension& pair : kGsmExtensions)
        if (pair.ch == ch)
            return pair.code;
    return 255;
}

uint8_t utf16_to_gsm_default(char16_t ch)
{
    for (uint8_t code = 0; code < 128; code++)
        if (kGsmDefault[code] == ch)
            return code;
    return 0x20;
}

uint8_t utf16_to_gsm(char16_t ch, bool* escape)
{
    uint8_t extension = utf16_to_gsm_extension(ch);
    if (escape != nullptr)
        *escape = extension != 255;
    return extension != 255 ? extension : utf16_to_gsm_default(ch);
}

namespace {

int SeptetsOf(char16_t ch)
{
    return utf16_to_gsm_extension(ch) != 255 ? 2 : 1;
}

} // namespace

int gsm_septets_of_chars(const char16_t* text, int count)
{
    int septets = 0;
    for (int i = 0; text != nullptr && i < count; i++)
        septets += SeptetsOf(text[i]);
    return septets;
}

int gsm_septets_until(const char16_t* text, int limit)
{
    int septets = 0;
    for (; text != nullptr && *text != 0 && septets < limit; text++)
        septets += SeptetsOf(*text);
    return septets;
}

int gsm_septets_of_text(const char16_t* text)
{
    int septets = 0;
    for (; text != nullptr && *text != 0; text++)
        septets += SeptetsOf(*text);
    return septets;
}

int gsm_decode_to_8bit(const uint8_t* codes, int count, char* out, int capacity, int mode)
{
    if (codes == nullptr || out == nullptr || mode < 0 || mode > 3)
        return 0;
    int written = 0;
    for (int i = 0; i < count && written < capacity; i++) {
        uint8_t code = codes[i];
        int value;
        if (mode >= 2) {
            value = code < 0x80 ? code : -1;
        } else if (code == GSM_ESCAPE) {
            // An escape with nothing after it ends the text.
            if (++i >= count)
                break;
            value = gsm_extension_to_utf16(codes[i]);
        } else if (code >= 0x80) {
            value = -1;
        } else {
            value = mode == 0 ? kGsmDefault[code] : kGsmAscii.codes[code];
        }
        if (value >= 0)
            out[written++] = static_cast<char>(value & 0xFF);
    }
    return written;
}

int gsm_decode16_to_8bit(const uint16_t* units, int count, char* out, int capacity, int mode)
{
    if (units == nullptr || count <= 0)
        return 0;
    uint8_t* codes = static_cast<uint8_t*>(MEMUTIL_ALLOC(static_cast<size_t>(count)));
    if (codes == nullptr)
        return 0;
    for (int i = 0; i < count; i++)
        codes[i] = static_cast<uint8_t>(units[i] & 0xFF);
    int written = gsm_decode_to_8bit(codes, count, out, capacity, mode);
    MEMUTIL_FREE(codes);
    return written;
}

void ril_bytes_to_utf16(const uint8_t* bytes, int length, char16_t* out)
{
    uint16_t units = static_cast<uint16_t>(length);
    for (uint16_t i = 0; bytes != nullptr && out != nullptr && i < units; i++)
        out[i] = bytes[i];
}

// ---- UCS-2 and strings ---------------------------------------------------------------------------

void ril_unpack_ucs2_be(char16_t* values, int capacity, int* count, int length, const uint8_t* data, int mode)
{
    int n = 0;
    for (int offset = 0; values != nullptr && data != nullptr && offset + 1 < length && n < capacity;) {
        if (mode == 1 && offset % 82 == 0) {
            offset += 2;
            continue;
        }
        char16_t unit = static_cast<char16_t>((data[offset] << 8) | data[offset + 1]);
        offset += 2;
        if (unit == 0 && n > 0 && values[n - 1] == u'\r') {
            n = n >= 2 ? n - 2 : 0;
            break;
        }
        values[n++] = unit;
    }
    if (count != nullptr)
        *count = n;
}

int ril_strlen8(const char* text)
{
    return text ? static_cast<int>(strlen(text)) : 0;
}

int ril_strlen16(const char16_t* text)
{
    int n = 0;
    while (text != nullptr && text[n] != 0)
        n++;
    return n;
}

std::string utf16_to_utf8(const char16_t* text)
{
    if (text == nullptr || *text == 0)
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string converted(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), size, nullptr, nullptr) != size)
        return std::string();
    converted.resize(static_cast<size_t>(size - 1));
    return converted;
}

std::u16string utf8_to_utf16(const char* text)
{
    if (text == nullptr || *text == 0)
        return std::u16string();
    int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (size <= 0)
        return std::u16string();
    std::u16string converted(static_cast<size_t>(size), u'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, converted.data(), size) != size)
        return std::u16string();
    converted.resize(static_cast<size_t>(size - 1));
    return converted;
}

// ---- operator record -----------------------------------------------------------------------------

namespace {

// Record layout.
enum : size_t {
    kRecordFieldMask = 4,
    kRecordFlags = 12,
    kRecordHome = 16,
    kNames = 20,
    kNamesSize = 156,
    kLongName = kNames + 12,
    kShortName = kLongName + 64,
    kNumericName = kShortName + 32,
    kCountryCode = kNumericName + 32,
    kRecordTail = 180,
};

void PutU32(uint8_t* record, size_t offset, uint32_t value)
{
    memcpy(record + offset, &value, sizeof(value));
}

// A name that does not fit with its terminator is left empty.
void PutName(uint8_t* record, size_t offset, size_t units, const std::u16string& name)
{
    if (name.size() < units)
        memcpy(record + offset, name.data(), name.size() * sizeof(char16_t));
}

std::string Field(const char (&text)[32])
{
    return std::string(text, strnlen(text, sizeof(text)));
}

} // namespace

void ril_fill_operator_record(const RilProviderDescription& provider, uint8_t (&record)[RIL_OPERATOR_RECORD_SIZE])
{
    memset(record, 0, sizeof(record));
    PutU32(record, 0, RIL_OPERATOR_RECORD_SIZE);
    PutU32(record, kRecordFieldMask, 0x6E);
    static const uint32_t kFlagBits[3] = {4, 8, 0x10};
    uint32_t flags = 0;
    for (int i = 0; i < 3; i++)
        flags |= provider.flags[i] ? kFlagBits[i] : 0;
    PutU32(record, kRecordFlags, flags);
    PutU32(record, kRecordHome, provider.home ? 2 : 1);

    PutU32(record, kNames, kNamesSize);
    PutU32(record, kNames + 4, 15);
    PutName(record, kLongName, 32, utf8_to_utf16(Field(provider.long_name).c_str()));
    PutName(record, kShortName, 16, utf8_to_utf16(Field(provider.short_name).c_str()));
    unsigned mcc = provider.mcc, mnc = provider.mnc;
    if (mcc == 0xFFFF && mnc == 0xFFFF)
        mcc = mnc = 0;
    // Six digits and the terminator; larger values are cut.
    char numeric[7];
    snprintf(numeric, sizeof(numeric), provider.three_digit_mnc ? "%03u%03u" : "%03u%02u", mcc, mnc);
    PutName(record, kNumericName, 16, utf8_to_utf16(numeric));
    // The country-code name stays empty: the description carries none.

    PutU32(record, kRecordTail, 3);
    for (int i = 0; i < 3; i++)
        PutU32(record, kRecordTail + 4 + 4 * i, provider.values[i]);
}
