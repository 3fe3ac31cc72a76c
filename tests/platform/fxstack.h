// A fixture that installs the test driver pair (FxFunc over the lower filter FxLower) for one device and
// reads back the callbacks they trace, in order, as "<image>:<callback> <arguments>".
#pragma once

#include <gtest/gtest.h>

#include <host/host.h>
#include <host/image.h>
#include <host/io.h>
#include <host/loader.h>
#include <host/pnp.h>
#include <host/registry.h>
#include <host/trace.h>
#include <host/utf.h>
#include <wdm.h>

#include <functional>
#include <string>
#include <vector>

#include "fxtest.h"
#include "host_test.h"

namespace fxtest
{

inline constexpr std::u16string_view kInstance = u"TEST\\FXDEV\\0";
inline constexpr std::u16string_view kHardwareId = u"TEST\\FXDEV";
inline constexpr LONGLONG kMs = 10000; // 100 ns units

using Calls = std::vector<std::string>;

class StackTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        Service(u"FxFunc", WWAN_FXFUNC_IMAGE);
        Service(u"FxLower", WWAN_FXLOWER_IMAGE);
        ASSERT_EQ(STATUS_SUCCESS, host::PnpInstallDriver(kHardwareId, u"FxFunc", {u"FxLower"}));
        host::TraceClear();
    }

    void TearDown() override
    {
        if (host::PnpQueryState(kInstance) != host::PnpState::Removed) {
            EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance));
        }
        host::Quiesce();
        EXPECT_EQ(nullptr, host::DriverFind(u"FxFunc"));
        EXPECT_EQ(nullptr, host::DriverFind(u"FxLower"));
    }

    static void Service(std::u16string_view name, const char* image)
    {
        std::u16string key = std::u16string(host::kServicesKey) + u"\\" + std::u16string(name);
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetString(key, u"ImagePath", host::utf::ToUtf16(image)));
    }

    // A DWORD under FxFunc's Parameters key, read when it adds its device.
    static void Set(std::u16string_view name, ULONG value)
    {
        std::u16string key = std::u16string(host::kServicesKey) + u"\\FxFunc\\Parameters";
        ASSERT_EQ(STATUS_SUCCESS, host::RegistrySetDword(key, name, value));
    }

    static NTSTATUS Add()
    {
        return host::PnpAddDevice({std::u16string(kInstance), {std::u16string(kHardwareId)}, {}});
    }

    // The callbacks traced since the last call.
    static Calls Take()
    {
        Calls calls;
        for (auto& line : host::TraceSnapshot())
            if (line.text.rfind("cb ", 0) == 0)
                calls.push_back(host::ImageName(line.image) + ":" + line.text.substr(3));
        host::TraceClear();
        return calls;
    }

    static HANDLE Open()
    {
        auto paths = host::IoInterfaceList(GUID_FXTEST_INTERFACE);
        EXPECT_EQ(1u, paths.size());
        HANDLE handle = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, paths.empty() ? STATUS_NOT_FOUND : host::IoOpen(paths[0], &handle));
        return handle;
    }

    static NTSTATUS Control(HANDLE handle, ULONG code, ULONG_PTR* returned = nullptr,
                            const void* input = nullptr, size_t inputLength = 0, void* output = nullptr,
                            size_t outputLength = 0)
    {
        ULONG_PTR ignored;
        return host::IoDeviceControl(handle, code, input, inputLength, output, outputLength,
                                     returned != nullptr ? returned : &ignored);
    }
};

// A thread of the test's running `body` (hosttest::StartThread); Join, or the end of its scope, waits for
// it.
class Thread
{
  public:
    explicit Thread(std::function<void()> body) : handle_(hosttest::StartThread(std::move(body))) {}
    ~Thread() { Join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    void Join()
    {
        if (handle_ != nullptr)
            hosttest::JoinThread(handle_);
        handle_ = nullptr;
    }

  private:
    HANDLE handle_;
};

} // namespace fxtest
