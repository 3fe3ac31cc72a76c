// The host's file system: Windows paths live in a sandbox directory that the test or the simulator
// chooses. Nothing a deliverable opens by path reaches the Linux file system outside it.
//
// Mapping: drive X: is the directory <root>/X (upper case); C: with C:\Windows\System32 and
// C:\Windows\Temp exists from FilesSetSandbox on, other drives only once their directory is made. Both
// separators separate; "." and ".." are resolved and ".." stops at the drive root; every component
// loses its trailing dots and spaces (Win32 trims the last one; NTFS refuses such names elsewhere, so
// trimming them all keeps one name per file); relative, rooted (\x) and drive-relative (C:x) paths resolve
// against the current process's directory. \\?\X:\ paths skip that normalisation (so "." and ".." in them are
// refused as names). Names are matched case-insensitively and keep the case they were created with; on disk
// they are UTF-8. Refused with ERROR_INVALID_NAME: the characters <>:"| ? * and control characters in a name
// (wildcards are allowed where a search pattern is expected), unpaired surrogates, "." and ".." after \\?\.
// ERROR_FILENAME_EXCED_RANGE: a name longer than 255 UTF-16 units or 255 UTF-8 bytes. A full path of
// MAX_PATH characters or more without \\?\ gives ERROR_PATH_NOT_FOUND, as for a process that is not
// long-path aware; the A functions refuse a path of more than MAX_PATH characters before that with
// ERROR_FILENAME_EXCED_RANGE (their ANSI-to-UTF-16 conversion buffer). Network paths (\\server\share)
// give ERROR_BAD_PATHNAME.
//
// Attributes and creation times are kept beside each entry in a sidecar named "<name>:meta" (a name that
// Windows refuses, so it can never collide with a file of the deliverables and is never listed).
#pragma once

#include <ntdef.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace host
{

// Makes `root` (created when missing) the sandbox; an empty path removes it, after which no path exists.
void FilesSetSandbox(const std::filesystem::path& root);
std::filesystem::path FilesSandbox();

// A fresh sandbox in a temporary directory for the life of the object (tests and fuzz targets).
class FilesTemporarySandbox
{
  public:
    FilesTemporarySandbox();
    ~FilesTemporarySandbox();
    FilesTemporarySandbox(const FilesTemporarySandbox&) = delete;
    FilesTemporarySandbox& operator=(const FilesTemporarySandbox&) = delete;
    const std::filesystem::path& Root() const { return root_; }

  private:
    std::filesystem::path root_;
};

struct FilesResolved {
    std::u16string windowsPath; // the full Windows path, e.g. u"C:\\Dir\\name.txt"
    std::filesystem::path disk; // where it lives; existing components in their on-disk case
    bool parentExists = false;  // the directory that holds the last component exists
    bool exists = false;        // the entry itself exists
};

// Maps a Windows path (UTF-16, not terminated) into the sandbox. Returns ERROR_SUCCESS or the Win32 error
// that the path itself earns; a device path gives ERROR_FILE_NOT_FOUND (see FilesSetDeviceOpenHandler).
ULONG FilesResolve(std::u16string_view path, FilesResolved* resolved);

// CreateFile on a device path (\\.\NAME, or \\?\ followed by anything but a drive) calls this handler.
// It returns a handle, or nullptr with `*error` set. Without a handler (the default) the I/O manager
// opens the device (host::IoOpen), and its status becomes the Win32 error.
struct FilesDeviceOpen {
    std::u16string_view path; // as the caller wrote it
    ULONG desiredAccess;
    ULONG shareMode;
    ULONG creationDisposition;
    ULONG flagsAndAttributes;
};
using FilesDeviceOpenHandler = std::function<HANDLE(const FilesDeviceOpen& open, ULONG* error)>;
void FilesSetDeviceOpenHandler(FilesDeviceOpenHandler handler);

} // namespace host
