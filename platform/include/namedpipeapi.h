// Anonymous pipes: a read handle and a write handle over one bounded buffer. ReadFile, WriteFile,
// GetFileType and CloseHandle take them like file handles; they cannot be positioned.
#pragma once

#include <minwinbase.h>
#include <windef.h>

extern "C" {

// nSize is the buffer's capacity in bytes; 0 chooses the default.
BOOL CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes, DWORD nSize);

} // extern "C"
