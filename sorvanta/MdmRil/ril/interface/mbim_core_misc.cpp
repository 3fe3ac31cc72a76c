#include "mbim_core_misc.h"

#include "memutil.h"
#include "os_util.h"
#include "ril_trace.h"
#include "wwan_bridge.h"
#include "wwan_guids.h"

#include <cfgmgr32.h>

#include <string.h>

namespace {

// The text the driver only traces; sent with its NUL (56 bytes) from a 200-byte
// buffer.
constexpr char kNotifyText[] = "this String is from client; using METHOD_BUFFERED write";
constexpr DWORD kInputBufferSize = 200;
constexpr DWORD kOutputBufferSize = 100;
static_assert(sizeof(kNotifyText) == 56, "56 bytes with the NUL");

constexpr int kSelectorSize = sizeof(MBIM_MODEM_DEVICE_SELECTOR); // 18

} // namespace

int Mbim_Send_IoctlToDrv(void)
{
    char path[MBIM_DEVICE_PATH_SIZE];
    Mbim_memset(path, sizeof(path), 0, sizeof(path));
    GUID interfaceClass = GUID_DEVINTERFACE_WWAN_MODEM;
    int result = -1;
    for (int attempt = 1; attempt <= MBIM_WAKE_ATTEMPTS; attempt++) {
        result = GetDevicePath(&interfaceClass, path, sizeof(path));
        if (result == 0) {
            RIL_TRACE(RIL_MASK_FLOW, "Mbim_Send_IoctlToDrv : Ok, Path %s obtained, trying to get if\n", path);
            if (SendIoctlToInterface(path)) {
                RIL_TRACE(RIL_MASK_FLOW, "Mbim_Send_IoctlToDrv--  ______________<<   Send Success\n");
                return 0;
            }
            RIL_TRACE(RIL_MASK_FLOW, "Mbim_Send_IoctlToDrv--  ______________<<   Send failed\n");
        } else if (result > 0) {
            RIL_TRACE(RIL_MASK_FLOW, "Mbim_Send_IoctlToDrv : attempted %dth \n", attempt);
        } else {
            RIL_TRACE(RIL_MASK_FLOW, "Mbim_Send_IoctlToDrv : Send Ioctl failed (couldnt get devpath)\n");
        }
    }
    return result;
}

int GetDevicePath(const GUID* interface_class, char* path, int path_size)
{
    GUID cls = *interface_class;
    ULONG length = 0;
    CONFIGRET cr = CM_Get_Device_Interface_List_Size_ExA(&length, &cls, nullptr,
                                                         CM_GET_DEVICE_INTERFACE_LIST_PRESENT, nullptr);
    if (cr != CR_SUCCESS) {
        RIL_TRACE(RIL_MASK_FLOW, "GetDevicePath : Error 0x%x retrieving device interface list size.\n", cr);
        return -1;
    }
    if (length <= 1) {
        RIL_TRACE(RIL_MASK_FLOW, "GetDevicePath : Error: No active device interfaces found.\n Is "
                                 "the sample driver loaded?");
        return -1;
    }
    auto* list = static_cast<char*>(MEMUTIL_ALLOC(length));
    if (list == nullptr) {
        RIL_TRACE(RIL_MASK_FLOW, "GetDevicePath : Error allocating memory for device interface list.\n");
        return 1;
    }
    int result;
    cr = CM_Get_Device_Interface_List_ExA(&cls, nullptr, list, length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT,
                                          nullptr);
    RIL_TRACE(RIL_MASK_FLOW, "GetDevicePath : DeviceInterfacelist updated length %d\n", length);
    if (cr != CR_SUCCESS) {
        RIL_TRACE(RIL_MASK_FLOW, "GetDevicePath : Error 0x%x retrieving device interface list.\n", cr);
        result = 1;
    } else {
        result = get_nth_interface(list, static_cast<int>(length), path, path_size);
    }
    void* freed = list;
    MEMUTIL_FREE(list);
    RIL_TRACE(RIL_MASK_FLOW, "GetDevicePath--  ______________<<   Freed deviflist %1p of length %d\n", freed,
              length);
    return result;
}

int get_nth_interface(const char* list, int list_length, char* path, int path_size)
{
    RIL_TRACE(RIL_MASK_FLOW, "get_nth_interface++  ______________>>   ifclen: %d, buflen: %d\n", list_length,
              path_size);
    if (list == nullptr || path == nullptr)
        return -1;
    int tried = 0;
    for (int offset = 0; offset < list_length && list[offset] != '\0';) {
        const char* entry = list + offset;
        int entryLength = Mbim_strlen(entry, list_length - offset);
        tried++;
        int copied = Mbim_strncpy(path, path_size, entry, entryLength);
        RIL_TRACE(RIL_MASK_FLOW,
                  "get_nth_interface : multiple ifcs, lensofar: %d,  tot: %d , "
                  "curidx: %d\n",
                  offset, list_length, tried);
        // A path must fit with its NUL.
        if (copied != 0 || entryLength >= path_size) {
            RIL_TRACE(RIL_MASK_FLOW, "get_nth_interface : Error: StringCopy failed with res 0x%x", copied);
        } else if (Mbim_strnistr(path, entryLength, MBIM_MODEM_DEVICE_SELECTOR, kSelectorSize, entryLength) !=
                   nullptr) {
            RIL_TRACE(RIL_MASK_FLOW, "get_nth_interface : Devicepath obtained (%dth): %s\n", tried, path);
            return 0;
        }
        offset += entryLength + 1;
    }
    path[0] = '\0';
    return -1;
}

bool SendIoctlToInterface(const char* path)
{
    if (path == nullptr) {
        RIL_TRACE(RIL_MASK_FLOW, "SendIoctlToInterface--  ______________<<   Error null DevicePath");
        return false;
    }
    RIL_TRACE(RIL_MASK_FLOW, "SendIoctlToInterface++  ______________>>   Opening devpath %s\n", path);
    // CREATE_ALWAYS as the driver has always been opened; it accepts every
    // create.
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        RIL_TRACE(RIL_MASK_FLOW, "SendIoctlToInterface : CreateFile failed: 0x%x", GetLastError());
        return false;
    }
    char input[kInputBufferSize] = {};
    memcpy(input, kNotifyText, sizeof(kNotifyText));
    char output[kOutputBufferSize] = {};
    RIL_TRACE(RIL_MASK_FLOW, "SendIoctlToInterface : Bus interface opened!!!\n");
    RIL_TRACE(RIL_MASK_FLOW, "SendIoctlToInterface : InputBuffer Pointer = %p, BufLength = %Id\n", input,
              static_cast<size_t>(kInputBufferSize));
    RIL_TRACE(RIL_MASK_FLOW, "SendIoctlToInterface : OutputBuffer Pointer = %p BufLength = %Id\n", output,
              static_cast<size_t>(kOutputBufferSize));
    RIL_TRACE(RIL_MASK_FLOW, "SendIoctlToInterface : \nCalling DeviceIoControl METHOD_BUFFERED:\n");
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, IOCTL_WWAN_MODEM_IO_ASLEEP_NOTIFY, input, sizeof(kNotifyText), output,
                              kOutputBufferSize, &returned, nullptr);
    if (!ok) {
        RIL_TRACE(RIL_MASK_FLOW, "SendIoctlToInterface : Error in DeviceIoControl : %d", GetLastError());
        CloseHandle(device);
        return false;
    }
    RIL_TRACE(RIL_MASK_FLOW, "SendIoctlToInterface : Success! IOCTL sent , ret value: %d\n", returned);
    CloseHandle(device);
    RIL_TRACE(RIL_MASK_FLOW, "SendIoctlToInterface--  ______________<<   \n");
    return true;
}
