// Hex dumps into the trace, hex text into a caller's buffer, byte-order conversions, a UTF-16 to 8-bit
// narrowing and two case-insensitive string functions.
#pragma once

#include <stdint.h>

// Upper-case dump of buffer 1 (and, when given, buffer 2 over the same length) under captions. 0.
int trace_hex_bufs(const void* buf1, const void* buf2, int length, const char* caption);
// The same in lower case, without line breaks, at most 4093 bytes of each buffer.
void trace_bufs(const void* buf1, const void* buf2, int length, const char* caption);

// Copies the low byte of each UTF-16 unit; NUL-terminates only when room is left. Returns the count.
int convert_U16_to_U8_terminated(uint8_t* dest, int dest_size, int* out_count, const uint8_t* src,
                                 int src_len);

// A NUL-terminated line of lower-case hex groups ("0001_0203 0405_0607 . ...") of what fits.
void format_hex_bytes(char* buffer, int size, const uint8_t* data, int length, int count);
// Characters needed for `count` bytes; the bytes that fit in `size` go to *fit.
int format_hex_sizes(int size, int count, int* fit);

char hex_digit_upper(unsigned value);
char hex_digit_lower(unsigned value);

uint32_t Big_toLE(uint32_t value);
// The first four bytes read most significant first; 0 for fewer than four.
uint32_t BigP_toLE(const uint8_t* bytes, int length);

int util_strnicmp_s(const char* s1, int s1_size, const char* s2, int s2_size, int width);
// 0 when the needle occurs in the text (case ignored), 255 when not.
int util_stristr_s(const char* needle, int needle_size, const char* text, int text_len, int width);
