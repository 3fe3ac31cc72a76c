// Reading the modem's AT answers.
#include "filter.h"

ULONG AtParseDecimal(const char* Text, ULONG Length)
{
    ULONG value = 0;
    for (ULONG i = 0; i < Length; i++) {
        char c = Text[i];
        if (c == ' ')
            continue;
        if (c < '0' || c > '9')
            break;
        value = value * 10 + ULONG(c - '0');
    }
    return value;
}
