// Writing half of the service's ZIP layer: creates an archive in a file, on an open handle or in memory,
// adds entries from files, handles, memory blocks or as folders (traditional encryption when a password
// is given) and ends it with its central directory. Every call returns a ZipResult and records it as the
// last writer result.
#pragma once

#include "ZipResult.h"

// Source kinds of AddToZip.
constexpr DWORD kZipSourceHandle = 1;
constexpr DWORD kZipSourceFile = 2;
constexpr DWORD kZipSourceMemory = 3;
constexpr DWORD kZipSourceFolder = 4;

// Longest entry name the writer takes (a folder's with its trailing "/").
constexpr size_t kZipWriterMaxName = 271;
// Entries one archive can hold without ZIP64.
constexpr DWORD kZipWriterMaxEntries = 0xFFFF;

ZipHandle* CreateZipFile(const char* path, const char* password);
// The handle stays the caller's.
ZipHandle* CreateZipOnHandle(HANDLE file, const char* password);
// With a null block the writer maps anonymous memory of `capacity` bytes, valid until CloseZipWriter.
ZipHandle* CreateZipInMemory(void* block, DWORD capacity, const char* password);

ZipResult AddFileToZip(ZipHandle* zip, const char* name, const char* path);
ZipResult AddHandleToZip(ZipHandle* zip, const char* name, HANDLE file);
ZipResult AddHandleToZipSized(ZipHandle* zip, const char* name, HANDLE file, DWORD size);
ZipResult AddMemoryToZip(ZipHandle* zip, const char* name, const void* block, DWORD length);
ZipResult AddFolderToZip(ZipHandle* zip, const char* name);
ZipResult AddToZip(ZipHandle* zip, const char* name, const void* source, DWORD length, DWORD kind);

// Ends the archive first; the block is null for a file or handle output.
ZipResult GetZipMemory(ZipHandle* zip, void** block, DWORD* length);
ZipResult CloseZipWriter(ZipHandle* zip);

DWORD FormatZipWriterResult(uint32_t code, char* buffer, DWORD size);
bool IsWriterHandle(const ZipHandle* zip);
// True for the suffixes of data that is stored as it is (already compressed).
bool HasCompressedSuffix(const char* name);
