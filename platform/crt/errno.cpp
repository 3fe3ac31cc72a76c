// The runtime's invalid-parameter handler and its error texts. errno itself is the C library's
// thread-local variable.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <host/utf.h>
#include <host/verifier.h>

#include <atomic>

#include "runtime.h"

namespace wincrt {
namespace {

// One per image, as each Windows image carries its own runtime.
std::atomic<_invalid_parameter_handler> g_handler{nullptr};

// The texts of the Windows runtime's error numbers; the numbers between have none.
struct ErrorText {
    int number;
    const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "No error"},
    {EPERM, "Operation not permitted"},
    {ENOENT, "No such file or directory"},
    {ESRCH, "No such process"},
    {EINTR, "Interrupted function call"},
    {EIO, "Input/output error"},
    {ENXIO, "No such device or address"},
    {E2BIG, "Arg list too long"},
    {ENOEXEC, "Exec format error"},
    {EBADF, "Bad file descriptor"},
    {ECHILD, "No child processes"},
    {EAGAIN, "Resource temporarily unavailable"},
    {ENOMEM, "Not enough space"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {EBUSY, "Resource device"},
    {EEXIST, "File exists"},
    {EXDEV, "Improper link"},
    {ENODEV, "No such device"},
    {ENOTDIR, "Not a directory"},
    {EISDIR, "Is a directory"},
    {EINVAL, "Invalid argument"},
    {ENFILE, "Too many open files in system"},
    {EMFILE, "Too many open files"},
    {ENOTTY, "Inappropriate I/O control operation"},
    {EFBIG, "File too large"},
    {ENOSPC, "No space left on device"},
    {ESPIPE, "Invalid seek"},
    {EROFS, "Read-only file system"},
    {EMLINK, "Too many links"},
    {EPIPE, "Broken pipe"},
    {EDOM, "Domain error"},
    {ERANGE, "Result too large"},
};

const char* TextOf(int number)
{
    for (const auto& entry : kErrorTexts)
        if (entry.number == number)
            return entry.text;
    return "Unknown error";
}

} // namespace

errno_t InvalidParameter(const char16_t* function, errno_t error)
{
    if (_invalid_parameter_handler handler = g_handler.load())
        handler(nullptr, function, nullptr, 0, 0);
    else
        host::VerifierReport(host::Check::InvalidParameter, "invalid parameter passed to the C runtime's %s",
                             host::utf::ToUtf8(function).c_str());
    errno = error;
    return error;
}

} // namespace wincrt

extern "C" {

_invalid_parameter_handler _set_invalid_parameter_handler(_invalid_parameter_handler handler)
{
    return wincrt::g_handler.exchange(handler);
}

_invalid_parameter_handler _get_invalid_parameter_handler(void) { return wincrt::g_handler.load(); }

errno_t strerror_s(char* buffer, size_t size, int errnum)
{
    if (buffer == nullptr || size == 0)
        return wincrt::InvalidParameter(u"strerror_s", EINVAL);
    strncpy_s(buffer, size, wincrt::TextOf(errnum), _TRUNCATE);
    return 0;
}

} // extern "C"
