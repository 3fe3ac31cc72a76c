// The Win32 base every user-mode area shares: the last error, closing handles, process contexts.
#include <errhandlingapi.h>
#include <handleapi.h>
#include <winerror.h>

#include <host/io.h>
#include <host/object.h>
#include <host/process.h>
#include <wdm.h>

#include "win32_internal.h"

#include <atomic>
#include <utility>

namespace host
{
namespace
{

thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local std::shared_ptr<Process> t_process;
std::atomic<ULONG> g_nextProcessId{4};

std::shared_ptr<Process>& DefaultProcess()
{
    static auto* process = new std::shared_ptr<Process>(ProcessCreate(u"C:\\Windows\\System32\\host.exe"));
    return *process;
}

} // namespace

bool EnvironmentNameLess::operator()(const std::u16string& a, const std::u16string& b) const
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++) {
        WCHAR x = RtlUpcaseUnicodeChar(a[i]);
        WCHAR y = RtlUpcaseUnicodeChar(b[i]);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

std::shared_ptr<Process> ProcessCreate(const std::u16string& imagePath)
{
    auto process = std::make_shared<Process>();
    process->id = g_nextProcessId.fetch_add(4); // process ids are multiples of four, as on Windows
    process->imagePath = imagePath;
    size_t slash = imagePath.find_last_of(u'\\');
    process->currentDirectory = slash == std::u16string::npos ? u"C:\\" : imagePath.substr(0, slash);
    return process;
}

Process& CurrentProcess()
{
    return *CurrentProcessShared();
}

std::shared_ptr<Process> CurrentProcessShared()
{
    return t_process ? t_process : DefaultProcess();
}

void SetCurrentProcess(std::shared_ptr<Process> process)
{
    t_process = std::move(process);
}

namespace win32 {

DWORD ErrorFromStatus(NTSTATUS status)
{
    static constexpr std::pair<NTSTATUS, DWORD> kErrors[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_TIMEOUT, WAIT_TIMEOUT},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_OBJECT_PATH_SYNTAX_BAD, ERROR_BAD_PATHNAME},
        {STATUS_KEY_DELETED, ERROR_KEY_DELETED},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
        // What drivers complete device requests with.
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_DEVICE_BUSY, ERROR_BUSY},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    };
    for (auto [from, to] : kErrors)
        if (from == status)
            return to;
    return ERROR_GEN_FAILURE;
}

} // namespace win32

} // namespace host

extern "C" {

DWORD GetLastError(void)
{
    return host::t_lastError;
}

void SetLastError(DWORD dwErrCode)
{
    host::t_lastError = dwErrCode;
}

BOOL CloseHandle(HANDLE hObject)
{
    // A file on a device is closed through the I/O manager, so that its driver sees cleanup and close.
    if (NT_SUCCESS(host::IoClose(hObject)))
        return TRUE;
    if (!NT_SUCCESS(host::HandleClose(hObject))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
