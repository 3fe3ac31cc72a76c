// Extraction half of the service's ZIP layer: opens an archive (a file, an open handle or a memory
// block), describes its entries and writes them out as files, to handles or into memory. Every call
// returns a ZipResult and records it as the last extraction result; nothing here logs.
#pragma once

#include "ZipResult.h"

// Target kinds of UnzipItemTo.
constexpr DWORD kZipTargetHandle = 1;
constexpr DWORD kZipTargetFile = 2;
constexpr DWORD kZipTargetMemory = 3;

struct ZipEntryInfo {
    int index;           // the entry's index; the number of entries for a request of index -1
    char name[MAX_PATH]; // the stored name after the path guards
    DWORD attributes;    // FILE_ATTRIBUTE_* bits
    FILETIME accessTime;
    FILETIME creationTime;
    FILETIME modificationTime;
    LONG compressedSize;
    LONG uncompressedSize;
};

ZipHandle* OpenZipFile(const char* path, const char* password);
// The archive starts at the handle's current position; the handle stays the caller's.
ZipHandle* OpenZipFromHandle(HANDLE file, const char* password);
// The block must outlive the handle.
ZipHandle* OpenZipFromMemory(const void* block, DWORD length, const char* password);

ZipResult GetZipItem(ZipHandle* zip, int index, ZipEntryInfo* info);
ZipResult LocateZipEntry(ZipHandle* zip, const char* name, bool ignoreCase, int* index, ZipEntryInfo* info);
ZipResult UnzipItemTo(ZipHandle* zip, int index, void* target, DWORD length, DWORD kind);
ZipResult UnzipItemToFile(ZipHandle* zip, int index, const char* path);
ZipResult UnzipItemToHandle(ZipHandle* zip, int index, HANDLE file);
// MoreData while the entry has more to give: call again with the same index for the next part.
ZipResult UnzipItemToMemory(ZipHandle* zip, int index, void* block, DWORD length);
ZipResult SetExtractBaseDirectory(ZipHandle* zip, const char* directory);
ZipResult CloseZipFile(ZipHandle* zip);

// `code` kZipLastResult formats the last extraction result.
DWORD FormatZipResult(uint32_t code, char* buffer, DWORD size);
bool IsExtractHandle(const ZipHandle* zip);

namespace zipdos
{
// The FILETIME of a DOS date and time, as local time (not converted to UTC); zero for an invalid date.
FILETIME DosDateTimeToFileTime(WORD dosDate, WORD dosTime);
} // namespace zipdos
