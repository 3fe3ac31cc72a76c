// Counted strings of the run-time library. Lengths are in bytes; a buffer is terminated only when room is
// left.
#include <wdm.h>

#include <algorithm>
#include <string_view>

namespace
{

// Lengths are USHORT byte counts that leave room for a terminator in MaximumLength.
constexpr size_t kMaxUnicodeBytes = MAXUSHORT - 3; // even
constexpr size_t kMaxAnsiBytes = MAXUSHORT - 1;

std::u16string_view View(PCUNICODE_STRING s)
{
    return {s->Buffer, s->Length / sizeof(WCHAR)};
}

// Appends `chars` to `destination`, terminating when room is left.
NTSTATUS Append(PUNICODE_STRING destination, std::u16string_view chars)
{
    size_t bytes = chars.size() * sizeof(WCHAR);
    if (destination->Length + bytes > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    WCHAR* end = destination->Buffer + destination->Length / sizeof(WCHAR);
    memmove(end, chars.data(), bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength)
        end[chars.size()] = 0;
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

NTSTATUS RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
    if (SourceString == nullptr)
        return STATUS_SUCCESS;
    size_t bytes = std::u16string_view(SourceString).size() * sizeof(WCHAR);
    if (bytes > kMaxUnicodeBytes)
        return STATUS_NAME_TOO_LONG;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// A string too long for a UNICODE_STRING is cut at the limit rather than wrapped.
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (RtlInitUnicodeStringEx(DestinationString, SourceString) == STATUS_NAME_TOO_LONG) {
        DestinationString->Length = static_cast<USHORT>(kMaxUnicodeBytes);
        DestinationString->MaximumLength = static_cast<USHORT>(kMaxUnicodeBytes + sizeof(WCHAR));
    }
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    size_t bytes = SourceString != nullptr ? std::min(strlen(SourceString), kMaxAnsiBytes) : 0;
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString != nullptr ? bytes + 1 : 0);
}

// ASCII and Latin-1 letters only: the host's text (key and value names, device names) needs no more.
// U+00FF maps to U+0178 as in Unicode; U+00B5 and U+00DF have no single-character upper case and stay.
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    WCHAR c = SourceCharacter;
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF)
        return 0x0178;
    return c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    std::u16string_view a = View(String1);
    std::u16string_view b = View(String2);
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; i++) {
        WCHAR x = CaseInSensitive ? RtlUpcaseUnicodeChar(a[i]) : a[i];
        WCHAR y = CaseInSensitive ? RtlUpcaseUnicodeChar(b[i]) : b[i];
        if (x != y)
            return static_cast<LONG>(x) - static_cast<LONG>(y);
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// Copies what fits; no source leaves an empty destination.
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    DestinationString->Length = 0;
    if (SourceString == nullptr)
        return;
    std::u16string_view source = View(SourceString);
    Append(DestinationString, source.substr(0, DestinationString->MaximumLength / sizeof(WCHAR)));
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr)
        return STATUS_SUCCESS;
    return Append(Destination, Source);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    return Append(Destination, View(Source));
}

// For strings whose buffer the system allocated (RtlQueryRegistryValues and the like).
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length)
{
    auto a = static_cast<const UCHAR*>(Source1);
    auto b = static_cast<const UCHAR*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same])
        same++;
    return same;
}

} // extern "C"
