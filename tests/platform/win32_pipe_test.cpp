// Anonymous pipes: data in order through a bounded buffer, the ends' directions, the errors of a closed
// end, blocking on both sides as host waits, and a handle that cannot be positioned.
#include <gtest/gtest.h>

#include <windows.h>

#include "host_test.h"

#include <functional>
#include <string>

namespace
{

struct Pipe {
    explicit Pipe(DWORD size = 0) { EXPECT_TRUE(CreatePipe(&read, &write, nullptr, size)); }
    ~Pipe()
    {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() { Close(&read); }
    void CloseWrite() { Close(&write); }
    static void Close(HANDLE* handle)
    {
        if (*handle != nullptr)
            CloseHandle(*handle);
        *handle = nullptr;
    }
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

// Reads until the pipe breaks; the last error must be ERROR_BROKEN_PIPE.
std::string Drain(HANDLE read)
{
    std::string all;
    char buffer[7]; // odd-sized, so reads split what writes put in
    DWORD n = 0;
    while (ReadFile(read, buffer, sizeof(buffer), &n, nullptr))
        all.append(buffer, n);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BROKEN_PIPE));
    EXPECT_EQ(n, 0u);
    return all;
}

TEST(Win32Pipe, DataFlowsInOrderAndTheWriteEndsCloseBreaksThePipe)
{
    Pipe pipe;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(pipe.write, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    ASSERT_TRUE(WriteFile(pipe.write, " world", 6, &n, nullptr));
    char buffer[3];
    ASSERT_TRUE(ReadFile(pipe.read, buffer, sizeof(buffer), &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "hel");
    // A read returns what is there, without waiting for the rest it asked for.
    char more[64];
    ASSERT_TRUE(ReadFile(pipe.read, more, sizeof(more), &n, nullptr));
    EXPECT_EQ(std::string(more, n), "lo world");

    // Bytes written before the close still arrive; then the pipe is broken, also for an OVERLAPPED read.
    ASSERT_TRUE(WriteFile(pipe.write, "end", 3, &n, nullptr));
    pipe.CloseWrite();
    OVERLAPPED overlapped{};
    overlapped.Offset = 1000; // means nothing to a pipe
    ASSERT_TRUE(ReadFile(pipe.read, more, sizeof(more), nullptr, &overlapped));
    EXPECT_EQ(std::string(more, overlapped.InternalHigh), "end");
    EXPECT_FALSE(ReadFile(pipe.read, more, sizeof(more), nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BROKEN_PIPE));
    EXPECT_EQ(overlapped.InternalHigh, 0u);
    EXPECT_NE(overlapped.Internal, 0u);
}

TEST(Win32Pipe, EndsHaveOneDirectionAndCannotBePositioned)
{
    Pipe pipe;
    DWORD n = 1;
    char c = 'x';
    for (HANDLE end : {pipe.read, pipe.write})
        EXPECT_EQ(GetFileType(end), DWORD(FILE_TYPE_PIPE));
    EXPECT_FALSE(ReadFile(pipe.write, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(WriteFile(pipe.read, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(WriteFile(pipe.write, &c, 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(CreatePipe(nullptr, &pipe.write, nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    // Calls on a file's position, size, times and identity do not apply to a pipe.
    struct Call {
        const char* name;
        std::function<bool(HANDLE)> fails;
    } calls[] = {
        {"SetFilePointer", [](HANDLE h) { return SetFilePointer(h, 0, nullptr, FILE_CURRENT) == INVALID_SET_FILE_POINTER; }},
        {"SetFilePointerEx", [](HANDLE h) { return !SetFilePointerEx(h, LARGE_INTEGER{}, nullptr, FILE_BEGIN); }},
        {"GetFileSize", [](HANDLE h) { return GetFileSize(h, nullptr) == INVALID_FILE_SIZE; }},
        {"SetEndOfFile", [](HANDLE h) { return !SetEndOfFile(h); }},
        {"GetFileTime", [](HANDLE h) { FILETIME t; return !GetFileTime(h, &t, &t, &t); }},
        {"GetFileInformationByHandle",
         [](HANDLE h) { BY_HANDLE_FILE_INFORMATION info; return !GetFileInformationByHandle(h, &info); }},
    };
    for (const Call& call : calls)
        for (HANDLE end : {pipe.read, pipe.write}) {
            SCOPED_TRACE(call.name);
            EXPECT_TRUE(call.fails(end));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
        }
}

TEST(Win32Pipe, WriteWithoutReaderFails)
{
    Pipe pipe;
    pipe.CloseRead();
    DWORD n = 7;
    EXPECT_FALSE(WriteFile(pipe.write, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_DATA));
    EXPECT_EQ(n, 0u);
}

// A buffer far smaller than the data: the writer blocks on a full pipe and the reader on an empty one,
// many times over, and everything arrives in order.
TEST(Win32Pipe, BlockingTransfersThroughASmallBuffer)
{
    std::string data;
    for (int i = 0; i < 2000; ++i)
        data += static_cast<char>('a' + i % 23);
    for (DWORD size : {1u, 16u, 0u}) {
        SCOPED_TRACE(size);
        Pipe pipe(size);
        HANDLE writer = hosttest::StartThread([&] {
            DWORD n = 0;
            EXPECT_TRUE(WriteFile(pipe.write, data.data(), DWORD(data.size()), &n, nullptr));
            EXPECT_EQ(n, data.size());
            pipe.CloseWrite();
        });
        EXPECT_EQ(Drain(pipe.read), data);
        hosttest::JoinThread(writer);
    }
}

// Closing the other end wakes a blocked call: the reader of an empty pipe learns the pipe broke, the
// writer into a full pipe learns the reader left, with the bytes that went in. The virtual clock passes
// the Sleep only once every other thread is blocked, so the close finds the other side waiting.
TEST(Win32Pipe, ClosingAnEndWakesTheBlockedOtherSide)
{
    {
        Pipe pipe;
        HANDLE reader = hosttest::StartThread([&] { EXPECT_EQ(Drain(pipe.read), ""); });
        Sleep(10);
        pipe.CloseWrite();
        hosttest::JoinThread(reader);
    }
    {
        Pipe pipe(8);
        HANDLE writer = hosttest::StartThread([&] {
            DWORD n = 0;
            EXPECT_FALSE(WriteFile(pipe.write, "0123456789ABCDEF", 16, &n, nullptr));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_DATA));
            EXPECT_EQ(n, 8u);
        });
        Sleep(10);
        pipe.CloseRead();
        hosttest::JoinThread(writer);
    }
}

} // namespace
