// The driver wake notification: while modem I/O sleeps, the senders first tell
// the modem driver that a message waits, through a fixed IOCTL on the driver's
// user-mode device interface.
#pragma once

#include <windows.h>

#define MBIM_DEVICE_PATH_SIZE 256
#define MBIM_WAKE_ATTEMPTS 20
// The modem's PCI function, as its interface path holds it (compared without
// regard to case).
#define MBIM_MODEM_DEVICE_SELECTOR "VEN_14C3&DEV_4D75"

// 0 once the IOCTL was sent; else the last lookup's result: 0 (found, IOCTL
// failed), 1 (the list could not be read or allocated), -1 (no list, an empty
// list, or no matching path).
int Mbim_Send_IoctlToDrv(void);
// 0 with the first matching interface path of the class in `path`; 1 when
// allocating or reading the list failed; -1 when its size could not be read, it
// is empty, or no path matches.
int GetDevicePath(const GUID* interface_class, char* path, int path_size);
// Walks a NUL-separated list of `list_length` bytes: 0 with the first path that
// holds the selector and fits `path_size` with its NUL; else -1.
int get_nth_interface(const char* list, int list_length, char* path, int path_size);
// Opens the path and sends the notification: true when the IOCTL succeeded.
bool SendIoctlToInterface(const char* path);
