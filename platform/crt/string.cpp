// The narrow string functions of the runtime.
#include <string.h>

#include "text.h"

using wincrt::CopyBounded;
using wincrt::InvalidParameter;

extern "C" {

errno_t strcpy_s(char* dest, rsize_t size, const char* src)
{
    return CopyBounded(u"strcpy_s", dest, size, src, SIZE_MAX, false, false);
}

errno_t strncpy_s(char* dest, rsize_t size, const char* src, rsize_t count)
{
    return CopyBounded(u"strncpy_s", dest, size, src, count, false, true);
}

errno_t strcat_s(char* dest, rsize_t size, const char* src)
{
    return CopyBounded(u"strcat_s", dest, size, src, SIZE_MAX, true, false);
}

errno_t strncat_s(char* dest, rsize_t size, const char* src, rsize_t count)
{
    return CopyBounded(u"strncat_s", dest, size, src, count, true, true);
}

errno_t memcpy_s(void* dest, rsize_t size, const void* src, rsize_t count)
{
    return wincrt::CopyMemory(u"memcpy_s", static_cast<unsigned char*>(dest), size,
                              static_cast<const unsigned char*>(src), count);
}

// Unlike memcpy_s, a refused move leaves the destination alone.
errno_t memmove_s(void* dest, rsize_t size, const void* src, rsize_t count)
{
    if (count == 0)
        return 0;
    if (dest == nullptr || src == nullptr)
        return InvalidParameter(u"memmove_s", EINVAL);
    if (size < count)
        return InvalidParameter(u"memmove_s", ERANGE);
    memmove(dest, src, count);
    return 0;
}

int _stricmp(const char* a, const char* b) { return wincrt::CompareIgnoringCase(u"_stricmp", a, b, SIZE_MAX); }

int _strnicmp(const char* a, const char* b, size_t count)
{
    return wincrt::CompareIgnoringCase(u"_strnicmp", a, b, count);
}

char* strtok_s(char* str, const char* delimiters, char** context)
{
    if (delimiters == nullptr || context == nullptr || (str == nullptr && *context == nullptr)) {
        InvalidParameter(u"strtok_s", EINVAL);
        return nullptr;
    }
    char* token = (str != nullptr ? str : *context);
    token += strspn(token, delimiters);
    if (*token == 0) {
        *context = token;
        return nullptr;
    }
    char* end = token + strcspn(token, delimiters);
    if (*end != 0)
        *end++ = 0;
    *context = end;
    return token;
}

} // extern "C"
