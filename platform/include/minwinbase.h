// Records shared by the Win32 file and time interfaces.
#pragma once

#include <windef.h>

typedef enum _GET_FILEEX_INFO_LEVELS {
    GetFileExInfoStandard,
    GetFileExMaxInfoLevel,
} GET_FILEEX_INFO_LEVELS;

typedef struct _WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
} WIN32_FILE_ATTRIBUTE_DATA, *LPWIN32_FILE_ATTRIBUTE_DATA;

// What FindFirstFile and FindNextFile report of an entry: its attribute data (same layout, same
// fields) followed by its names; the A and W forms differ in the names' width.
template <typename Char> struct Win32FindData : WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwReserved0;
    DWORD dwReserved1;
    Char cFileName[MAX_PATH];
    Char cAlternateFileName[14];
};
typedef Win32FindData<CHAR> WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;
typedef Win32FindData<WCHAR> WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;
static_assert(sizeof(WIN32_FIND_DATAW) == 592 && sizeof(WIN32_FIND_DATAA) == 320, "Windows layout");

#ifdef UNICODE
typedef WIN32_FIND_DATAW WIN32_FIND_DATA;
#else
typedef WIN32_FIND_DATAA WIN32_FIND_DATA;
#endif
