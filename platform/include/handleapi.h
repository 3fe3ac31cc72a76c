// Closing handles of every kind (threads, events, files, keys opened through the handle table).
#pragma once

#include <windef.h>

extern "C" {
BOOL CloseHandle(HANDLE hObject);
}
