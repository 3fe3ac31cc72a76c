#include "trace_util.h"

#include "ril_trace.h"

#include <ctype.h>
#include <string.h>

namespace {

constexpr int kHexDumpSize = 8190;
constexpr int kTraceBufsSize = 4096;
constexpr int kTraceBufsMaxBytes = kTraceBufsSize - 3;

// The first dump line holds 12 bytes, every further one 16.
bool LineEndsAfter(int i, int length)
{
    return i == length - 1 || (i >= 11 && (i - 11) % 16 == 0);
}

// The separator after byte i inside a line: a space after every fourth byte, else an underscore after
// an odd one.
char SeparatorAfter(int i)
{
    if ((i + 1) % 4 == 0)
        return ' ';
    return (i % 2) ? '_' : '\0';
}

// Dumps one buffer line by line into the calling thread's `line`; `newline` ends each line with '\n'.
void DumpLines(const uint8_t* data, int length, bool upper, bool newline, char* line, int capacity)
{
    int pos = 0;
    for (int i = 0; i < length; i++) {
        line[pos++] = upper ? hex_digit_upper(data[i] >> 4) : hex_digit_lower(data[i] >> 4);
        line[pos++] = upper ? hex_digit_upper(data[i]) : hex_digit_lower(data[i]);
        if (LineEndsAfter(i, length) || pos >= capacity - 3) {
            if (newline)
                line[pos++] = '\n';
            line[pos] = '\0';
            RIL_TRACE(RIL_MASK_FUNC, "%s \n", line);
            pos = 0;
            continue;
        }
        if (char sep = SeparatorAfter(i))
            line[pos++] = sep;
    }
}

void DumpCaptioned(const void* buf1, const void* buf2, int length, const char* caption, bool upper,
                   bool newline, char* line, int capacity)
{
    if (!ril_config_trace_enabled(0, RIL_MASK_FUNC))
        return;
    const char* name = caption ? caption : " ";
    RIL_TRACE(RIL_MASK_FUNC, "buf 1 of type %s of len %d is ------ \n", name, length);
    if (buf1 != nullptr)
        DumpLines(static_cast<const uint8_t*>(buf1), length, upper, newline, line, capacity);
    if (buf2 != nullptr) {
        RIL_TRACE(RIL_MASK_FUNC, "buf 2 of type %s of len %d is ------ \n", name, length);
        DumpLines(static_cast<const uint8_t*>(buf2), length, upper, newline, line, capacity);
    }
}

int Min(int a, int b)
{
    return a < b ? a : b;
}

} // namespace

char hex_digit_upper(unsigned value)
{
    return "0123456789ABCDEF"[value & 0xF];
}

char hex_digit_lower(unsigned value)
{
    return "0123456789abcdef"[value & 0xF];
}

int trace_hex_bufs(const void* buf1, const void* buf2, int length, const char* caption)
{
    thread_local char line[kHexDumpSize];
    DumpCaptioned(buf1, buf2, length, caption, true, true, line, kHexDumpSize);
    return 0;
}

void trace_bufs(const void* buf1, const void* buf2, int length, const char* caption)
{
    thread_local char line[kTraceBufsSize];
    DumpCaptioned(buf1, buf2, Min(length, kTraceBufsMaxBytes), caption, false, false, line, kTraceBufsSize);
    RIL_TRACE(RIL_MASK_FLOW, "trace_bufs--  ______________<<   \n");
}

int convert_U16_to_U8_terminated(uint8_t* dest, int dest_size, int* out_count, const uint8_t* src, int src_len)
{
    trace_hex_bufs(src, nullptr, src_len, "16bit input  before conv and 8bit output");
    int count = 0;
    if (dest != nullptr && src != nullptr && dest_size > 0 && src_len > 0)
        count = Min(dest_size, (src_len + 1) / 2);
    for (int i = 0; i < count; i++)
        dest[i] = src[2 * i];
    if (out_count != nullptr)
        *out_count = count;
    // A full destination keeps no room for the NUL: callers that need text reserve a byte.
    if (dest != nullptr && count < dest_size)
        dest[count] = '\0';
    RIL_TRACE(RIL_MASK_FUNC, "buf 1 of type %s of len %d is ------ \n", "8bit  data after conversion->", count);
    trace_hex_bufs(dest, nullptr, count, nullptr);
    return count;
}

int format_hex_sizes(int size, int count, int* fit)
{
    if (fit != nullptr) {
        if (size <= 1)
            *fit = 0;
        else if (size <= 22)
            *fit = size / 4;
        else
            *fit = size * 8 / 22 - 1;
    }
    if (count < 0)
        count = 0;
    return 22 * (count / 8) + ((count % 2) ? 2 : 0) + 5 * ((count / 2) % 4) + 1;
}

void format_hex_bytes(char* buffer, int size, const uint8_t* data, int length, int count)
{
    // Nothing is written into a missing or empty buffer, not even the terminator.
    if (buffer == nullptr || size < 1)
        return;
    buffer[0] = '\0';
    if (data == nullptr || length <= 0 || count <= 0)
        return;
    memset(buffer, 0, size);
    int fit = 0;
    int needed = format_hex_sizes(size, count, &fit);
    int bytes = size < needed ? fit : Min(count, length);
    bytes = Min(bytes, length);
    int pos = 0;
    for (int i = 0; i < bytes && pos + 2 < size; i++) {
        buffer[pos++] = hex_digit_lower(data[i] >> 4);
        buffer[pos++] = hex_digit_lower(data[i]);
        if (i == bytes - 1)
            break;
        const char* sep = "";
        if ((i + 1) % 8 == 0)
            sep = " . ";
        else if (char c = SeparatorAfter(i))
            sep = c == ' ' ? " " : "_";
        for (; *sep && pos + 1 < size; sep++)
            buffer[pos++] = *sep;
    }
    buffer[pos] = '\0';
}

uint32_t Big_toLE(uint32_t value)
{
    uint32_t le = ((value & 0xFF) << 24) | ((value & 0xFF00) << 8) | ((value >> 8) & 0xFF00) | (value >> 24);
    RIL_TRACE(RIL_MASK_FLOW, "Big_toLE : Big val: %01x, conv LE val: %01x\n", value, le);
    return le;
}

uint32_t BigP_toLE(const uint8_t* bytes, int length)
{
    if (bytes == nullptr || length < 4) {
        RIL_TRACE(RIL_MASK_FLOW, "BigP_toLE : Caution! invalid length\n");
        return 0;
    }
    uint32_t value = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    RIL_TRACE(RIL_MASK_FLOW, "BigP_toLE : BigP bytes: %01x%01x %01x%01x , conv LE val: %01x\n", bytes[0], bytes[1],
              bytes[2], bytes[3], value);
    return value;
}

int util_strnicmp_s(const char* s1, int s1_size, const char* s2, int s2_size, int width)
{
    if (s1 == nullptr || s2 == nullptr || s1_size <= 0 || s2_size <= 0)
        return 255;
    int count = Min(s1_size, s2_size);
    if (width != 0) {
        if (count < width)
            return 255;
        count = width;
    }
    for (int i = 0; i < count; i++) {
        int c1 = toupper(static_cast<unsigned char>(s1[i]));
        int c2 = toupper(static_cast<unsigned char>(s2[i]));
        if (c1 != c2)
            return static_cast<uint8_t>(c1 - c2);
        if (c1 == '\0')
            return 0;
    }
    return 0;
}

int util_stristr_s(const char* needle, int needle_size, const char* text, int text_len, int width)
{
    if (needle == nullptr || text == nullptr || needle_size <= 0 || text_len <= 0)
        return 255;
    int compared = width != 0 ? width : needle_size - 1;
    RIL_TRACE(RIL_MASK_FLOW, "util_stristr_s++  ______________>>   m1 m2  width: ->( %d %d   %d)\n", needle_size,
              text_len, compared);
    if (text_len == 2 || text_len == 3)
        RIL_TRACE(RIL_MASK_FLOW, "util_stristr_s : str few chars: %c%c\n", text[0], text[1]);
    else if (text_len >= 4)
        RIL_TRACE(RIL_MASK_FLOW, "util_stristr_s : str few chars: %c%c%c%c\n", text[0], text[1], text[2], text[3]);
    for (int g = 0;; g++) {
        if (text_len - g - 1 < compared) {
            RIL_TRACE(RIL_MASK_FLOW, "util_stristr_s--  ______________<<   Mismatch! \n");
            return 255;
        }
        if (util_strnicmp_s(needle, needle_size, text + g, text_len - g, compared) == 0) {
            RIL_TRACE(RIL_MASK_FLOW, "util_stristr_s--  ______________<<   Matched!\n");
            return 0;
        }
    }
}
