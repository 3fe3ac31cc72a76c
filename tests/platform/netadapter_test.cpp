// Network adapters of a framework device: creation with a context, and keywords read from the device's
// driver key through the adapter's configuration.
#include <gtest/gtest.h>

#include <host/pnp.h>
#include <host/registry.h>
#include <netadaptercx.h>

#include "plain_device.h"

#include <string>

namespace
{

constexpr std::u16string_view kInstance = u"TEST\\FXNET\\0";

struct ADAPTER_CONTEXT {
    ULONG Marker;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ADAPTER_CONTEXT, GetAdapterContext);

class NetAdapterTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        WDFDEVICE device = plaindevice::Add(u"FxNet", u"TEST\\FXNET", kInstance);
        ASSERT_NE(nullptr, device);
        NETADAPTER_INIT* init = NetAdapterInitAllocate(device);
        ASSERT_NE(nullptr, init);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, ADAPTER_CONTEXT);
        NTSTATUS status = NetAdapterCreate(init, &attributes, &adapter_);
        NetAdapterInitFree(init);
        ASSERT_EQ(STATUS_SUCCESS, status);
    }

    void TearDown() override { EXPECT_EQ(STATUS_SUCCESS, host::PnpRemoveDevice(kInstance)); }

    static std::u16string DriverKey() { return host::PnpDriverKey(kInstance); }

    NETADAPTER adapter_ = nullptr;
};

TEST_F(NetAdapterTest, AdapterCarriesItsContext)
{
    ADAPTER_CONTEXT* context = GetAdapterContext(adapter_);
    ASSERT_NE(nullptr, context);
    EXPECT_EQ(0u, context->Marker);
    EXPECT_EQ(adapter_, WdfObjectContextGetObject(context));
}

TEST_F(NetAdapterTest, KeywordsReadAsDecimalTextOrDword)
{
    struct Case {
        const char* what;
        ULONG type;
        std::u16string text; // REG_SZ
        ULONG dword;         // REG_DWORD
        NET_CONFIGURATION_QUERY_ULONG_FLAGS flags;
        NTSTATUS status;
        ULONG value; // 77 when the query leaves it alone
    };
    constexpr auto kNone = NET_CONFIGURATION_QUERY_ULONG_NO_FLAGS;
    constexpr auto kHex = NET_CONFIGURATION_QUERY_ULONG_MAY_BE_STORED_AS_HEX_STRING;
    const Case cases[] = {
        {"decimal", REG_SZ, u"42", 0, kNone, STATUS_SUCCESS, 42},
        {"largest", REG_SZ, u"4294967295", 0, kNone, STATUS_SUCCESS, 0xFFFFFFFF},
        {"too large", REG_SZ, u"4294967296", 0, kNone, STATUS_INVALID_PARAMETER, 77},
        {"hex text without the flag", REG_SZ, u"1A", 0, kNone, STATUS_INVALID_PARAMETER, 77},
        {"hex text with the flag", REG_SZ, u"1a", 0, kHex, STATUS_SUCCESS, 26},
        {"empty", REG_SZ, u"", 0, kNone, STATUS_INVALID_PARAMETER, 77},
        {"sign", REG_SZ, u"-1", 0, kNone, STATUS_INVALID_PARAMETER, 77},
        {"trailing text", REG_SZ, u"1 ", 0, kNone, STATUS_INVALID_PARAMETER, 77},
        {"dword", REG_DWORD, u"", 7, kNone, STATUS_SUCCESS, 7},
        {"qword", REG_QWORD, u"", 0, kNone, STATUS_OBJECT_TYPE_MISMATCH, 77},
        {"missing", REG_NONE, u"", 0, kNone, STATUS_OBJECT_NAME_NOT_FOUND, 77},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(STATUS_SUCCESS, host::RegistryDeleteTree(DriverKey()));
        ASSERT_EQ(STATUS_SUCCESS, host::RegistryCreateKey(DriverKey()));
        if (c.type == REG_SZ)
            host::RegistrySetString(DriverKey(), u"*Keyword", c.text);
        else if (c.type == REG_DWORD)
            host::RegistrySetDword(DriverKey(), u"*Keyword", c.dword);
        else if (c.type == REG_QWORD)
            host::RegistrySetQword(DriverKey(), u"*Keyword", 1);
        NETCONFIGURATION configuration = nullptr;
        ASSERT_EQ(STATUS_SUCCESS,
                  NetAdapterOpenConfiguration(adapter_, WDF_NO_OBJECT_ATTRIBUTES, &configuration));
        UNICODE_STRING name = RTL_CONSTANT_STRING(u"*Keyword");
        ULONG value = 77;
        EXPECT_EQ(c.status, NetConfigurationQueryUlong(configuration, c.flags, &name, &value));
        EXPECT_EQ(c.value, value);
        NetConfigurationClose(configuration);
    }
}

TEST_F(NetAdapterTest, ConfigurationOfAMissingDriverKeyCannotBeOpened)
{
    ASSERT_EQ(STATUS_SUCCESS, host::RegistryDeleteTree(DriverKey()));
    NETCONFIGURATION configuration = reinterpret_cast<NETCONFIGURATION>(1);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              NetAdapterOpenConfiguration(adapter_, WDF_NO_OBJECT_ATTRIBUTES, &configuration));
    EXPECT_EQ(nullptr, configuration);
}

} // namespace
