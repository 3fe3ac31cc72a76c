// The Windows C runtime's file functions, over the emulated host's files: every stream opened by name
// is a Win32 file in the sandbox (host/files.h), never a Linux file.
//
// A stream is a C library FILE made with fopencookie whose callbacks call the Win32 file functions, so
// the C library's own fclose, fgets, fputs, fread, fwrite, fseek, ftell and fflush work on it
// unchanged, and the formatting functions write to it with fwrite. fopen, remove and rename have the
// C library's names: the static C runtime defines them with hidden visibility, so code linked with it
// binds to these and the C library keeps its own for everything else.
//
// Modes: r, w, a, each with +, t (the default) or b, x (with w: fail on an existing file), T (temporary
// attribute), D (delete on close), and the hints c n S R N, which change nothing here. ", ccs=UTF-8",
// ", ccs=UTF-16LE" and ", ccs=UNICODE" choose how fgetws decodes. Text mode writes each LF as CR LF,
// reads CR LF back as LF and ends reading at a Ctrl-Z; a text stream is unbuffered so that ftell always
// gives the position in the file. Share modes follow the runtime: fopen allows others to read and write
// (_SH_DENYNO), fopen_s and _wfopen_s deny writers, or everyone when writing (_SH_SECURE).
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <corecrt.h>

#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40
#define _SH_SECURE 0x80

extern "C" {
errno_t fopen_s(FILE** stream, const char* filename, const char* mode);
errno_t _wfopen_s(FILE** stream, const char16_t* filename, const char16_t* mode);
FILE* _fsopen(const char* filename, const char* mode, int shflag);
FILE* _wfsopen(const char16_t* filename, const char16_t* mode, int shflag);
FILE* _wfopen(const char16_t* filename, const char16_t* mode);
int _wremove(const char16_t* path);
int _wrename(const char16_t* oldname, const char16_t* newname);
int _access(const char* path, int mode);
int _waccess(const char16_t* path, int mode);

// The low-level descriptor behind a stream: 0, 1, 2 for the standard streams, 3 and up for files.
int _fileno(FILE* stream);
// A descriptor's file size; -1 with errno EBADF for a bad descriptor, EFBIG past LONG's 32 bits.
int32_t _filelength(int fd);
int64_t _filelengthi64(int fd);
intptr_t _get_osfhandle(int fd);
}

// Reads 16-bit wide text: up to count - 1 units, through the first line feed. Text streams decode ANSI
// bytes (each byte one unit, as the runtime's "C" locale does), UTF-8 or UTF-16LE as the mode's ccs says
// (a leading byte-order mark skipped, CR LF read as LF); binary streams read UTF-16LE units as they are.
char16_t* fgetws(char16_t* buffer, int count, FILE* stream);
