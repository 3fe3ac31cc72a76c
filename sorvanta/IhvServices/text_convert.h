// Conversions of RIL-style values and text: SIM lock states, signal bars, semi-octet numbers, GSM 7-bit
// text (default alphabet and extension table), data coding schemes, UCS-2, UTF-8/UTF-16 and the operator
// record. Pure functions of their arguments; every buffer is bounded by the size passed with it.
#pragma once

#include "ril_api.h"

#include <stddef.h>
#include <stdint.h>
#include <string>

// ---- SIM and radio values ------------------------------------------------------------------------

// 1 -> 2, 2 -> 3, 4 -> 4, else 0; writes its two lines to standard output.
uint8_t ril_map_uicc_lock_state(int state);

enum RilSignalScale { RIL_SIGNAL_SCALE_1 = 1, RIL_SIGNAL_SCALE_2 = 2, RIL_SIGNAL_SCALE_3 = 3 };
// Bars 1 to 5 of a signal level on one of the three threshold sets.
int ril_signal_bars(RilSignalScale scale, int level);

// 1 -> 3, 2 -> 5, 3 -> 4, 4 -> 6, 5 -> 7, else 1.
int ril_map_code(int code);

// 1 when the RIL core's table gives a first physical slot (not -1); 0 without a table.
int ril_physical_slot_set(const RadioCallbacks* table);

// ---- digits and numbers --------------------------------------------------------------------------

// Upper-case hex digits; above '9' is taken as a letter.
int ril_hex_digit_value(char digit);
// Low nibble (0 when above 9) * 10 + high nibble (0 when the byte is 0xA0 or more).
int ril_swapped_bcd_value(uint8_t byte);

// Decodes a semi-octet number {length, type of number, digit bytes...} of `number_size` bytes into
// `text` (always zero-terminated within `text_size`). Modes 0 and 2 count the length in bytes (type
// included), others in digits. Returns the bytes the number takes: digit bytes + 2, or for an empty
// number 2 in mode 1 and 1 otherwise.
int ril_decode_semi_octets(const uint8_t* number, size_t number_size, char* text, size_t text_size, int mode);

// ---- data coding schemes -------------------------------------------------------------------------

enum : int { RIL_ALPHABET_GSM7 = 1, RIL_ALPHABET_8BIT = 2, RIL_ALPHABET_UCS2 = 3, RIL_ALPHABET_RESERVED = 4 };

int ril_dcs_alphabet(uint8_t dcs);

struct RilDcsRecord {
    uint32_t size; // 32
    uint32_t field_mask;
    uint32_t type;
    uint32_t flags;
    uint32_t message_class;
    uint32_t alphabet;
    uint32_t language; // 4
    uint32_t reserved;
};
static_assert(sizeof(RilDcsRecord) == 32, "32-byte DCS record");

RilDcsRecord ril_dcs_record(uint8_t dcs);
// 1 unless the alphabet is 8-bit data or UCS-2.
int ril_alphabet_is_7bit(int alphabet);

// ---- GSM 7-bit text ------------------------------------------------------------------------------

#define GSM_ESCAPE 27

// Unpacks up to `count` septets (as many as `packed_size` bytes hold, `fill_bits` into the first byte)
// into UTF-16 through the default alphabet (an escape gives 0). Returns the septets unpacked.
int gsm_unpack_septets(const uint8_t* packed, size_t packed_size, int count, char16_t* out, int fill_bits);

// Default code -> UTF-16: ' ' for 0x80 and above (escape: 0xFFFE).
char16_t gsm_default_to_utf16(uint8_t code);
// The same with 0xFFFF for 0x80 and above.
char16_t gsm_default_to_utf16_checked(uint8_t code);
// Extension code -> UTF-16, -1 when it has none.
int gsm_extension_to_utf16(uint8_t code);
// A code that may follow an escape: the extension pairs first, then the default alphabet (escape ' ').
char16_t gsm_any_to_utf16(uint8_t code);

// UTF-16 -> extension code, 255 when none.
uint8_t utf16_to_gsm_extension(char16_t ch);
// UTF-16 -> default code, 0x20 when none.
uint8_t utf16_to_gsm_default(char16_t ch);
// UTF-16 -> GSM code; *escape set for an extension character.
uint8_t utf16_to_gsm(char16_t ch, bool* escape);

// Septets of UTF-16 text (2 for a character that needs an escape): over `count` characters; until
// `limit` septets are reached; up to the terminating zero. A missing text counts 0.
int gsm_septets_of_chars(const char16_t* text, int count);
int gsm_septets_until(const char16_t* text, int limit);
int gsm_septets_of_text(const char16_t* text);

// Unpacked GSM codes (one per byte) -> 8-bit text within `capacity`; the bytes written. Mode 0 through
// the UTF-16 alphabet (low byte), mode 1 through ASCII, escapes through the extension pairs, unmapped
// codes skipped; modes 2 and 3 copy bytes below 0x80; other modes write nothing.
int gsm_decode_to_8bit(const uint8_t* codes, int count, char* out, int capacity, int mode);
// The same over 16-bit units (their low bytes).
int gsm_decode16_to_8bit(const uint16_t* units, int count, char* out, int capacity, int mode);

// Each of `length` bytes (taken as 16-bit) becomes one UTF-16 unit.
void ril_bytes_to_utf16(const uint8_t* bytes, int length, char16_t* out);

// ---- UCS-2 and strings ---------------------------------------------------------------------------

// Big-endian UCS-2 -> UTF-16 units (at most `capacity`), their count in *count. Mode 1 skips 2 bytes at
// every offset that is a multiple of 82 (the first two included). A zero after a carriage return ends
// the text and takes back the two units before it.
void ril_unpack_ucs2_be(char16_t* values, int capacity, int* count, int length, const uint8_t* data, int mode);

int ril_strlen8(const char* text);
int ril_strlen16(const char16_t* text);

// Through the code-page layer; missing, empty or invalid text gives an empty result.
std::string utf16_to_utf8(const char16_t* text);
std::u16string utf8_to_utf16(const char* text);

// ---- operator record -----------------------------------------------------------------------------

struct RilProviderDescription {
    uint32_t home;
    uint32_t flags[3];
    uint32_t values[3];
    uint16_t mnc;
    char long_name[32];  // UTF-8, not necessarily terminated
    char short_name[32];
    uint16_t mcc;
    uint8_t three_digit_mnc;
};

#define RIL_OPERATOR_RECORD_SIZE 248
void ril_fill_operator_record(const RilProviderDescription& provider, uint8_t (&record)[RIL_OPERATOR_RECORD_SIZE]);
