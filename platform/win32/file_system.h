// What the Win32 file, path and C runtime pieces share inside the host: parsed Windows paths and their
// place in the sandbox.
#pragma once

#include <windows.h>

#include <host/ansi.h>
#include <host/files.h>

#include "filetime.h"

#include <string>
#include <string_view>
#include <vector>

namespace host::files
{

struct ParsedPath {
    bool device = false;            // \\.\NAME or an interface path: not in the sandbox
    bool literal = false;           // \\?\X:\ ...: not normalised
    bool trailingSeparator = false; // the caller's path ended with a separator
    char16_t drive = u'C';
    std::vector<std::u16string> components;
    std::u16string windowsPath; // the full path (the caller's text for a device)
};

// Normalises `path` without touching the disk. With `wildcards` the last component may hold * and ?.
ULONG ParsePath(std::u16string_view path, bool wildcards, ParsedPath* parsed);
// Places a parsed (non-device) path in the sandbox.
ULONG Locate(const ParsedPath& parsed, FilesResolved* resolved);
// ParsePath and Locate; a device path gives ERROR_FILE_NOT_FOUND.
ULONG Resolve(std::u16string_view path, FilesResolved* resolved);

// Windows' case-insensitive name comparison.
bool NamesEqual(std::u16string_view a, std::u16string_view b);
// The name an on-disk entry shows to Windows; false for the host's own sidecars.
bool VisibleName(const std::filesystem::path& entry, std::u16string* name);

// An A function's path argument: null, empty or too long fail with the Win32 error.
ULONG AnsiPath(LPCSTR path, std::u16string* wide);

// Copies `text` and its terminator into a caller's buffer the Win32 way: the length without the
// terminator when it fits, else the size needed with it.
DWORD CopyOut(std::u16string_view text, LPWSTR buffer, DWORD capacity);
DWORD CopyOut(std::string_view text, LPSTR buffer, DWORD capacity);

HANDLE OpenDevice(const FilesDeviceOpen& open, ULONG* error);

// What Windows keeps of an entry beyond its data: the stored attribute bits (never DIRECTORY or NORMAL)
// and its three times (FILETIME values).
struct Metadata {
    DWORD attributes = 0;
    ULONGLONG creation = 0;
    ULONGLONG access = 0;
    ULONGLONG write = 0;
};

struct EntryInfo {
    Metadata metadata;
    ULONGLONG size = 0;
    bool directory = false;

    // The attributes as GetFileAttributes reports them.
    DWORD Attributes() const;
    void Fill(WIN32_FILE_ATTRIBUTE_DATA* data) const;
};

// False when nothing exists at `disk`. An entry without a sidecar (made outside the host) shows the
// archive bit and its disk modification time.
bool ReadEntry(const std::filesystem::path& disk, EntryInfo* info);

// ReadFile's and WriteFile's rule on their arguments: a count needs a buffer, and a synchronous call
// needs somewhere to report what it moved.
inline bool TransferArgumentsValid(const void* buffer, DWORD count, LPDWORD transferred, LPOVERLAPPED overlapped)
{
    return (transferred != nullptr || overlapped != nullptr) && (buffer != nullptr || count == 0);
}

// Anonymous pipes (pipe.cpp). A pipe end is a file object that is not in the sandbox.
bool IsPipeEnd(HANDLE handle);
// ReadFile or WriteFile on a pipe end: false, with nothing done, when `handle` is no pipe end; else
// `*result` is the call's result and the last error is set.
bool PipeTransfer(HANDLE handle, void* buffer, DWORD count, LPDWORD transferred, LPOVERLAPPED overlapped,
                  bool write, BOOL* result);

// ReadFile, WriteFile and DeviceIoControl on a file on a device (device.cpp): synchronous requests
// through the I/O manager.
BOOL DeviceTransfer(HANDLE handle, void* buffer, DWORD count, LPDWORD transferred, LPOVERLAPPED overlapped,
                    bool write);
BOOL DeviceControl(HANDLE handle, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                   DWORD outputLength, LPDWORD returned, LPOVERLAPPED overlapped);

} // namespace host::files
