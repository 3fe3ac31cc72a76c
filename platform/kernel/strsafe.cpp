// Bounded string functions. Every function validates the destination first: none, no room or more than
// NTSTRSAFE_MAX_CCH characters is STATUS_INVALID_PARAMETER. A result that does not fit is truncated,
// terminated and STATUS_BUFFER_OVERFLOW. A null source or format is STATUS_INVALID_PARAMETER (the real
// functions fault on it); Copy and Printf then leave an empty string, Cat leaves the destination alone.
#include <ntstrsafe.h>

#include <host/format.h>

namespace {

template <typename Char>
bool ValidDestination(const Char* dest, size_t cch)
{
    return dest != nullptr && cch != 0 && cch <= NTSTRSAFE_MAX_CCH;
}

template <typename Char>
NTSTATUS Refuse(Char* dest, size_t cch)
{
    if (dest != nullptr && cch != 0)
        dest[0] = 0;
    return STATUS_INVALID_PARAMETER;
}

template <typename Char>
NTSTATUS CopyN(Char* dest, size_t cch, const Char* src, size_t maxCopy)
{
    if (!ValidDestination(dest, cch) || src == nullptr || maxCopy > NTSTRSAFE_MAX_CCH)
        return Refuse(dest, cch);
    size_t i = 0;
    for (; i < maxCopy && src[i] != 0; i++) {
        if (i + 1 == cch) {
            dest[i] = 0;
            return STATUS_BUFFER_OVERFLOW;
        }
        dest[i] = src[i];
    }
    dest[i] = 0;
    return STATUS_SUCCESS;
}

template <typename Char>
NTSTATUS Length(const Char* psz, size_t cchMax, size_t* length)
{
    if (length != nullptr)
        *length = 0;
    if (!ValidDestination(psz, cchMax))
        return STATUS_INVALID_PARAMETER;
    for (size_t i = 0; i < cchMax; i++)
        if (psz[i] == 0) {
            if (length != nullptr)
                *length = i;
            return STATUS_SUCCESS;
        }
    return STATUS_INVALID_PARAMETER; // not terminated within the limit
}

template <typename Char>
NTSTATUS Cat(Char* dest, size_t cch, const Char* src)
{
    size_t used;
    if (src == nullptr || !NT_SUCCESS(Length(dest, cch, &used)))
        return STATUS_INVALID_PARAMETER;
    return CopyN(dest + used, cch - used, src, NTSTRSAFE_MAX_CCH);
}

template <typename Char>
NTSTATUS VPrintf(Char* dest, size_t cch, const Char* format, va_list args)
{
    if (!ValidDestination(dest, cch) || format == nullptr)
        return Refuse(dest, cch);
    size_t length = host::FormatV(dest, cch, format, args);
    if (length == host::kFormatRefused)
        return STATUS_INVALID_PARAMETER;
    return length < cch ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

// Byte counts that are not a whole number of characters round down, as the real functions do.
template <typename Char>
size_t Cch(size_t cb)
{
    return cb / sizeof(Char);
}

} // namespace

extern "C" {

NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList)
{
    return VPrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList)
{
    return VPrintf(pszDest, Cch<CHAR>(cbDest), pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList)
{
    return VPrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList)
{
    return VPrintf(pszDest, Cch<WCHAR>(cbDest), pszFormat, argList);
}

// The variadic forms only gather their arguments for the va_list forms.
#define STRSAFE_VARIADIC_PRINTF(Name, VName, Char, Size)                                                   \
    NTSTATUS Name(Char* pszDest, size_t Size, const Char* pszFormat, ...)                                  \
    {                                                                                                      \
        va_list args;                                                                                      \
        va_start(args, pszFormat);                                                                         \
        NTSTATUS status = VName(pszDest, Size, pszFormat, args);                                           \
        va_end(args);                                                                                      \
        return status;                                                                                     \
    }

STRSAFE_VARIADIC_PRINTF(RtlStringCchPrintfA, RtlStringCchVPrintfA, CHAR, cchDest)
STRSAFE_VARIADIC_PRINTF(RtlStringCbPrintfA, RtlStringCbVPrintfA, CHAR, cbDest)
STRSAFE_VARIADIC_PRINTF(RtlStringCchPrintfW, RtlStringCchVPrintfW, WCHAR, cchDest)
STRSAFE_VARIADIC_PRINTF(RtlStringCbPrintfW, RtlStringCbVPrintfW, WCHAR, cbDest)

NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc)
{
    return CopyN(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc)
{
    return CopyN(pszDest, Cch<CHAR>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return CopyN(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return CopyN(pszDest, Cch<WCHAR>(cbDest), pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchCopyNA(PSTR pszDest, size_t cchDest, PCSTR pszSrc, size_t cchToCopy)
{
    return CopyN(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTATUS RtlStringCbCopyNA(PSTR pszDest, size_t cbDest, PCSTR pszSrc, size_t cbToCopy)
{
    return CopyN(pszDest, Cch<CHAR>(cbDest), pszSrc, Cch<CHAR>(cbToCopy));
}

NTSTATUS RtlStringCchCopyNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToCopy)
{
    return CopyN(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTATUS RtlStringCbCopyNW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc, size_t cbToCopy)
{
    return CopyN(pszDest, Cch<WCHAR>(cbDest), pszSrc, Cch<WCHAR>(cbToCopy));
}

NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc) { return Cat(pszDest, cchDest, pszSrc); }

NTSTATUS RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc)
{
    return Cat(pszDest, Cch<CHAR>(cbDest), pszSrc);
}

NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) { return Cat(pszDest, cchDest, pszSrc); }

NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return Cat(pszDest, Cch<WCHAR>(cbDest), pszSrc);
}

NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength)
{
    return Length(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength)
{
    return Length(psz, Cch<CHAR>(cbMax), pcbLength);
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength)
{
    return Length(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength)
{
    NTSTATUS status = Length(psz, Cch<WCHAR>(cbMax), pcbLength);
    if (pcbLength != nullptr)
        *pcbLength *= sizeof(WCHAR);
    return status;
}

} // extern "C"
