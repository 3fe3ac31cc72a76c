// UTF-16 <-> UTF-8 conversion for the places where wide (16-bit) text meets narrow text: the formatter,
// and the Win32 layer's A/W entry points.
//
// Malformed input never fails a conversion: an unpaired surrogate in UTF-16, and in UTF-8 each maximal
// ill-formed subsequence (a bad lead byte, a truncated, overlong or surrogate sequence, or a value past
// U+10FFFF), become U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace host::utf {

inline constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at `p` (which must be before `end`) and advances `p` past it.
char32_t DecodeUtf16(const char16_t*& p, const char16_t* end);
char32_t DecodeUtf8(const char*& p, const char* end);

// Encodes a code point (at most U+10FFFF, no surrogates); returns the units written.
size_t EncodeUtf8(char32_t c, char out[4]);
size_t EncodeUtf16(char32_t c, char16_t out[2]);

// The same, chosen by the text's width (for code templated on the character type).
inline char32_t Decode(const char*& p, const char* end) { return DecodeUtf8(p, end); }
inline char32_t Decode(const char16_t*& p, const char16_t* end) { return DecodeUtf16(p, end); }
inline size_t Encode(char32_t c, char out[4]) { return EncodeUtf8(c, out); }
inline size_t Encode(char32_t c, char16_t out[2]) { return EncodeUtf16(c, out); }

std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view text);

} // namespace host::utf
