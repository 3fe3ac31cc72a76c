// The Win32 view of the registry over the shared hive: keys, values and their size protocol, RegGetValue's
// restrictions, enumeration, errors, and change notifications from either view.
#include <gtest/gtest.h>

#include <windows.h>

#include <host/host.h>
#include <host/registry.h>
#include <wdm.h>

#include "host_test.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr char16_t kFilterPath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\WwanUpdateConfig\\Brennick";
constexpr char kFilterKey[] = "SYSTEM\\CurrentControlSet\\Control\\WwanUpdateConfig\\Brennick\\";

class Win32Registry : public testing::Test {
protected:
    void SetUp() override { host::RegistryClear(); }
    void TearDown() override { host::RegistryClear(); }
};

TEST_F(Win32Registry, CreateOpensOrMakesThePathAndKernelAndUserSeeOneHive)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kFilterKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &key, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    const char version[] = "1.0.2.3";
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "QuenmarkVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                                            sizeof(version)));
    // Stored as UTF-16 whichever form wrote it, as the kernel view reads it.
    auto stored = host::RegistryGetValue(kFilterPath, u"QuenmarkVersion");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(static_cast<ULONG>(REG_SZ), stored->type);
    EXPECT_EQ(std::u16string(u"1.0.2.3", 8), std::u16string(reinterpret_cast<const char16_t*>(stored->data.data()),
                                                             stored->data.size() / 2));
    HKEY again = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\WwanUpdateConfig\\Brennick",
                                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    EXPECT_NE(key, again);

    // A key handle is a kernel key handle.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Written");
    ULONG one = 1;
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(reinterpret_cast<HANDLE>(again), &name, 0, REG_DWORD, &one, sizeof(one)));
    DWORD read = 0;
    DWORD size = sizeof(read);
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Written", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size));
    EXPECT_EQ(1u, read);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(again));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
}

TEST_F(Win32Registry, QueryValueSizeProtocolInBothForms)
{
    host::RegistrySetString(kFilterPath, u"QuenmarkVersion", u"ver");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFilterKey, 0, KEY_READ, &key));

    DWORD size = 0;
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"QuenmarkVersion", nullptr, &type, nullptr, &size));
    EXPECT_EQ(8u, size); // UTF-16 with its terminator, as stored
    char16_t wide[8] = {};
    size = 6;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, u"QuenmarkVersion", nullptr, &type, reinterpret_cast<BYTE*>(wide), &size));
    EXPECT_EQ(8u, size);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"QuenmarkVersion", nullptr, nullptr, reinterpret_cast<BYTE*>(wide), &size));
    EXPECT_EQ(std::u16string(u"ver"), wide);

    char narrow[2048] = {};
    size = sizeof(narrow);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "QuenmarkVersion", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size));
    EXPECT_EQ(4u, size);
    EXPECT_STREQ("ver", narrow);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "QuenmarkUninstall", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(key, "QuenmarkVersion", nullptr, nullptr, reinterpret_cast<BYTE*>(narrow), nullptr));
    // The handle was opened for reading only.
    DWORD value = 1;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(key, "X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), sizeof(value)));
    RegCloseKey(key);
}

TEST_F(Win32Registry, GetValueRestrictsTypesAndTerminatesStrings)
{
    host::RegistrySetValue(kFilterPath, u"Unterminated", REG_SZ, u"abc", 6);
    host::RegistrySetDword(kFilterPath, u"Dword", 7);
    host::RegistrySetString(kFilterPath, u"Path", u"%SystemRoot%\\x", REG_EXPAND_SZ);
    SetEnvironmentVariableW(u"SystemRoot", u"C:\\Windows");

    DWORD size = 0;
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, kFilterKey, "Unterminated", RRF_RT_REG_SZ, &type, nullptr, &size));
    EXPECT_EQ(4u, size); // room for the terminator the stored text lacks
    char text[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, kFilterKey, "Unterminated", RRF_RT_REG_SZ, &type, text, &size));
    EXPECT_STREQ("abc", text);
    char16_t small[2];
    size = sizeof(small);
    EXPECT_EQ(ERROR_MORE_DATA, RegGetValueW(HKEY_LOCAL_MACHINE, kFilterPath + 18, u"Unterminated", RRF_RT_ANY, nullptr, small, &size));
    EXPECT_EQ(8u, size);

    DWORD value = 0;
    size = sizeof(value);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, kFilterKey, "Dword", RRF_RT_DWORD, &type, &value, &size));
    EXPECT_EQ(7u, value);
    value = 0xFFFF;
    size = sizeof(value);
    EXPECT_EQ(ERROR_UNSUPPORTED_TYPE, RegGetValueA(HKEY_LOCAL_MACHINE, kFilterKey, "Dword", RRF_RT_REG_SZ | RRF_ZEROONFAILURE,
                                                   &type, &value, &size));
    EXPECT_EQ(0u, value);

    char16_t expanded[64];
    size = sizeof(expanded);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, kFilterPath + 18, u"Path", RRF_RT_REG_SZ, &type, expanded, &size));
    EXPECT_EQ(std::u16string(u"C:\\Windows\\x"), expanded);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    size = sizeof(expanded);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, kFilterPath + 18, u"Path", RRF_RT_ANY | RRF_NOEXPAND, &type,
                                          expanded, &size));
    EXPECT_EQ(std::u16string(u"%SystemRoot%\\x"), expanded);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegGetValueW(HKEY_LOCAL_MACHINE, nullptr, u"Path", RRF_RT_REG_EXPAND_SZ, nullptr,
                                                    nullptr, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\Missing", "Dword", RRF_RT_ANY, nullptr,
                                                 nullptr, nullptr));
    SetEnvironmentVariableW(u"SystemRoot", nullptr);
}

TEST_F(Win32Registry, KeyValueEnumerationAndDeletion)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kFilterKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    DWORD one = 1;
    // RegSetKeyValue makes the subkey it writes to.
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueA(key, "BrennickPowerResume", nullptr, REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueA(key, "BrennickCellular", nullptr, REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"QuenmarkUninstall", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof(one)));
    EXPECT_TRUE(host::RegistryGetValue(std::u16string(kFilterPath) + u"\\BrennickCellular", u"").has_value());

    char name[32];
    DWORD count = sizeof(name);
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExA(key, 1, name, &count, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("BrennickCellular", name);
    EXPECT_EQ(16u, count);
    count = 16; // no room for the terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(key, 1, name, &count, nullptr, nullptr, nullptr, nullptr));
    count = sizeof(name);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(key, 2, name, &count, nullptr, nullptr, nullptr, nullptr));

    char16_t valueName[32];
    count = 32;
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(key, 0, valueName, &count, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ(std::u16string(u"QuenmarkUninstall"), valueName);
    count = 32;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueW(key, 1, valueName, &count, nullptr, nullptr, nullptr, nullptr));

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "QuenmarkUninstall"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, "QuenmarkUninstall"));
    HKEY child = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, "BrennickCellular", 0, KEY_READ, &child));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, "BrennickCellular"));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(child, "", nullptr, nullptr, nullptr, &size));
    RegCloseKey(child);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyExA(key, "BrennickCellular", KEY_WOW64_64KEY, 0));
    RegCloseKey(key);
    // A key with subkeys is not deleted.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\WwanUpdateConfig"));
}

TEST_F(Win32Registry, MalformedPathsAndHandlesGetClearErrors)
{
    HKEY key = reinterpret_cast<HKEY>(1);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    struct Case {
        const char* name;
        HKEY base;
        const char16_t* path;
        LSTATUS error;
    };
    const Case cases[] = {
        {"missing key", HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nothing", ERROR_FILE_NOT_FOUND},
        {"leading backslash", HKEY_LOCAL_MACHINE, u"\\SOFTWARE", ERROR_BAD_PATHNAME},
        {"empty component", HKEY_LOCAL_MACHINE, u"SOFTWARE\\\\X", ERROR_INVALID_NAME},
        {"not a key handle", reinterpret_cast<HKEY>(event), u"SOFTWARE", ERROR_INVALID_HANDLE},
        {"closed handle", reinterpret_cast<HKEY>(0x7ff0), u"SOFTWARE", ERROR_INVALID_HANDLE},
        {"unemulated root", HKEY_CURRENT_USER, u"Software", ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.error, RegOpenKeyExW(c.base, c.path, 0, KEY_READ, &key));
        EXPECT_EQ(nullptr, key);
    }
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(reinterpret_cast<HKEY>(event)));
    CloseHandle(event);
}

TEST_F(Win32Registry, NotificationsAreSelectedByFilterAndDepthFromEitherView)
{
    const std::u16string filter = kFilterPath;
    const std::u16string deep = filter + u"\\Deep\\Deeper";
    struct Case {
        const char* name;
        BOOL subtree;
        DWORD filter;
        std::function<void()> change;
        bool fires;
    };
    const Case cases[] = {
        {"value in the key", FALSE, REG_NOTIFY_CHANGE_LAST_SET, [&] { host::RegistrySetDword(filter, u"V", 1); }, true},
        {"value, names only", FALSE, REG_NOTIFY_CHANGE_NAME, [&] { host::RegistrySetDword(filter, u"V", 2); }, false},
        {"value below", FALSE, REG_NOTIFY_CHANGE_LAST_SET, [&] { host::RegistrySetDword(deep, u"V", 1); }, false},
        {"value below, subtree", TRUE, REG_NOTIFY_CHANGE_LAST_SET, [&] { host::RegistrySetDword(deep, u"V", 2); }, true},
        {"subkey made", FALSE, REG_NOTIFY_CHANGE_NAME, [&] { host::RegistryCreateKey(filter + u"\\New"); }, true},
        {"grandchild made", FALSE, REG_NOTIFY_CHANGE_NAME, [&] { host::RegistryCreateKey(deep + u"\\G"); }, false},
        {"grandchild made, subtree", TRUE, REG_NOTIFY_CHANGE_NAME, [&] { host::RegistryCreateKey(deep + u"\\H"); }, true},
        {"value written by the kernel", FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
         [&] {
             ULONG one = 1;
             EXPECT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, filter.c_str(), u"K", REG_DWORD, &one,
                                                             sizeof(one)));
         },
         true},
        {"the key deleted", FALSE, REG_NOTIFY_CHANGE_LAST_SET, [&] { host::RegistryDeleteTree(filter); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::RegistryCreateKey(deep);
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFilterKey, 0, KEY_ALL_ACCESS, &key));
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(key, c.subtree, c.filter, event, TRUE));
        c.change();
        EXPECT_EQ(c.fires ? WAIT_OBJECT_0 : static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
        if (c.fires) {
            c.change(); // one-shot: a second change says nothing
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
        }
        RegCloseKey(key);
        CloseHandle(event);
    }
}

TEST_F(Win32Registry, NotificationEndsWithTheKeyAndWaitsWhenSynchronous)
{
    host::RegistryCreateKey(kFilterPath);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFilterKey, 0, KEY_ALL_ACCESS, &key));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME, nullptr, TRUE));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegNotifyChangeKeyValue(key, FALSE, 0, event, TRUE));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME, key, TRUE));
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_NAME, event, TRUE));
    RegCloseKey(key);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));

    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFilterKey, 0, KEY_ALL_ACCESS, &key));
    HANDLE writer = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            Sleep(40);
            DWORD one = 1;
            return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kFilterPath + 18, u"QuenmarkUninstall", REG_DWORD, &one, sizeof(one));
        },
        nullptr, 0, nullptr);
    LONGLONG start = host::ClockNow();
    EXPECT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE));
    EXPECT_EQ(40 * 10000, host::ClockNow() - start);
    WaitForSingleObject(writer, INFINITE);
    CloseHandle(writer);
    RegCloseKey(key);
    CloseHandle(event);
}

} // namespace
