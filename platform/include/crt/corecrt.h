// The Windows C runtime's shared definitions, seen through the C runtime headers of this directory.
//
// How Windows sources see the C runtime: this directory holds headers with the usual names (<stdio.h>,
// <string.h>, <stdlib.h>, <errno.h>) that include the C library's header of that name with
// #include_next and add the Windows runtime's names to it, so sources include exactly what they would on
// Windows. The directory is on the include path of everything that links `wincrt` (the user-mode images
// and the tests of their code) and of nothing else. The additions are declarations, never macros over
// function names, so libstdc++'s <cstdio>/<cstring>, which #undef such macros, cannot remove them; where
// <cstdlib> reaches the C library's <stdlib.h> past this directory, a later #include <stdlib.h> still
// adds the Windows names.
//
// Functions that the C library also declares (printf, snprintf, strtoul, ...) keep its declarations;
// `wincrt` defines them with Windows semantics and hidden visibility, so calls inside an image bind to
// them. Wide (16-bit) functions are C++ overloads on char16_t, distinct from the C library's 32-bit
// wchar_t functions of the same names. They live in namespace wincrt16, which a using-directive opens to
// the global namespace: unqualified calls find them beside the C library's, while `::wcstol` (and so
// libstdc++'s `std::wcstol`, whose address std::stol takes) still names the C library's alone.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef int errno_t;
typedef size_t rsize_t;

// Passed as the count of the bounded functions: copy or format as much as fits and report truncation.
#define _TRUNCATE ((size_t)-1)

// Returned by the bounded functions when _TRUNCATE cut the text.
#define STRUNCATE 80

// What _stricmp and its relatives return after an invalid parameter.
#define _NLSCMPERROR 0x7fffffff

namespace wincrt16 {
}
using namespace wincrt16;

#ifndef _countof
#define _countof(array) (sizeof(array) / sizeof((array)[0]))
#endif
