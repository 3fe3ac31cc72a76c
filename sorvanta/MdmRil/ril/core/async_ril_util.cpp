// The small trace and conversion routines that sit beside the RIL worker.
#include "async_ril.h"

#include "ril_trace.h"
#include "trace_util.h"

#include <string.h>

namespace {

constexpr int kPrintLineBytes = 120;
// trace_mdm_rawbuffer: 33 bytes on the first line, 32 on each further one.
constexpr int kRawFirstLineEnd = 32;
constexpr int kRawLineBytes = 32;
constexpr int kRawAreaSize = 2190;

} // namespace

void print_line(const uint8_t* buffer, int count)
{
    if (buffer == nullptr || count <= 0)
        return;
    char line[kPrintLineBytes + 1];
    int n = count < kPrintLineBytes ? count : kPrintLineBytes;
    for (int i = 0; i < n; i++)
        line[i] = buffer[i] == 0 ? ' ' : static_cast<char>(buffer[i]);
    line[n] = '\0';
    RIL_TRACE(RIL_MASK_FLOW, "print_line : %s", line);
}

void print_lines(const uint8_t* buffer, int count)
{
    int left = static_cast<uint8_t>(count);
    for (; buffer != nullptr && left > kPrintLineBytes; left -= kPrintLineBytes, buffer += kPrintLineBytes)
        print_line(buffer, kPrintLineBytes);
    print_line(buffer, left);
}

void trace_bytes_decimal(const uint8_t* buffer, int count)
{
    for (int i = 0; buffer != nullptr && i < count; i++)
        RIL_TRACE(RIL_MASK_FLOW, "%d", buffer[i]);
    RIL_TRACE(RIL_MASK_FLOW, "\n");
}

void trace_mdm_rawbuffer(const uint8_t* buffer, uint16_t length, const char* caption)
{
    if (caption != nullptr)
        RIL_TRACE(RIL_MASK_FLOW, "buf  of type %s of len %d is ------", caption, length);
    if (buffer == nullptr || !ril_config_trace_enabled(0, RIL_MASK_FLOW))
        return;
    // One area per thread, and each line starts it afresh, so no dump can run past its end.
    thread_local char area[kRawAreaSize];
    int used = 0;
    for (int i = 0; i < length; i++) {
        area[used++] = hex_digit_upper(buffer[i] >> 4);
        area[used++] = hex_digit_upper(buffer[i] & 0xF);
        bool lineEnds = i == length - 1 || i == kRawFirstLineEnd ||
                        (i > kRawFirstLineEnd && (i - kRawFirstLineEnd) % kRawLineBytes == 0);
        if (lineEnds) {
            area[used] = '\0';
            RIL_TRACE(RIL_MASK_FLOW, "trace_mdm_rawbuffer : %s", area);
            used = 0;
        }
    }
}

bool buffer_has_nonzero(const uint8_t* buffer, int count)
{
    for (int i = 0; buffer != nullptr && i < count; i++)
        if (buffer[i] != 0)
            return true;
    return false;
}

void convert_U8_to_ASCII(const uint8_t* input, int count, uint8_t* output)
{
    if (input == nullptr || output == nullptr || count <= 0)
        return;
    trace_hex_bufs(input, nullptr, count, "convert_U8_to_ASCII : 8bit input  data before conversion->");
    for (int i = 0; i < count; i++)
        output[i] = static_cast<uint8_t>(input[i] | 0x30);
    trace_hex_bufs(output, nullptr, count, "convert_U8_to_ASCII : ASCII  data after conversion->");
}

void convert_U8_to_U16(const uint8_t* input, int count, uint8_t* output, int* length)
{
    if (input == nullptr || output == nullptr || length == nullptr || count < 0)
        return;
    if (*length < 2 * count)
        count = *length / 2;
    for (int i = 0; i < count; i++) {
        output[2 * i] = input[i];
        output[2 * i + 1] = 0;
    }
    *length = 2 * count;
}

void convert_U16_to_U8(const uint8_t* input, int byte_count, uint8_t* output, int* length)
{
    if (input == nullptr || output == nullptr || length == nullptr || byte_count < 0)
        return;
    if (*length < byte_count / 2)
        byte_count = 2 * *length;
    trace_hex_bufs(input, nullptr, byte_count, "16bit input  data before conversion");
    for (int i = 0; i < byte_count / 2; i++)
        output[i] = input[2 * i];
    *length = byte_count / 2;
    trace_hex_bufs(output, nullptr, *length, "8bit  data after conversion->");
}
