#include "decode.h"

#include <initializer_list>

namespace {

// The character of one nibble; 0 when it ends the digits.
char Digit(unsigned nibble)
{
    if (nibble <= 9)
        return static_cast<char>('0' + nibble);
    if (nibble == 10)
        return '*';
    if (nibble == 11)
        return '#';
    return '\0';
}

} // namespace

int decode_bcd_digits(const uint8_t* bytes, int8_t length, char* output)
{
    if (bytes == nullptr || output == nullptr)
        return 1;
    for (int i = 0; i < length; i++) {
        for (unsigned nibble :
             {static_cast<unsigned>(bytes[i] >> 4), static_cast<unsigned>(bytes[i] & 0xF)}) {
            char c = Digit(nibble);
            if (c == '\0')
                return nibble == 15 ? 0 : 1;
            *output++ = c;
        }
    }
    return 1;
}
