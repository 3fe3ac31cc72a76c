// Hex dumps for the trace. Each call builds its lines in its own buffer, so dumps from several threads
// come out as whole lines.
#include "TraceDump.h"

#include "Trace.h"

#include <string.h>

namespace
{

constexpr ULONG kBytesPerLine = 16;
constexpr ULONG kDataColumn = 10;
constexpr ULONG kPaddedLines = 24; // below this line the offset field is four characters wide
constexpr char kFirstPrefix[] = "0   ->>   ";
static_assert(sizeof(kFirstPrefix) - 1 == kDataColumn);

// Spaces after the n-th byte of a line (counting from 1) when more bytes follow on it.
ULONG GapAfter(ULONG n)
{
    if (n % 8 == 0)
        return 6;
    if (n % 4 == 0)
        return 3;
    return n % 2 == 0 ? 1 : 0;
}

} // namespace

void FormatHexDumpOffset(char* Line, ULONG LineNumber)
{
    char digits[12];
    ULONG count = 0;
    ULONG offset = LineNumber * kBytesPerLine;
    do {
        digits[count++] = (char)('0' + offset % 10);
        offset /= 10;
    } while (offset != 0);
    for (ULONG i = 0; i < count; i++)
        Line[i] = digits[count - 1 - i];
    if (LineNumber < kPaddedLines)
        for (ULONG i = count; i < 4; i++)
            Line[i] = ' ';
}

void TraceHexDump(const char* Title, const UCHAR* Data, ULONG Length, ULONG Head, ULONG Tail)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DUMP, "%s", Title);
    if (Data == NULL || Length == 0 || Data[0] == 0)
        return;
    static const char hex[] = "0123456789abcdef";
    char line[128];
    memcpy(line, kFirstPrefix, kDataColumn);
    ULONG column = kDataColumn;
    ULONG inLine = 0;
    ULONG lineNumber = 0;
    for (ULONG i = 0; i < Length; i++) {
        line[column++] = hex[Data[i] >> 4];
        line[column++] = hex[Data[i] & 0xF];
        inLine++;
        bool headEnds = Head != 0 && i + 1 == Head;
        bool lineEnds = inLine == kBytesPerLine || i + 1 == Length || headEnds;
        if (!lineEnds)
            for (ULONG gap = GapAfter(inLine); gap != 0; gap--)
                line[column++] = ' ';
        if (headEnds) {
            memcpy(line + column, " {{", 3);
            column += 3;
            // The tail never reaches back over the head nor before the data.
            ULONG resume = Length - (Tail < Length ? Tail : Length);
            i = (resume > Head ? resume : Head) - 1;
        }
        if (lineEnds) {
            line[column] = '\0';
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DUMP, "%s", line);
            FormatHexDumpOffset(line, ++lineNumber);
            column = kDataColumn;
            inLine = 0;
        }
    }
}
