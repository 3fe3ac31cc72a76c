// What the two halves of the service's ZIP layer share: the handle, the result codes with their
// messages, and the formatting of a result as text.
#pragma once

#include <windows.h>

#include <cstdint>

enum class ZipResult : uint32_t {
    Success = 0x0,
    HandleNotDuplicated = 0x100,
    CannotOpenFile = 0x200,
    OutOfMemory = 0x300,
    WriteFailed = 0x400,
    EntryNotFound = 0x500,
    MoreData = 0x600,
    CorruptArchive = 0x700,
    ReadFailed = 0x800,
    PasswordRequired = 0x1000,
    BadArguments = 0x10000,
    NotMemoryArchive = 0x20000,
    MemoryTooSmall = 0x30000,
    PreviousError = 0x40000,
    AdditionsEnded = 0x50000,
    SizeMismatch = 0x60000,
    PartiallyExtracted = 0x70000,
    WrongHandleKind = 0x80000,
    NotInitialised = 0x1000000,
    NotSeekable = 0x2000000,
    CannotChangeMind = 0x4000000,
    DeflateFailed = 0x5000000,
};

// Given to the Format functions, stands for the last result of their half.
constexpr uint32_t kZipLastResult = 1;

// Handle kinds: opened for extraction, or created by the archive writer.
constexpr DWORD kZipHandleExtract = 1;
constexpr DWORD kZipHandleWriter = 2;

struct ZipHandle {
    DWORD kind;
    void* state; // UnzipState or ZipWriterState, by kind
};

// Copies the message of `code` (kZipLastResult: of `lastResult`) into `buffer`, at most size - 1
// characters and a NUL, and returns the full message's length. The writer's table lacks the password row,
// so `withPassword` false formats 0x1000 as an unknown code.
DWORD FormatZipResultText(uint32_t code, ZipResult lastResult, bool withPassword, char* buffer, DWORD size);

// The checks every operation on a handle starts with (null, then kind), then the state's operation; the
// result is recorded as the last result of the handle's half.
template <typename State, typename Operation>
ZipResult OnZipState(ZipHandle* zip, DWORD kind, ZipResult* lastResult, Operation operation)
{
    ZipResult result = zip == nullptr      ? ZipResult::BadArguments
                       : zip->kind != kind ? ZipResult::WrongHandleKind
                                           : operation(*static_cast<State*>(zip->state));
    *lastResult = result;
    return result;
}
