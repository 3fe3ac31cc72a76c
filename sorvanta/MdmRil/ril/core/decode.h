// Decoding of modem-side encodings.
#pragma once

#include <stdint.h>

// BCD digits, high nibble first: 0-9, 10 '*', 11 '#'. 12 to 14 stop with 1, 15 stops with 0; a
// complete run gives 1. Writes two characters per byte decoded (so `output` needs 2 x length) and no
// NUL; a negative length decodes nothing.
int decode_bcd_digits(const uint8_t* bytes, int8_t length, char* output);
