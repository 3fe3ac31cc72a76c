// The 16-bit wide string functions of the runtime: C++ overloads on char16_t, so that they never meet
// the C library's 32-bit wchar_t functions of the same names.
#include <string.h>

#include "text.h"

using wincrt::CopyBounded;

namespace wincrt16 {

size_t wcslen(const char16_t* s) { return wincrt::Length(s, SIZE_MAX); }
size_t wcsnlen(const char16_t* s, size_t max) { return wincrt::Length(s, max); }
int wcscmp(const char16_t* a, const char16_t* b) { return wincrt::Compare(a, b, SIZE_MAX, false); }
int wcsncmp(const char16_t* a, const char16_t* b, size_t count) { return wincrt::Compare(a, b, count, false); }
int _wcsicmp(const char16_t* a, const char16_t* b)
{
    return wincrt::CompareIgnoringCase(u"_wcsicmp", a, b, SIZE_MAX);
}
int _wcsnicmp(const char16_t* a, const char16_t* b, size_t count)
{
    return wincrt::CompareIgnoringCase(u"_wcsnicmp", a, b, count);
}

const char16_t* wcschr(const char16_t* s, char16_t c) { return wincrt::Find(s, c); }
char16_t* wcschr(char16_t* s, char16_t c) { return wincrt::Find<char16_t>(s, c); }
const char16_t* wcsrchr(const char16_t* s, char16_t c) { return wincrt::FindLast(s, c); }
char16_t* wcsrchr(char16_t* s, char16_t c) { return wincrt::FindLast<char16_t>(s, c); }
const char16_t* wcsstr(const char16_t* s, const char16_t* sub) { return wincrt::FindText(s, sub); }
char16_t* wcsstr(char16_t* s, const char16_t* sub) { return wincrt::FindText<char16_t>(s, sub); }

char16_t* wmemset(char16_t* dest, char16_t c, size_t count)
{
    for (size_t i = 0; i < count; i++)
        dest[i] = c;
    return dest;
}

char16_t* wmemcpy(char16_t* dest, const char16_t* src, size_t count)
{
    memcpy(dest, src, count * sizeof(char16_t));
    return dest;
}

errno_t wcscpy_s(char16_t* dest, rsize_t size, const char16_t* src)
{
    return CopyBounded(u"wcscpy_s", dest, size, src, SIZE_MAX, false, false);
}

errno_t wcsncpy_s(char16_t* dest, rsize_t size, const char16_t* src, rsize_t count)
{
    return CopyBounded(u"wcsncpy_s", dest, size, src, count, false, true);
}

errno_t wcscat_s(char16_t* dest, rsize_t size, const char16_t* src)
{
    return CopyBounded(u"wcscat_s", dest, size, src, SIZE_MAX, true, false);
}

errno_t wcsncat_s(char16_t* dest, rsize_t size, const char16_t* src, rsize_t count)
{
    return CopyBounded(u"wcsncat_s", dest, size, src, count, true, true);
}

errno_t wmemcpy_s(char16_t* dest, rsize_t size, const char16_t* src, rsize_t count)
{
    return wincrt::CopyMemory(u"wmemcpy_s", dest, size, src, count);
}

} // namespace wincrt16
