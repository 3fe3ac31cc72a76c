// Registry callbacks and the control-set link: every value set, from either view, reaches a registered
// callback on the writer's thread with the key's ControlSet001 name.
#include <gtest/gtest.h>

#include <windows.h>

#include <host/registry.h>
#include <wdm.h>

#include <string>
#include <vector>

namespace
{

struct Seen {
    std::vector<std::u16string> keys;
    int calls = 0;
};

NTSTATUS Record(PVOID context, PVOID notifyClass, PVOID argument)
{
    auto* seen = static_cast<Seen*>(context);
    seen->calls++;
    EXPECT_EQ(RegNtPostSetValueKey, REG_NOTIFY_CLASS(reinterpret_cast<ULONG_PTR>(notifyClass)));
    auto* info = static_cast<PREG_POST_OPERATION_INFORMATION>(argument);
    EXPECT_EQ(STATUS_SUCCESS, info->Status);
    PCUNICODE_STRING name = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, CmCallbackGetKeyObjectIDEx(nullptr, info->Object, nullptr, &name, 0));
    seen->keys.emplace_back(name->Buffer, name->Length / sizeof(WCHAR));
    CmCallbackReleaseKeyObjectIDEx(name);
    return STATUS_SUCCESS;
}

UNICODE_STRING Altitude(PCWSTR text)
{
    UNICODE_STRING altitude;
    RtlInitUnicodeString(&altitude, text);
    return altitude;
}

TEST(RegistryCallback, EveryValueSetFromEitherViewReachesItWithTheControlSetsOwnName)
{
    Seen seen;
    LARGE_INTEGER cookie{};
    UNICODE_STRING altitude = Altitude(u"NDIS");
    ASSERT_EQ(STATUS_SUCCESS, CmRegisterCallbackEx(Record, &altitude, nullptr, &seen, &cookie, nullptr));
    Seen other;
    LARGE_INTEGER otherCookie{};
    EXPECT_EQ(STATUS_FLT_INSTANCE_ALTITUDE_COLLISION,
              CmRegisterCallbackEx(Record, &altitude, nullptr, &other, &otherCookie, nullptr));

    ULONG one = 1;
    WCHAR path[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Cb";
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, path));
    EXPECT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, u"A", REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Cb\\Sub", nullptr,
                                             REG_DWORD, &one, sizeof(one)));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001\\Control\\Cb", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "B", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one)));
    RegCloseKey(key);
    // Both names reach one key.
    EXPECT_TRUE(host::RegistryGetValue(u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Control\\Cb", u"A").has_value());

    std::vector<std::u16string> expected = {
        u"\\REGISTRY\\MACHINE\\System\\ControlSet001\\Control\\Cb",
        u"\\REGISTRY\\MACHINE\\System\\ControlSet001\\Control\\Cb\\Sub",
        u"\\REGISTRY\\MACHINE\\System\\ControlSet001\\Control\\Cb",
    };
    ASSERT_EQ(expected.size(), seen.keys.size());
    for (size_t i = 0; i < expected.size(); i++) {
        UNICODE_STRING a;
        UNICODE_STRING b;
        RtlInitUnicodeString(&a, expected[i].c_str());
        RtlInitUnicodeString(&b, seen.keys[i].c_str());
        EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE)) << i;
    }
    EXPECT_EQ(0, other.calls);

    EXPECT_EQ(STATUS_SUCCESS, CmUnRegisterCallback(cookie));
    EXPECT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, u"C", REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(3, seen.calls);
    // The altitude is free again.
    EXPECT_EQ(STATUS_SUCCESS, CmRegisterCallbackEx(Record, &altitude, nullptr, &other, &otherCookie, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, CmUnRegisterCallback(otherCookie));
}

} // namespace
