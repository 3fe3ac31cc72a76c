// Hex dumps of buffers into the trace: the title, then lines of 16 bytes with their offset.
#pragma once

#include <ntdef.h>

// With Head non-zero, the dump stops after Head bytes with " {{" and goes on with the last Tail bytes
// (never before byte Head). Only the title is traced for no data, no length or a first byte of 0.
void TraceHexDump(const char* Title, const UCHAR* Data, ULONG Length, ULONG Head, ULONG Tail);
// Writes the decimal offset of line `LineNumber` (16 bytes a line) over the start of `Line`, padded
// with spaces to four characters up to line 23.
void FormatHexDumpOffset(char* Line, ULONG LineNumber);
