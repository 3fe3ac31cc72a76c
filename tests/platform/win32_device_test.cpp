// Devices from user mode: CreateFile on interface paths and links, DeviceIoControl with the status-to-error
// table, ReadFile/WriteFile/CloseHandle on a device, the configuration manager's interface lists and its
// arrival and removal notifications, all against the framework test driver pair.
#include <windows.h>

#include <cfgmgr32.h>
#include <winioctl.h>

#include "fxstack.h"

#include <cstring>
#include <string>
#include <vector>

namespace
{

using namespace fxtest;

constexpr std::u16string_view kSecondInstance = u"TEST\\FXDEV\\1";

GUID g_class = GUID_FXTEST_INTERFACE;

class DeviceTest : public StackTest
{
  protected:
    void TearDown() override
    {
        if (host::PnpQueryState(kSecondInstance) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kSecondInstance));
        }
        StackTest::TearDown();
    }

    static NTSTATUS AddSecond()
    {
        return host::PnpAddDevice({std::u16string(kSecondInstance), {std::u16string(kHardwareId)}, {}});
    }

    static HANDLE OpenFirst()
    {
        std::string path = host::utf::ToUtf8(host::IoInterfaceList(GUID_FXTEST_INTERFACE).at(0));
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    // The paths of a NUL-separated list.
    template <class C> static std::vector<std::basic_string<C>> Split(const std::vector<C>& list)
    {
        std::vector<std::basic_string<C>> paths;
        for (size_t at = 0; at < list.size() && list[at] != 0;) {
            std::basic_string<C> path(&list[at]);
            at += path.size() + 1;
            paths.push_back(std::move(path));
        }
        return paths;
    }

    static std::vector<std::string> ListA()
    {
        ULONG size = 0;
        EXPECT_EQ(CR_SUCCESS, CM_Get_Device_Interface_List_Size_ExA(
                                  &size, &g_class, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT, nullptr));
        std::vector<char> list(size);
        EXPECT_EQ(CR_SUCCESS,
                  CM_Get_Device_Interface_List_ExA(&g_class, nullptr, list.data(), size,
                                                   CM_GET_DEVICE_INTERFACE_LIST_PRESENT, nullptr));
        EXPECT_EQ(0, list.back());
        return Split(list);
    }
};

TEST_F(DeviceTest, OpensAnInterfacePathWithAnyDispositionAndClosesThroughTheDriver)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    Take();
    for (DWORD disposition : {CREATE_ALWAYS, OPEN_EXISTING, CREATE_NEW}) {
        std::u16string path = host::IoInterfaceList(GUID_FXTEST_INTERFACE).at(0);
        HANDLE handle =
            CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        EXPECT_TRUE(CloseHandle(handle));
        EXPECT_EQ((Calls{"FxFunc:FileCreate", "FxFunc:FileCleanup", "FxFunc:FileClose"}), Take());
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA("\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("\\\\?\\TEST#FXDEV#9#{5b0d3a2e-8f61-4c1e-9b7a-2d4e6f708192}",
                                                GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(DeviceTest, DeviceIoControlMapsTheCompletionStatus)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = OpenFirst();
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    struct Case {
        NTSTATUS status;
        BOOL result;
        DWORD error;
        DWORD returned; // of the 8 bytes the driver completes with
    };
    const Case cases[] = {
        {STATUS_SUCCESS, TRUE, ERROR_SUCCESS, 8},
        {STATUS_INVALID_PARAMETER, FALSE, ERROR_INVALID_PARAMETER, 0},
        {STATUS_INVALID_DEVICE_REQUEST, FALSE, ERROR_INVALID_FUNCTION, 0},
        {STATUS_BUFFER_TOO_SMALL, FALSE, ERROR_INSUFFICIENT_BUFFER, 0},
        {STATUS_BUFFER_OVERFLOW, FALSE, ERROR_MORE_DATA, 8},
        {STATUS_CANCELLED, FALSE, ERROR_OPERATION_ABORTED, 0},
        {STATUS_UNSUCCESSFUL, FALSE, ERROR_GEN_FAILURE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status);
        FXFUNC_COMPLETION completion{c.status, 8};
        unsigned char out[16] = {};
        DWORD returned = 99;
        SetLastError(12345);
        EXPECT_EQ(c.result, DeviceIoControl(handle, IOCTL_FXFUNC_COMPLETE_WITH, &completion,
                                            sizeof(completion), out, sizeof(out), &returned, nullptr));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(c.returned, returned);
        EXPECT_EQ(c.returned != 0 ? FXFUNC_FILL : 0, out[0]);
    }

    // An OVERLAPPED on a synchronous handle receives the outcome too.
    FXFUNC_COMPLETION completion{STATUS_BUFFER_OVERFLOW, 4};
    unsigned char out[4];
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_FXFUNC_COMPLETE_WITH, &completion, sizeof(completion), out,
                                 sizeof(out), nullptr, &overlapped));
    EXPECT_EQ(ULONG_PTR(ULONG(STATUS_BUFFER_OVERFLOW)), overlapped.Internal);
    EXPECT_EQ(4u, overlapped.InternalHigh);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(overlapped.hEvent, 0));
    CloseHandle(overlapped.hEvent);

    // Arguments the request never gets past.
    DWORD returned = 0;
    EXPECT_FALSE(
        DeviceIoControl(handle, IOCTL_FXFUNC_ECHO, nullptr, 4, out, sizeof(out), &returned, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(
        DeviceIoControl(handle, IOCTL_FXFUNC_ECHO, &completion, 1, out, sizeof(out), nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(
        DeviceIoControl(handle, IOCTL_FXFUNC_ECHO, &completion, 1, out, sizeof(out), &returned, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(DeviceTest, ReadAndWriteReachTheDriver)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    HANDLE handle = OpenFirst();
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    unsigned char buffer[5] = {1, 2, 3, 4, 5};
    DWORD moved = 0;
    EXPECT_TRUE(WriteFile(handle, buffer, sizeof(buffer), &moved, nullptr));
    EXPECT_EQ(5u, moved);
    EXPECT_TRUE(ReadFile(handle, buffer, 3, &moved, nullptr));
    EXPECT_EQ(3u, moved);
    EXPECT_EQ((std::vector<unsigned char>{FXFUNC_FILL, FXFUNC_FILL, FXFUNC_FILL, 4, 5}),
              std::vector<unsigned char>(buffer, buffer + 5));
    EXPECT_FALSE(ReadFile(handle, nullptr, 3, &moved, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(WriteFile(handle, buffer, 1, &moved, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(DeviceTest, ListsHoldThePresentInterfaces)
{
    ULONG size = 0;
    EXPECT_EQ(CR_SUCCESS, CM_Get_Device_Interface_List_SizeW(&size, &g_class, nullptr, 0));
    EXPECT_EQ(1u, size); // the empty list is its terminator
    EXPECT_TRUE(ListA().empty());

    ASSERT_EQ(STATUS_SUCCESS, Add());
    const std::string first = "\\\\?\\TEST#FXDEV#0#{5b0d3a2e-8f61-4c1e-9b7a-2d4e6f708192}";
    EXPECT_EQ(std::vector<std::string>{first}, ListA());

    ASSERT_EQ(STATUS_SUCCESS, AddSecond());
    const std::string second = "\\\\?\\TEST#FXDEV#1#{5b0d3a2e-8f61-4c1e-9b7a-2d4e6f708192}";
    EXPECT_EQ((std::vector<std::string>{first, second}), ListA());

    // The W form counts characters, and a device instance narrows the list.
    EXPECT_EQ(CR_SUCCESS, CM_Get_Device_Interface_List_SizeW(&size, &g_class, nullptr, 0));
    EXPECT_EQ(first.size() + second.size() + 3, size);
    WCHAR instance[] = u"test\\fxdev\\1";
    EXPECT_EQ(CR_SUCCESS, CM_Get_Device_Interface_List_SizeW(&size, &g_class, instance, 0));
    std::vector<WCHAR> wide(size);
    EXPECT_EQ(CR_SUCCESS, CM_Get_Device_Interface_ListW(&g_class, instance, wide.data(), size, 0));
    EXPECT_EQ(std::vector<std::u16string>{host::utf::ToUtf16(second)}, Split(wide));

    // A disabled interface is no longer present, though still registered.
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kSecondInstance));
    EXPECT_EQ(std::vector<std::string>{first}, ListA());
}

TEST_F(DeviceTest, ListThatGrewAfterItWasSizedIsTooSmall)
{
    ASSERT_EQ(STATUS_SUCCESS, Add());
    ULONG size = 0;
    ASSERT_EQ(CR_SUCCESS, CM_Get_Device_Interface_List_SizeA(&size, &g_class, nullptr, 0));
    ASSERT_EQ(STATUS_SUCCESS, AddSecond());
    std::vector<char> list(size);
    EXPECT_EQ(CR_BUFFER_SMALL, CM_Get_Device_Interface_ListA(&g_class, nullptr, list.data(), size, 0));
}

TEST_F(DeviceTest, ListArgumentsAreChecked)
{
    ULONG size = 7;
    char list[4];
    EXPECT_EQ(CR_INVALID_POINTER, CM_Get_Device_Interface_List_SizeA(nullptr, &g_class, nullptr, 0));
    EXPECT_EQ(CR_INVALID_POINTER, CM_Get_Device_Interface_List_SizeA(&size, nullptr, nullptr, 0));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(CR_INVALID_FLAG, CM_Get_Device_Interface_List_SizeA(&size, &g_class, nullptr, 2));
    EXPECT_EQ(CR_INVALID_POINTER, CM_Get_Device_Interface_ListA(&g_class, nullptr, nullptr, 4, 0));
    EXPECT_EQ(CR_INVALID_POINTER, CM_Get_Device_Interface_ListA(&g_class, nullptr, list, 0, 0));
    EXPECT_EQ(CR_INVALID_FLAG, CM_Get_Device_Interface_ListA(&g_class, nullptr, list, 4, 0x10));
    EXPECT_EQ(CR_ACCESS_DENIED,
              CM_Get_Device_Interface_List_ExA(&g_class, nullptr, list, 4, 0, reinterpret_cast<HMACHINE>(1)));
    EXPECT_EQ(CR_SUCCESS, CM_Get_Device_Interface_ListA(&g_class, nullptr, list, 4, 0));
    EXPECT_EQ(0, list[0]);
}

// What a notification callback saw, and the events it signals and waits on.
struct Seen {
    HANDLE heard = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE release = nullptr; // the callback waits for it when set
    std::vector<std::pair<CM_NOTIFY_ACTION, std::u16string>> events;
    bool unregisterSelf = false;

    ~Seen() { CloseHandle(heard); }
};

DWORD CALLBACK Heard(HCMNOTIFICATION notification, PVOID context, CM_NOTIFY_ACTION action,
                     PCM_NOTIFY_EVENT_DATA data, DWORD size)
{
    auto* seen = static_cast<Seen*>(context);
    EXPECT_EQ(CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE, data->FilterType);
    EXPECT_EQ(GUID_FXTEST_INTERFACE, data->u.DeviceInterface.ClassGuid);
    std::u16string link(data->u.DeviceInterface.SymbolicLink);
    EXPECT_EQ(offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink) +
                  (link.size() + 1) * sizeof(WCHAR),
              size);
    seen->events.emplace_back(action, link);
    if (seen->unregisterSelf) {
        EXPECT_EQ(CR_SUCCESS, CM_Unregister_Notification(notification));
    }
    HANDLE release = seen->release; // the test may let go of `seen` once it heard
    SetEvent(seen->heard);
    if (release != nullptr)
        WaitForSingleObject(release, INFINITE);
    return ERROR_SUCCESS;
}

HCMNOTIFICATION Register(Seen* seen, const GUID& guid = GUID_FXTEST_INTERFACE)
{
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = guid;
    HCMNOTIFICATION notification = nullptr;
    EXPECT_EQ(CR_SUCCESS, CM_Register_Notification(&filter, seen, Heard, &notification));
    return notification;
}

TEST_F(DeviceTest, NotifiesArrivalAndRemovalOfTheClass)
{
    Seen seen;
    Seen other;
    HCMNOTIFICATION notification = Register(&seen);
    HCMNOTIFICATION elsewhere = Register(&other, GUID_FXPCI_INTERFACE);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(seen.heard, INFINITE));
    ASSERT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(seen.heard, INFINITE));
    const std::u16string link = u"\\\\?\\TEST#FXDEV#0#{5b0d3a2e-8f61-4c1e-9b7a-2d4e6f708192}";
    EXPECT_EQ((std::vector<std::pair<CM_NOTIFY_ACTION, std::u16string>>{
                  {CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, link},
                  {CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, link}}),
              seen.events);
    EXPECT_EQ(CR_SUCCESS, CM_Unregister_Notification(notification));
    EXPECT_EQ(CR_SUCCESS, CM_Unregister_Notification(elsewhere));
    EXPECT_TRUE(other.events.empty());
    EXPECT_EQ(CR_INVALID_DATA, CM_Unregister_Notification(notification));

    // Gone: the next arrival reaches nobody.
    ASSERT_EQ(STATUS_SUCCESS, AddSecond());
    EXPECT_EQ(2u, seen.events.size());
}

TEST_F(DeviceTest, UnregisterWaitsForARunningCallbackUnlessCalledFromIt)
{
    Seen seen;
    seen.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HCMNOTIFICATION notification = Register(&seen);
    ASSERT_EQ(STATUS_SUCCESS, Add());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(seen.heard, INFINITE));
    HANDLE unregistering =
        hosttest::StartThread([&] { EXPECT_EQ(CR_SUCCESS, CM_Unregister_Notification(notification)); });
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(unregistering, 1000)); // held by the callback
    SetEvent(seen.release);
    hosttest::JoinThread(unregistering);
    CloseHandle(seen.release);

    Seen self;
    self.unregisterSelf = true;
    Register(&self);
    ASSERT_EQ(STATUS_SUCCESS, AddSecond());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(self.heard, INFINITE));
    EXPECT_EQ(1u, self.events.size());
}

TEST_F(DeviceTest, RegistrationArgumentsAreChecked)
{
    Seen seen;
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    HCMNOTIFICATION notification = nullptr;
    EXPECT_EQ(CR_INVALID_POINTER, CM_Register_Notification(nullptr, &seen, Heard, &notification));
    EXPECT_EQ(CR_INVALID_POINTER, CM_Register_Notification(&filter, &seen, nullptr, &notification));
    filter.cbSize = 8;
    EXPECT_EQ(CR_INVALID_DATA, CM_Register_Notification(&filter, &seen, Heard, &notification));
    filter.cbSize = sizeof(filter);
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE;
    EXPECT_EQ(CR_INVALID_DATA, CM_Register_Notification(&filter, &seen, Heard, &notification));
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.Flags = 0x80;
    EXPECT_EQ(CR_INVALID_FLAG, CM_Register_Notification(&filter, &seen, Heard, &notification));
    EXPECT_EQ(nullptr, notification);
    EXPECT_EQ(CR_INVALID_POINTER, CM_Unregister_Notification(nullptr));
}

} // namespace
