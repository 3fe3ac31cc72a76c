// The driver's registry configuration: driver-key values, the range-checked tables, the COM functions
// enabled by configuration, the dump switches and the status values under the service keys.
#include "device_fixture.h"

#include "host_test.h"

#include <host/pool.h>
#include <host/registry.h>
#include <host/routines.h>
#include <host/trace.h>

#include <optional>

#include "Driver.h"
#include "Registry.h"

namespace
{

using taluvotest::DeviceTest;

// How a test leaves one value: absent, or with a type and bytes.
struct Stored {
    ULONG type;
    std::vector<UCHAR> data;
};
std::optional<Stored> Missing()
{
    return std::nullopt;
}
std::optional<Stored> Dword(ULONG value)
{
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&value);
    return Stored{REG_DWORD, {bytes, bytes + sizeof(value)}};
}
std::optional<Stored> Text(std::u16string_view text)
{
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(text.data());
    std::vector<UCHAR> data(bytes, bytes + text.size() * sizeof(char16_t));
    data.insert(data.end(), {0, 0});
    return Stored{REG_SZ, data};
}
std::optional<Stored> Qword(ULONGLONG value)
{
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&value);
    return Stored{REG_QWORD, {bytes, bytes + sizeof(value)}};
}

void Put(std::u16string_view key, std::u16string_view name, const std::optional<Stored>& value)
{
    if (value) {
        ASSERT_EQ(STATUS_SUCCESS,
                  host::RegistrySetValue(key, name, value->type, value->data.data(), value->data.size()));
    }
}

class RegistryConfigTest : public DeviceTest
{
  protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        WriteRelease(&DumpFlags, 0);
    }

    static std::u16string DriverKey() { return host::PnpDriverKey(u"TEST\\TALUVO\\0"); }

    static void Set(std::u16string_view name, const std::optional<Stored>& value)
    {
        Put(DriverKey(), name, value);
    }
};

TEST_F(RegistryConfigTest, DriverKeyValuesReadAsFourByteDwordsElseZero)
{
    struct Case {
        const char* what;
        std::optional<Stored> stored;
        ULONG expected;
    };
    const Case cases[] = {
        {"missing", Missing(), 0},
        {"dword", Dword(0x12345678), 0x12345678},
        {"string", Text(u"1"), 0},
        {"qword", Qword(1), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(STATUS_SUCCESS, host::RegistryDeleteTree(DriverKey()));
        Set(u"WwanValue", c.stored);
        EXPECT_EQ(c.expected, ReadDriverKeyULong(Device(), u"WwanValue"));
    }
}

TEST_F(RegistryConfigTest, RxPerfOnIsRangeChecked)
{
    struct Case {
        std::optional<Stored> stored;
        ULONG expected;
    };
    const Case cases[] = {{Missing(), 0}, {Dword(1), 1}, {Dword(2), 0}, {Text(u"1"), 0}};
    for (const Case& c : cases) {
        ASSERT_EQ(STATUS_SUCCESS, host::RegistryDeleteTree(DriverKey()));
        Set(u"_RxPerfOn", c.stored);
        RxPerfOn = 7;
        DriverConfigProperties_Read(Context());
        EXPECT_EQ(c.expected, RxPerfOn);
    }
}

// The adapter keywords, stored as text by the installation, through the adapter's configuration.
class AdapterConfigTest : public RegistryConfigTest
{
  protected:
    void SetUp() override
    {
        RegistryConfigTest::SetUp();
        NETADAPTER_INIT* init = NetAdapterInitAllocate(Device());
        ASSERT_NE(nullptr, init);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NETADAPTER_INSTANCE_CONTEXT);
        NETADAPTER adapter = nullptr;
        NTSTATUS status = NetAdapterCreate(init, &attributes, &adapter);
        NetAdapterInitFree(init);
        ASSERT_EQ(STATUS_SUCCESS, status);
        context_ = GetNetAdapterInstanceContext(adapter);
        context_->Adapter = adapter;
    }

    PNETADAPTER_INSTANCE_CONTEXT context_ = nullptr;
};

TEST_F(AdapterConfigTest, KeywordsAreRangeCheckedWithTheirDefaults)
{
    struct Case {
        const char* what;
        std::optional<Stored> wake, modern, sleep;
        ULONG expected[3];
    };
    const Case cases[] = {
        {"missing", Missing(), Missing(), Missing(), {1, 0, 1}},
        {"in range", Text(u"0"), Text(u"1"), Text(u"0"), {0, 1, 0}},
        {"out of range", Text(u"5"), Text(u"5"), Text(u"2"), {1, 0, 1}},
        {"not a number", Text(u"on"), Text(u"yes"), Text(u""), {1, 0, 1}},
        {"dwords", Dword(0), Dword(1), Dword(0), {0, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(STATUS_SUCCESS, host::RegistryDeleteTree(DriverKey()));
        ASSERT_EQ(STATUS_SUCCESS, host::RegistryCreateKey(DriverKey()));
        Set(u"*WakeOnMagicPacket", c.wake);
        Set(u"*ModernStandyWoLMagicPacket", c.modern);
        Set(u"*DeviceSleepOnDisconnect", c.sleep);
        context_->WakeOnMagicPacket = context_->ModernStandyWoLMagicPacket =
            context_->DeviceSleepOnDisconnect = 9;
        EXPECT_EQ(STATUS_SUCCESS, Mbb_ReadConfiguration(context_));
        EXPECT_EQ(c.expected[0], context_->WakeOnMagicPacket);
        EXPECT_EQ(c.expected[1], context_->ModernStandyWoLMagicPacket);
        EXPECT_EQ(c.expected[2], context_->DeviceSleepOnDisconnect);
    }
}

TEST_F(AdapterConfigTest, AConfigurationThatCannotBeOpenedLeavesTheFieldsAndIsTheResult)
{
    ASSERT_EQ(STATUS_SUCCESS, host::RegistryDeleteTree(DriverKey()));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Mbb_ReadConfiguration(context_));
    EXPECT_EQ(0u, context_->WakeOnMagicPacket);
    EXPECT_EQ(0u, context_->ModernStandyWoLMagicPacket);
    EXPECT_EQ(0u, context_->DeviceSleepOnDisconnect);
}

// The rule both tables share: default on a failed read or out of range, stored in the row's width.
TEST(ConfigPropertiesTest, RowsStoreTheirWidthAndFallBackToTheDefault)
{
    struct Target {
        UCHAR Byte;
        USHORT Word;
        ULONG Long;
        ULONG Odd;
        ULONG Missing;
    } target = {0, 0, 0, 0x55, 0};
    const CONFIG_PROPERTY table[] = {
        {RTL_CONSTANT_STRING(u"Byte"), offsetof(Target, Byte), 1, 9, 0, 0x1FF},
        {RTL_CONSTANT_STRING(u"Word"), offsetof(Target, Word), 2, 9, 0, 0xFFFFF},
        {RTL_CONSTANT_STRING(u"Long"), offsetof(Target, Long), 4, 9, 3, 4},
        {RTL_CONSTANT_STRING(u"Odd"), offsetof(Target, Odd), 3, 9, 0, 10},
        {RTL_CONSTANT_STRING(u"Missing"), offsetof(Target, Missing), 4, 1, 0, 1},
    };
    auto read = [](PVOID, PCUNICODE_STRING name, PULONG value) -> NTSTATUS {
        std::u16string text(name->Buffer, name->Length / sizeof(WCHAR));
        if (text == u"Missing")
            return STATUS_OBJECT_NAME_NOT_FOUND;
        *value = text == u"Byte" ? 0x1AB : text == u"Word" ? 0x12345 : text == u"Long" ? 5 : 1;
        return STATUS_SUCCESS;
    };
    ConfigPropertiesRead(table, ARRAYSIZE(table), &target, read, nullptr);
    EXPECT_EQ(0xAB, target.Byte);   // truncated to its width
    EXPECT_EQ(0x2345, target.Word); // likewise
    EXPECT_EQ(9u, target.Long);     // 5 is outside 3..4
    EXPECT_EQ(0x55u, target.Odd);   // a width of 3 stores nothing
    EXPECT_EQ(1u, target.Missing);  // failed read
}

TEST_F(RegistryConfigTest, FeatureConfigurationEnablesByMaskOrByItsOwnValue)
{
    struct Case {
        const char* what;
        ULONG mask;
        std::vector<std::pair<std::u16string, ULONG>> values;
        WWAN_COM_INDEX function;
        BOOLEAN enabled;
    };
    const Case cases[] = {
        {"mask enables GNSS", 0x080, {{u"WWANFeatureGNSS", 0}}, WwanComGnss, TRUE},
        {"AT = 1", 0, {{u"WWANFeatureAT", 1}}, WwanComAt, TRUE},
        {"AT = 2", 0, {{u"WWANFeatureAT", 2}}, WwanComAt, FALSE},
        {"NMEA by mask", 0x400, {}, WwanComNmea, TRUE},
        {"META MD missing", 0x1FF, {}, WwanComMetaMd, FALSE},
        {"flash always", 0, {}, WwanComFlash, TRUE},
        {"full RAM dump always", 0, {}, WwanComFullRamDump, TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(STATUS_SUCCESS, host::RegistryDeleteTree(DriverKey()));
        *Context() = MBB_DEVICE_CONTEXT{};
        Set(u"WWANCIDBufferPortConfig", Dword(c.mask));
        for (const auto& [name, value] : c.values)
            Set(name, Dword(value));
        ReadFeatureConfiguration(Device());
        EXPECT_EQ(c.enabled, Context()->Functions[c.function].Enabled);
    }
}

TEST_F(RegistryConfigTest, FeatureValueUnderASetMaskBitIsNotRead)
{
    Set(u"WWANCIDBufferPortConfig", Dword(0x080));
    Set(u"WWANFeatureGNSS", Dword(0));
    host::TraceClear();
    ReadFeatureConfiguration(Device());
    EXPECT_TRUE(host::TraceFind("WWANFeatureGNSS").empty());
    EXPECT_FALSE(host::TraceFind("WWANFeatureAT").empty());
}

TEST_F(RegistryConfigTest, FeatureConfigurationReadsTheDowngradeAndTheTraceSwitch)
{
    Set(u"WwanMbimVersionDowngrade", Dword(3));
    Set(u"WWANCIDBufferTRACE", Dword(1));
    ReadFeatureConfiguration(Device());
    EXPECT_EQ(3u, Context()->WwanMbimVersionDowngrade);
    EXPECT_TRUE(Context()->MbimTraceEnabled);
    Set(u"WWANCIDBufferTRACE", Dword(2));
    ReadFeatureConfiguration(Device());
    EXPECT_FALSE(Context()->MbimTraceEnabled);
}

TEST_F(RegistryConfigTest, DumpGettersBringTheirBitInLine)
{
    struct Case {
        const char* name;
        BOOLEAN (*getter)(WDFDEVICE);
        LONG bit;
    };
    const Case cases[] = {{"WWANCDConfig", GetFullRAMDumpConfig, MBB_DUMP_FLAG_FULL_RAM},
                          {"WWANMiniConfig", GetMiniDumpConfig, MBB_DUMP_FLAG_MINI}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::u16string name(c.name, c.name + strlen(c.name));
        WriteRelease(&DumpFlags, 0x10);
        Set(name, Dword(1));
        EXPECT_TRUE(c.getter(Device()));
        EXPECT_EQ(0x10 | c.bit, ReadAcquire(&DumpFlags));
        EXPECT_TRUE(IsAnyDumpConfigEnabled());
        Set(name, Dword(2));
        EXPECT_FALSE(c.getter(Device()));
        EXPECT_EQ(0x10, ReadAcquire(&DumpFlags));
        Set(name, Dword(1));
        c.getter(Device());
        ASSERT_EQ(STATUS_SUCCESS, host::RegistryDeleteTree(DriverKey()));
        EXPECT_FALSE(c.getter(Device()));
        EXPECT_EQ(0x10, ReadAcquire(&DumpFlags));
    }
    WriteRelease(&DumpFlags, 0);
    EXPECT_FALSE(IsAnyDumpConfigEnabled());
}

// Devices and the IOCTL path bring their own bits in line at once; one never undoes the other's
// (a plain read-modify-write also shows under TSan).
TEST_F(RegistryConfigTest, DumpGettersOnSeveralThreadsKeepEachOthersBits)
{
    Set(u"WWANCDConfig", Dword(1));
    Set(u"WWANMiniConfig", Dword(2));
    WriteRelease(&DumpFlags, MBB_DUMP_FLAG_MINI);
    HANDLE full = hosttest::StartThread([] {
        for (int i = 0; i < 200; i++)
            GetFullRAMDumpConfig(Device());
    });
    HANDLE mini = hosttest::StartThread([] {
        for (int i = 0; i < 200; i++)
            GetMiniDumpConfig(Device());
    });
    hosttest::JoinThread(full);
    hosttest::JoinThread(mini);
    EXPECT_EQ(MBB_DUMP_FLAG_FULL_RAM, ReadAcquire(&DumpFlags));
    ASSERT_EQ(STATUS_SUCCESS, host::RegistryDeleteTree(DriverKey()));
}

TEST_F(RegistryConfigTest, AerDisableUrOnlyForOne)
{
    Set(u"WWANAerDisableUR", Dword(1));
    EXPECT_TRUE(GetWWANAerDisableUR(Device()));
    Set(u"WWANAerDisableUR", Dword(5));
    EXPECT_FALSE(GetWWANAerDisableUR(Device()));
}

TEST_F(RegistryConfigTest, WriterUpdatesAnExistingValueAndNeverCreatesOne)
{
    EXPECT_FALSE(NT_SUCCESS(WriteDriverKeyULong(Device(), u"WWANCDConfig", 1)));
    EXPECT_FALSE(host::RegistryGetValue(DriverKey(), u"WWANCDConfig").has_value());

    Set(u"WWANCDConfig", Dword(0));
    EXPECT_EQ(STATUS_SUCCESS, WriteDriverKeyULong(Device(), u"WWANCDConfig", 1));
    EXPECT_EQ(1u, hosttest::RegistryDword(DriverKey(), u"WWANCDConfig"));
}

// ---- status values under the service keys

class StatusValueTest : public ::testing::Test
{
  protected:
    void TearDown() override { host::SystemRoutineSetPresent("RtlQueryRegistryValuesEx", true); }
};

TEST_F(StatusValueTest, FlashingRequestedOnlyForDwordOne)
{
    struct Case {
        const char* what;
        std::optional<Stored> stored;
        BOOLEAN expected;
    };
    const Case cases[] = {
        {"dword 1", Dword(1), TRUE},
        {"dword 2", Dword(2), FALSE},
        {"string 1", Text(u"1"), FALSE},
        {"missing key", Missing(), FALSE},
    };
    for (bool ex : {true, false}) {
        host::SystemRoutineSetPresent("RtlQueryRegistryValuesEx", ex);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (ex ? " (Ex)" : ""));
            host::RegistryDeleteTree(MBB_FLASH_SERVICE_KEY);
            host::RegistryDeleteTree(MBB_DUMP_SERVICE_KEY);
            Put(MBB_FLASH_SERVICE_KEY, u"FlashingStatus", c.stored);
            Put(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus", c.stored);
            EXPECT_EQ(c.expected, IsFlashingRequested());
            EXPECT_EQ(c.expected, IsRAMDumpRequested());
        }
    }
}

TEST_F(StatusValueTest, WritersStoreDwordsInTheInstalledKeys)
{
    EXPECT_FALSE(NT_SUCCESS(SetRAMDumpStatus(1))); // the installation makes the keys, the driver does not
    for (std::u16string_view key : {MBB_FLASH_SERVICE_KEY, MBB_DUMP_SERVICE_KEY, MBB_TOOL_SERVICE_KEY})
        ASSERT_EQ(STATUS_SUCCESS, host::RegistryCreateKey(key));
    ClearFlashingStatus();
    EXPECT_EQ(0u, hosttest::RegistryDword(MBB_FLASH_SERVICE_KEY, u"FlashingStatus"));
    EXPECT_EQ(STATUS_SUCCESS, SetRAMDumpStatus(1));
    EXPECT_EQ(1u, hosttest::RegistryDword(MBB_DUMP_SERVICE_KEY, u"RAMDumpStatus"));
    EXPECT_EQ(STATUS_SUCCESS, SetMiniDumpStatus(1));
    EXPECT_EQ(1u, hosttest::RegistryDword(MBB_TOOL_SERVICE_KEY, u"MiniDumpStatus"));
    EXPECT_TRUE(IsRAMDumpRequested());
}

TEST_F(StatusValueTest, FlashServiceParameterIsAFourByteValue)
{
    ULONG value = 0;
    EXPECT_FALSE(NT_SUCCESS(ReadFlashServiceParameter(u"WWANFlexRat", &value)));
    Put(MBB_FLASH_PARAMETERS_KEY, u"WWANFlexRat", Dword(2));
    EXPECT_EQ(STATUS_SUCCESS, ReadFlashServiceParameter(u"WWANFlexRat", &value));
    EXPECT_EQ(2u, value);
    Put(MBB_FLASH_PARAMETERS_KEY, u"WWANFlexRat", Qword(1));
    EXPECT_FALSE(NT_SUCCESS(ReadFlashServiceParameter(u"WWANFlexRat", &value)));
    EXPECT_FALSE(NT_SUCCESS(ReadFlashServiceParameter(u"NoSuchValue", &value)));

    host::PoolFailTag(MBB_REGISTRY_TAG, host::kFailAlways);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ReadFlashServiceParameter(u"WWANFlexRat", &value));
    host::PoolFailTagClear(MBB_REGISTRY_TAG);
}

// ---- the multi-device guard

TEST(DeviceCountTest, ConcurrentDevicesNeverLoseACountAndNeverGoBelowZero)
{
    DRIVER_CONTEXT_MBB context = {};
    EXPECT_EQ(0u, MbbDeviceCountRelease(&context));
    auto onThreads = [](const std::function<void()>& body) {
        std::vector<HANDLE> threads;
        for (int t = 0; t < 4; t++)
            threads.push_back(hosttest::StartThread(body));
        for (HANDLE thread : threads)
            hosttest::JoinThread(thread);
    };
    onThreads([&context] {
        for (int i = 0; i < 1000; i++)
            MbbDeviceCountAdd(&context);
    });
    EXPECT_EQ(4000, ReadAcquire(&context.DeviceCount));
    onThreads([&context] {
        for (int i = 0; i < 1100; i++)
            MbbDeviceCountRelease(&context);
    });
    EXPECT_EQ(0, ReadAcquire(&context.DeviceCount));
}

} // namespace
