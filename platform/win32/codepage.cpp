// MultiByteToWideChar and WideCharToMultiByte for UTF-8 and the ANSI code page (Windows-1252 here), over
// the host's UTF helper.
#include <errhandlingapi.h>
#include <stringapiset.h>
#include <winerror.h>

#include <host/utf.h>

#include <climits>
#include <cstring>

namespace {

// Windows-1252 from 0x80 to 0x9F; the other bytes are their own code points. The five bytes the code page
// leaves unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 control of the same value both ways, as
// Windows' table maps them, so every byte converts and MB_ERR_INVALID_CHARS never fails for 1252.
constexpr char16_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t Decode1252(char byte)
{
    auto b = static_cast<unsigned char>(byte);
    return b >= 0x80 && b < 0xA0 ? k1252High[b - 0x80] : b;
}

bool Encode1252(char16_t unit, char& byte)
{
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
        byte = static_cast<char>(unit);
        return true;
    }
    for (size_t i = 0; i < sizeof(k1252High) / sizeof(k1252High[0]); i++)
        if (k1252High[i] == unit) {
            byte = static_cast<char>(0x80 + i);
            return true;
        }
    return false;
}

enum class Page { Utf8, Ansi, Unsupported };

Page PageOf(UINT codePage)
{
    switch (codePage) {
    case CP_UTF8:
        return Page::Utf8;
    case CP_ACP:
    case CP_THREAD_ACP:
    case 1252:
        return Page::Ansi;
    default:
        return Page::Unsupported;
    }
}

int Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

// The argument checks both directions share.
template <typename From, typename To>
bool ValidArguments(Page page, const From* source, int sourceLength, const To* out, int capacity)
{
    return page != Page::Unsupported && source != nullptr && sourceLength != 0 && sourceLength >= -1 &&
           capacity >= 0 && (out != nullptr || capacity == 0) &&
           static_cast<const void*>(source) != static_cast<const void*>(out);
}

template <typename Char>
size_t SourceLength(const Char* source, int length)
{
    if (length != -1)
        return static_cast<size_t>(length);
    size_t n = 0;
    while (source[n] != 0)
        n++;
    return n + 1; // the terminator converts too
}

// The output of a conversion: with no capacity it only counts; otherwise running out of room fails.
template <typename Unit>
class Output {
public:
    Output(Unit* out, int capacity) : out_(out), capacity_(static_cast<size_t>(capacity)) {}

    void Put(const Unit* units, size_t count)
    {
        for (size_t i = 0; i < count; i++, length_++)
            if (length_ < capacity_)
                out_[length_] = units[i];
    }

    int Finish() const
    {
        if (capacity_ != 0 && length_ > capacity_)
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        if (length_ > INT_MAX)
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        return static_cast<int>(length_);
    }

private:
    Unit* out_;
    size_t capacity_;
    size_t length_ = 0;
};

// The UTF helper answers malformed input with U+FFFD; these tell it from an encoded U+FFFD, which takes
// exactly three bytes from EF (a malformed sequence from EF ends after at most two) or is the unit itself.
bool MalformedUtf8(char32_t c, const char* start, const char* next)
{
    return c == host::utf::kReplacement && !(next - start == 3 && static_cast<unsigned char>(*start) == 0xEF);
}

bool MalformedUtf16(char32_t c, const char16_t* start)
{
    return c == host::utf::kReplacement && *start != 0xFFFD;
}

} // namespace

extern "C" {

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar)
{
    Page page = PageOf(CodePage);
    if (!ValidArguments(page, lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar))
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD allowed = page == Page::Utf8 ? MB_ERR_INVALID_CHARS : MB_PRECOMPOSED | MB_ERR_INVALID_CHARS;
    if ((dwFlags & ~allowed) != 0)
        return Fail(ERROR_INVALID_FLAGS);
    bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    Output<WCHAR> output(lpWideCharStr, cchWideChar);
    const char* p = lpMultiByteStr;
    const char* end = p + SourceLength(lpMultiByteStr, cbMultiByte);
    while (p != end) {
        WCHAR units[2];
        if (page == Page::Ansi) {
            units[0] = Decode1252(*p++);
            output.Put(units, 1);
            continue;
        }
        const char* start = p;
        char32_t c = host::utf::DecodeUtf8(p, end);
        if (strict && MalformedUtf8(c, start, p))
            return Fail(ERROR_NO_UNICODE_TRANSLATION);
        output.Put(units, host::utf::EncodeUtf16(c, units));
    }
    return output.Finish();
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    Page page = PageOf(CodePage);
    if (!ValidArguments(page, lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte))
        return Fail(ERROR_INVALID_PARAMETER);
    if (page == Page::Utf8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))
        return Fail(ERROR_INVALID_PARAMETER);
    // There is no best-fit table: a character outside 1252 always becomes the default character, as
    // WC_NO_BEST_FIT_CHARS asks.
    DWORD allowed = page == Page::Utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    if ((dwFlags & ~allowed) != 0)
        return Fail(ERROR_INVALID_FLAGS);
    bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
    char fallback = lpDefaultChar != nullptr ? lpDefaultChar[0] : '?';
    if (lpUsedDefaultChar != nullptr)
        *lpUsedDefaultChar = FALSE;
    Output<char> output(lpMultiByteStr, cbMultiByte);
    const WCHAR* p = lpWideCharStr;
    const WCHAR* end = p + SourceLength(lpWideCharStr, cchWideChar);
    while (p != end) {
        char bytes[4];
        if (page == Page::Ansi) {
            // Unit by unit, so each half of a surrogate pair becomes a default character.
            if (!Encode1252(*p++, bytes[0])) {
                bytes[0] = fallback;
                if (lpUsedDefaultChar != nullptr)
                    *lpUsedDefaultChar = TRUE;
            }
            output.Put(bytes, 1);
            continue;
        }
        const WCHAR* start = p;
        char32_t c = host::utf::DecodeUtf16(p, end);
        if (strict && MalformedUtf16(c, start))
            return Fail(ERROR_NO_UNICODE_TRANSLATION);
        output.Put(bytes, host::utf::EncodeUtf8(c, bytes));
    }
    return output.Finish();
}

} // extern "C"
