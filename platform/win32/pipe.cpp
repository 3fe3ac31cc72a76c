// Anonymous pipes: one bounded byte buffer between a read end and a write end, each a file object in the
// shared handle table. A blocked transfer sleeps on a Win32 condition variable, a host wait, so the
// clock sees the thread blocked and virtual time keeps working.
//
// Where Windows leaves room, this host chooses:
// - ReadFile returns as soon as any byte is buffered, with at most what was asked. Once the buffer is
//   empty and the write end is closed it fails with ERROR_BROKEN_PIPE (bytes written before the close
//   are delivered first), as the documentation of anonymous pipes says.
// - WriteFile returns only when every byte is in the buffer, waiting for the reader to make room. With
//   the read end closed (before or during the write) it fails with ERROR_NO_DATA, "the pipe is being
//   closed", which is what a write to a pipe without a reader gets; the count reports the bytes that
//   went into the buffer.
// - A pipe cannot be positioned and has no size, times or file identity: SetFilePointer(Ex),
//   GetFileSize(Ex), SetEndOfFile, GetFileTime, SetFileTime, GetFileInformationByHandle and
//   FlushFileBuffers fail with ERROR_INVALID_FUNCTION, the error of a request the device does not serve.
//   The documentation says these calls cannot be used on a pipe; failing makes that visible, where
//   Windows may accept a position change on a synchronous pipe handle without effect.
// - An OVERLAPPED is taken as on any synchronous handle: its offset means nothing to a pipe, and its
//   Internal and InternalHigh report the outcome.
// - A zero-byte transfer does not wait; it fails only where a longer one would fail at once.
#include "file_system.h"

#include <host/object.h>
#include <wdm.h>

#include <algorithm>
#include <deque>
#include <memory>

namespace host::files
{
namespace
{

constexpr DWORD kDefaultPipeSize = 4096;
constexpr NTSTATUS kStatusPipeBroken = static_cast<NTSTATUS>(0xC000014B);
constexpr NTSTATUS kStatusPipeClosing = static_cast<NTSTATUS>(0xC00000B1);

class PipeBuffer
{
  public:
    explicit PipeBuffer(DWORD capacity) : capacity_(capacity)
    {
        InitializeCriticalSection(&lock_);
        InitializeConditionVariable(&changed_);
    }
    ~PipeBuffer() { DeleteCriticalSection(&lock_); }
    PipeBuffer(const PipeBuffer&) = delete;
    PipeBuffer& operator=(const PipeBuffer&) = delete;

    // Waits for data; false (broken pipe) once it is empty and the write end is closed.
    bool Read(uint8_t* buffer, DWORD count, DWORD* done)
    {
        Guard guard(this);
        while (data_.empty() && writerOpen_ && count != 0)
            SleepConditionVariableCS(&changed_, &lock_, INFINITE);
        if (data_.empty() && !writerOpen_)
            return false;
        *done = static_cast<DWORD>(std::min<size_t>(count, data_.size()));
        std::copy_n(data_.begin(), *done, buffer);
        data_.erase(data_.begin(), data_.begin() + *done);
        WakeAllConditionVariable(&changed_);
        return true;
    }

    // Waits for room until every byte is in; false (closing) when the read end is closed.
    bool Write(const uint8_t* buffer, DWORD count, DWORD* done)
    {
        Guard guard(this);
        for (;;) {
            if (!readerOpen_)
                return false;
            DWORD room = static_cast<DWORD>(std::min<size_t>(count - *done, capacity_ - data_.size()));
            data_.insert(data_.end(), buffer + *done, buffer + *done + room);
            *done += room;
            if (room != 0)
                WakeAllConditionVariable(&changed_);
            if (*done == count)
                return true;
            SleepConditionVariableCS(&changed_, &lock_, INFINITE);
        }
    }

    void CloseEnd(bool writeEnd)
    {
        Guard guard(this);
        (writeEnd ? writerOpen_ : readerOpen_) = false;
        WakeAllConditionVariable(&changed_);
    }

  private:
    struct Guard {
        explicit Guard(PipeBuffer* pipe) : pipe_(pipe) { EnterCriticalSection(&pipe_->lock_); }
        ~Guard() { LeaveCriticalSection(&pipe_->lock_); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        PipeBuffer* pipe_;
    };

    CRITICAL_SECTION lock_;
    CONDITION_VARIABLE changed_; // data moved or an end closed
    const size_t capacity_;
    std::deque<uint8_t> data_;
    bool readerOpen_ = true;
    bool writerOpen_ = true;
};

// An end lives as long as a handle (or a call in progress) holds it; its last reference closes it.
class PipeEnd : public Object
{
  public:
    PipeEnd(std::shared_ptr<PipeBuffer> pipe, bool writeEnd)
        : Object(ObjectKind::File), pipe(std::move(pipe)), writeEnd(writeEnd)
    {
    }
    ~PipeEnd() override { pipe->CloseEnd(writeEnd); }

    const std::shared_ptr<PipeBuffer> pipe;
    const bool writeEnd;
};

// The pipe end behind `handle`, referenced, with the access its handle grants; null for anything else.
PipeEnd* ReferenceEnd(HANDLE handle, ACCESS_MASK* granted)
{
    Object* object = nullptr;
    if (!NT_SUCCESS(HandleReference(handle, ObjectKind::File, 0, &object, granted)))
        return nullptr;
    auto* end = dynamic_cast<PipeEnd*>(object);
    if (end == nullptr)
        ObjectDereference(object);
    return end;
}

} // namespace

bool IsPipeEnd(HANDLE handle)
{
    PipeEnd* end = ReferenceEnd(handle, nullptr);
    if (end != nullptr)
        ObjectDereference(end);
    return end != nullptr;
}

bool PipeTransfer(HANDLE handle, void* buffer, DWORD count, LPDWORD transferred, LPOVERLAPPED overlapped,
                  bool write, BOOL* result)
{
    ACCESS_MASK granted = 0;
    PipeEnd* end = ReferenceEnd(handle, &granted);
    if (end == nullptr)
        return false;
    if (transferred != nullptr)
        *transferred = 0;
    *result = FALSE;
    if (!TransferArgumentsValid(buffer, count, transferred, overlapped)) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else if (!(granted & (write ? FILE_WRITE_DATA : FILE_READ_DATA))) {
        SetLastError(ERROR_ACCESS_DENIED);
    } else {
        DWORD done = 0;
        bool moved = write ? end->pipe->Write(static_cast<const uint8_t*>(buffer), count, &done)
                           : end->pipe->Read(static_cast<uint8_t*>(buffer), count, &done);
        if (transferred != nullptr)
            *transferred = done;
        if (overlapped != nullptr) {
            NTSTATUS failure = write ? kStatusPipeClosing : kStatusPipeBroken;
            overlapped->Internal = static_cast<ULONG_PTR>(moved ? STATUS_SUCCESS : failure);
            overlapped->InternalHigh = done;
        }
        if (!moved)
            SetLastError(write ? ERROR_NO_DATA : ERROR_BROKEN_PIPE);
        *result = moved;
    }
    ObjectDereference(end);
    return true;
}

} // namespace host::files

extern "C" BOOL CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES, DWORD nSize)
{
    using namespace host;
    if (hReadPipe == nullptr || hWritePipe == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto pipe = std::make_shared<files::PipeBuffer>(nSize != 0 ? nSize : files::kDefaultPipeSize);
    auto* reader = new files::PipeEnd(pipe, false);
    auto* writer = new files::PipeEnd(pipe, true);
    // Each end may read the attributes of the other direction, as Windows grants.
    *hReadPipe = HandleCreate(reader, FILE_GENERIC_READ | FILE_WRITE_ATTRIBUTES);
    *hWritePipe = HandleCreate(writer, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES);
    ObjectDereference(reader); // the handles hold the only references
    ObjectDereference(writer);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
