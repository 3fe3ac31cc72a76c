// The Win32 base: last error per thread, closing handles, process contexts.
#include <gtest/gtest.h>

#include <windows.h>

#include <host/object.h>
#include <host/process.h>

#include <thread>

namespace {

TEST(Win32Base, LastErrorIsPerThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD other = 0;
    std::thread([&] {
        other = GetLastError();
        SetLastError(ERROR_MORE_DATA);
    }).join();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), other);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST(Win32Base, CloseHandleReleasesTheObjectAndRefusesBadHandles)
{
    struct Probe : host::Object {
        Probe() : host::Object(host::ObjectKind::Other) {}
    };
    auto* probe = new Probe;
    HANDLE handle = host::HandleCreate(probe, 0);
    host::ObjectDereference(probe);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Win32Base, ThreadsBelongToTheProcessTheyAreMovedInto)
{
    ULONG defaultId = host::CurrentProcess().id;
    auto service = host::ProcessCreate(u"C:\\Program Files\\Svc\\svc.exe");
    EXPECT_NE(defaultId, service->id);
    EXPECT_EQ(0u, service->id % 4);
    EXPECT_EQ(u"C:\\Program Files\\Svc", service->currentDirectory);
    service->environment[u"Path"] = u"C:\\Windows";
    EXPECT_EQ(1u, service->environment.count(u"PATH")); // names compare without case

    host::SetCurrentProcess(service);
    EXPECT_EQ(service->id, host::CurrentProcess().id);
    ULONG seenByOther = 0;
    std::thread([&] { seenByOther = host::CurrentProcess().id; }).join();
    EXPECT_EQ(defaultId, seenByOther); // a plain thread is not moved along; CreateThread inherits
    host::SetCurrentProcess(nullptr);
    EXPECT_EQ(defaultId, host::CurrentProcess().id);
}

} // namespace
