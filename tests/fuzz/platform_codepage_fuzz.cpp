// Code-page conversions on arbitrary text, both ways: the input as UTF-8 and as Windows-1252 bytes, and
// as UTF-16LE units. A size probe agrees with the conversion, one unit less is too small, strict
// conversions succeed exactly when the text round-trips, and 1252 always round-trips.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// Converts `source` with a probe, checks the probe and a buffer one unit short; false when it fails.
template <typename To, typename From, typename Convert>
bool Converted(const std::basic_string<From>& source, std::basic_string<To>& out, Convert convert)
{
    out.clear();
    int length = static_cast<int>(source.size());
    int needed = convert(source.data(), length, nullptr, 0);
    if (needed == 0)
        return false;
    out.assign(needed, To{});
    Check(convert(source.data(), length, out.data(), needed) == needed);
    if (needed > 1) {
        std::basic_string<To> small(needed - 1, To{});
        SetLastError(ERROR_SUCCESS);
        Check(convert(source.data(), length, small.data(), needed - 1) == 0);
        Check(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    }
    return true;
}

bool ToWide(UINT codePage, DWORD flags, const std::string& in, std::u16string& out)
{
    return Converted(in, out, [&](const char* s, int n, WCHAR* d, int cap) {
        return MultiByteToWideChar(codePage, flags, s, n, d, cap);
    });
}

bool ToNarrow(UINT codePage, DWORD flags, const std::u16string& in, std::string& out, BOOL* usedDefault)
{
    return Converted(in, out, [&](const WCHAR* s, int n, char* d, int cap) {
        return WideCharToMultiByte(codePage, flags, s, n, d, cap, nullptr, usedDefault);
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::u16string units(size / 2, u'\0');
    memcpy(units.data(), data, units.size() * sizeof(char16_t));
    std::u16string wide, wideAgain;
    std::string narrow;

    // UTF-8 in: the lenient result is well-formed UTF-16; a strict success round-trips exactly.
    Check(ToWide(CP_UTF8, 0, bytes, wide));
    Check(ToNarrow(CP_UTF8, WC_ERR_INVALID_CHARS, wide, narrow, nullptr));
    bool strict = ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, wideAgain);
    Check(strict == (narrow == bytes));
    if (strict)
        Check(wideAgain == wide);

    // 1252 in: every byte converts and comes back without a default character.
    Check(ToWide(1252, MB_ERR_INVALID_CHARS, bytes, wide));
    Check(wide.size() == bytes.size());
    BOOL usedDefault = TRUE;
    Check(ToNarrow(CP_ACP, 0, wide, narrow, &usedDefault));
    Check(narrow == bytes && !usedDefault);

    // UTF-16 in: the lenient UTF-8 is well-formed; a strict success round-trips exactly.
    if (!units.empty()) {
        Check(ToNarrow(CP_UTF8, 0, units, narrow, nullptr));
        Check(ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, narrow, wide));
        std::string strictNarrow;
        bool strictWide = ToNarrow(CP_UTF8, WC_ERR_INVALID_CHARS, units, strictNarrow, nullptr);
        Check(strictWide == (wide == units));
        if (strictWide)
            Check(strictNarrow == narrow);
        Check(ToNarrow(1252, 0, units, narrow, &usedDefault));
        Check(narrow.size() == units.size());
    }
    return 0;
}
