// The ANSI code page of the emulated host (1252) for the Win32 A functions.
#pragma once

#include <string>
#include <string_view>

namespace host
{

std::u16string AnsiToUtf16(std::string_view text);
// Characters that code page 1252 cannot hold become '?'.
std::string Utf16ToAnsi(std::u16string_view text);

} // namespace host
