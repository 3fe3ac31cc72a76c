// File objects and the user-mode entry into the I/O manager.
#include "iomgr.h"

#include <host/io.h>

namespace host::io
{
NTSTATUS FileOpen(std::u16string_view name, KPROCESSOR_MODE mode, File** file)
{
    *file = nullptr;
    std::u16string remainder;
    Device* device = Resolve(name, &remainder);
    if (device == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    Device* top = DeviceTop(device);
    // Only one file at a time on an exclusive device.
    if (!DeviceOpen(top))
        return STATUS_ACCESS_DENIED;
    auto* opened = new File;
    opened->device = top;
    opened->name = remainder;
    Irp irp;
    irp.Format(IRP_MJ_CREATE, 0, nullptr, 0, 0);
    irp.irp.RequestorMode = mode;
    irp.file = opened;
    NTSTATUS status = CallSynchronously(top, &irp, nullptr);
    if (!NT_SUCCESS(status)) {
        DeviceClosed(top);
        ObjectDereference(opened);
        return status;
    }
    *file = opened;
    return status;
}

void FileClose(File* file)
{
    for (UCHAR major : {UCHAR(IRP_MJ_CLEANUP), UCHAR(IRP_MJ_CLOSE)}) {
        Irp irp;
        irp.Format(major, 0, nullptr, 0, 0);
        irp.file = file;
        CallSynchronously(file->device, &irp, nullptr);
    }
    DeviceClosed(file->device);
    ObjectDereference(file);
}

NTSTATUS FileRequest(File* file, UCHAR major, ULONG ioctl, const void* input, size_t inputLength,
                     void* output, size_t outputLength, ULONG_PTR* information, const LONGLONG* timeout)
{
    Irp irp;
    irp.Format(major, ioctl, input, inputLength, outputLength);
    irp.irp.RequestorMode = UserMode;
    irp.file = file;
    {
        std::lock_guard<std::mutex> guard(file->pendingLock);
        file->pending.push_back(&irp);
    }
    NTSTATUS status = CallSynchronously(file->device, &irp, timeout);
    {
        std::lock_guard<std::mutex> guard(file->pendingLock);
        std::erase(file->pending, &irp);
    }
    ULONG_PTR returned = std::min<ULONG_PTR>(irp.irp.IoStatus.Information, outputLength);
    // Buffered output reaches the caller also with a warning status (a partial read, an overflow).
    if (!NT_ERROR(status) && output != nullptr && returned != 0)
        memcpy(output, irp.buffer.data(), returned);
    if (information != nullptr)
        *information = major == IRP_MJ_WRITE ? irp.irp.IoStatus.Information : returned;
    return status;
}

} // namespace host::io

namespace host
{
namespace
{

NTSTATUS Reference(HANDLE handle, io::File** file)
{
    Object* object = nullptr;
    NTSTATUS status = HandleReference(handle, ObjectKind::File, 0, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    // Files in the sandbox and pipe ends are file objects too, but not on a device.
    *file = dynamic_cast<io::File*>(object);
    if (*file == nullptr) {
        ObjectDereference(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return status;
}

NTSTATUS Request(HANDLE handle, UCHAR major, ULONG code, const void* input, size_t inputLength, void* output,
                 size_t outputLength, ULONG_PTR* information)
{
    if (information != nullptr)
        *information = 0;
    io::File* file = nullptr;
    NTSTATUS status = Reference(handle, &file);
    if (!NT_SUCCESS(status))
        return status;
    status =
        io::FileRequest(file, major, code, input, inputLength, output, outputLength, information, nullptr);
    ObjectDereference(file);
    return status;
}

} // namespace

NTSTATUS IoOpen(std::u16string_view path, HANDLE* handle)
{
    if (handle == nullptr)
        return STATUS_INVALID_PARAMETER;
    *handle = nullptr;
    io::File* file = nullptr;
    NTSTATUS status = io::FileOpen(path, UserMode, &file);
    if (!NT_SUCCESS(status))
        return status;
    *handle = HandleCreate(file, GENERIC_READ | GENERIC_WRITE);
    ObjectDereference(file); // the handle holds it now
    return status;
}

NTSTATUS IoClose(HANDLE handle)
{
    io::File* file = nullptr;
    NTSTATUS status = Reference(handle, &file);
    if (!NT_SUCCESS(status))
        return status;
    HandleClose(handle);
    io::FileClose(file); // drops the reference taken above
    return STATUS_SUCCESS;
}

NTSTATUS IoDeviceControl(HANDLE handle, ULONG code, const void* input, size_t inputLength, void* output,
                         size_t outputLength, ULONG_PTR* returned)
{
    if ((input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0))
        return STATUS_INVALID_PARAMETER;
    return Request(handle, IRP_MJ_DEVICE_CONTROL, code, input, inputLength, output, outputLength, returned);
}

NTSTATUS IoRead(HANDLE handle, void* buffer, size_t length, ULONG_PTR* read)
{
    if (buffer == nullptr && length != 0)
        return STATUS_INVALID_PARAMETER;
    return Request(handle, IRP_MJ_READ, 0, nullptr, 0, buffer, length, read);
}

NTSTATUS IoWrite(HANDLE handle, const void* buffer, size_t length, ULONG_PTR* written)
{
    if (buffer == nullptr && length != 0)
        return STATUS_INVALID_PARAMETER;
    return Request(handle, IRP_MJ_WRITE, 0, buffer, length, nullptr, 0, written);
}

IoRawResult IoDeviceControlRaw(HANDLE handle, ULONG code, const void* input, size_t inputLength, size_t outputLength)
{
    IoRawResult result;
    io::File* file = nullptr;
    result.status = Reference(handle, &file);
    if (!NT_SUCCESS(result.status))
        return result;
    io::Irp irp;
    irp.Format(IRP_MJ_DEVICE_CONTROL, code, input, inputLength, outputLength);
    irp.irp.RequestorMode = UserMode;
    irp.file = file;
    result.status = io::CallSynchronously(file->device, &irp, nullptr);
    result.information = irp.irp.IoStatus.Information;
    result.buffer.assign(irp.buffer.begin(), irp.buffer.begin() + std::min(irp.buffer.size(), outputLength));
    ObjectDereference(file);
    return result;
}

NTSTATUS IoCancelRequests(HANDLE handle)
{
    io::File* file = nullptr;
    NTSTATUS status = Reference(handle, &file);
    if (!NT_SUCCESS(status))
        return status;
    {
        // The sender takes its request off the list before it returns, so each one is alive here.
        std::lock_guard<std::mutex> guard(file->pendingLock);
        for (io::Irp* irp : file->pending)
            io::Cancel(irp);
    }
    ObjectDereference(file);
    return STATUS_SUCCESS;
}

std::vector<std::u16string> IoInterfaceList(const GUID& interfaceClass)
{
    std::vector<std::u16string> list = io::InterfaceList(interfaceClass, true);
    for (auto& path : list)
        path.replace(0, 4, u"\\\\?\\");
    return list;
}

} // namespace host
