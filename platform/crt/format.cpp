// The runtime's formatted output, all over the host's Windows formatter (host/format.h). The C library's
// names (printf, snprintf, ...) are defined here too, hidden in the image, so that no Windows format
// string ever reaches the C library's own printf engine.
#include <errno.h>
#include <stdio.h>

#include <host/format.h>

#include <climits>
#include <cstring>
#include <string>

#include "runtime.h"

namespace wincrt {
namespace {

constexpr int kFailed = -1;

// The format refused (%n, an unknown conversion) is an invalid parameter, as the Windows runtime's
// format validation makes it.
int Refused(const char16_t* function)
{
    InvalidParameter(function, EINVAL);
    return kFailed;
}

int Count(size_t length) { return length > INT_MAX ? kFailed : static_cast<int>(length); }

// The whole text, for the callers whose first attempt did not hold it; `args` is an unused copy.
template <typename Char>
std::basic_string<Char> Whole(size_t length, const Char* format, va_list args)
{
    std::basic_string<Char> text(length, Char{});
    host::FormatV(text.data(), length + 1, format, args);
    return text;
}

template <typename Char>
int Measure(const char16_t* function, const Char* format, va_list args)
{
    if (format == nullptr)
        return Refused(function);
    size_t length = host::FormatV(static_cast<Char*>(nullptr), 0, format, args);
    return length == host::kFormatRefused ? Refused(function) : Count(length);
}

// _vsnprintf: text that fills `count` exactly or overflows it is written without a terminator.
template <typename Char>
int FormatUnterminated(const char16_t* function, Char* buffer, size_t count, const Char* format, va_list args)
{
    if (format == nullptr || (buffer == nullptr && count != 0))
        return Refused(function);
    va_list again;
    va_copy(again, args);
    size_t length = host::FormatV(buffer, count, format, args);
    if (length != host::kFormatRefused && length >= count && count != 0)
        memcpy(buffer, Whole(length, format, again).data(), count * sizeof(Char));
    va_end(again);
    if (length == host::kFormatRefused)
        return Refused(function);
    return length > count && buffer != nullptr ? kFailed : Count(length);
}

// _vsnprintf_s and vsprintf_s (`count` >= `size` for the latter): always terminated.
template <typename Char>
int FormatBounded(const char16_t* function, Char* buffer, size_t size, size_t count, const Char* format,
                  va_list args)
{
    if (buffer == nullptr || size == 0 || format == nullptr) {
        if (buffer != nullptr && size != 0)
            buffer[0] = 0;
        return Refused(function);
    }
    bool cut = count == _TRUNCATE || count < size; // cutting is asked for rather than an error
    size_t capacity = count < size ? count + 1 : size;
    size_t length = host::FormatV(buffer, capacity, format, args);
    if (length == host::kFormatRefused)
        return Refused(function);
    if (length < capacity)
        return Count(length);
    if (cut)
        return kFailed;
    buffer[0] = 0;
    InvalidParameter(function, ERANGE);
    return kFailed;
}

// sprintf and vsprintf: the caller vouches for the room.
template <typename Char>
int FormatUnbounded(const char16_t* function, Char* buffer, const Char* format, va_list args)
{
    if (buffer == nullptr || format == nullptr)
        return Refused(function);
    size_t length = host::FormatV(buffer, SIZE_MAX, format, args);
    return length == host::kFormatRefused ? Refused(function) : Count(length);
}

// snprintf and vsnprintf as C99 defines them: terminated, and the length of the whole text.
template <typename Char>
int FormatC99(const char16_t* function, Char* buffer, size_t count, const Char* format, va_list args)
{
    if (format == nullptr || (buffer == nullptr && count != 0))
        return Refused(function);
    size_t length = host::FormatV(buffer, count, format, args);
    return length == host::kFormatRefused ? Refused(function) : Count(length);
}

int Print(const char16_t* function, FILE* stream, const char* format, va_list args)
{
    if (stream == nullptr || format == nullptr)
        return Refused(function);
    char line[512];
    va_list again;
    va_copy(again, args);
    size_t length = host::FormatV(line, sizeof(line), format, args);
    std::string whole;
    if (length != host::kFormatRefused && length >= sizeof(line))
        whole = Whole(length, format, again);
    va_end(again);
    if (length == host::kFormatRefused)
        return Refused(function);
    size_t written = fwrite(whole.empty() ? line : whole.data(), 1, length, stream);
    return written == length ? Count(length) : kFailed;
}

} // namespace
} // namespace wincrt

using namespace wincrt;

// The variadic forms only gather their arguments for the va_list forms.
#define WINCRT_VARIADIC(Result, Name, Call, ...)                                                         \
    Result Name(__VA_ARGS__, ...)                                                                          \
    {                                                                                                      \
        va_list args;                                                                                      \
        va_start(args, format);                                                                            \
        Result result = Call;                                                                              \
        va_end(args);                                                                                      \
        return result;                                                                                     \
    }

extern "C" {

int _vscprintf(const char* format, va_list args) { return Measure(u"_vscprintf", format, args); }

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args)
{
    return FormatUnterminated(u"_vsnprintf", buffer, count, format, args);
}

int _vsnprintf_s(char* buffer, size_t size, size_t count, const char* format, va_list args)
{
    return FormatBounded(u"_vsnprintf_s", buffer, size, count, format, args);
}

int vsprintf_s(char* buffer, size_t size, const char* format, va_list args)
{
    return FormatBounded(u"vsprintf_s", buffer, size, size, format, args);
}

int vsprintf(char* buffer, const char* format, va_list args)
{
    return FormatUnbounded(u"vsprintf", buffer, format, args);
}

int vsnprintf(char* buffer, size_t count, const char* format, va_list args)
{
    return FormatC99(u"vsnprintf", buffer, count, format, args);
}

int vfprintf(FILE* stream, const char* format, va_list args) { return Print(u"vfprintf", stream, format, args); }
int vprintf(const char* format, va_list args) { return Print(u"vprintf", stdout, format, args); }

WINCRT_VARIADIC(int, _scprintf, _vscprintf(format, args), const char* format)
WINCRT_VARIADIC(int, _snprintf, _vsnprintf(buffer, count, format, args), char* buffer, size_t count,
                const char* format)
WINCRT_VARIADIC(int, _snprintf_s, _vsnprintf_s(buffer, size, count, format, args), char* buffer, size_t size,
                size_t count, const char* format)
WINCRT_VARIADIC(int, sprintf_s, vsprintf_s(buffer, size, format, args), char* buffer, size_t size,
                const char* format)
WINCRT_VARIADIC(int, fprintf, vfprintf(stream, format, args), FILE* stream, const char* format)
WINCRT_VARIADIC(int, printf, vprintf(format, args), const char* format)
WINCRT_VARIADIC(int, sprintf, vsprintf(buffer, format, args), char* buffer, const char* format)
WINCRT_VARIADIC(int, snprintf, vsnprintf(buffer, count, format, args), char* buffer, size_t count,
                const char* format)

} // extern "C"

namespace wincrt16 {

int _vscwprintf(const char16_t* format, va_list args) { return Measure(u"_vscwprintf", format, args); }

int _vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args)
{
    return FormatUnterminated(u"_vsnwprintf", buffer, count, format, args);
}

int _vsnwprintf_s(char16_t* buffer, size_t size, size_t count, const char16_t* format, va_list args)
{
    return FormatBounded(u"_vsnwprintf_s", buffer, size, count, format, args);
}

int vswprintf_s(char16_t* buffer, size_t size, const char16_t* format, va_list args)
{
    return FormatBounded(u"vswprintf_s", buffer, size, size, format, args);
}

WINCRT_VARIADIC(int, _scwprintf, _vscwprintf(format, args), const char16_t* format)
WINCRT_VARIADIC(int, _snwprintf, _vsnwprintf(buffer, count, format, args), char16_t* buffer, size_t count,
                const char16_t* format)
WINCRT_VARIADIC(int, _snwprintf_s, _vsnwprintf_s(buffer, size, count, format, args), char16_t* buffer,
                size_t size, size_t count, const char16_t* format)
WINCRT_VARIADIC(int, swprintf_s, vswprintf_s(buffer, size, format, args), char16_t* buffer, size_t size,
                const char16_t* format)

} // namespace wincrt16
