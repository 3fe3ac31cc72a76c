// Process-wide queries (module path, environment, current directory) and library entry points in
// import order.
#include <gtest/gtest.h>

#include <windows.h>

#include <host/process.h>

#include <string>
#include <vector>

namespace {

class Win32Process : public testing::Test {
protected:
    void SetUp() override
    {
        process_ = host::ProcessCreate(u"C:\\Program Files\\Brennick\\BrennickSvc.exe");
        host::SetCurrentProcess(process_);
    }
    void TearDown() override { host::SetCurrentProcess(nullptr); }
    std::shared_ptr<host::Process> process_;
};

TEST_F(Win32Process, ModuleFileNameTruncatesAndSaysSo)
{
    const std::string path = "C:\\Program Files\\Brennick\\BrennickSvc.exe";
    char buffer[MAX_PATH];
    EXPECT_EQ(path.size(), GetModuleFileNameA(nullptr, buffer, MAX_PATH));
    EXPECT_EQ(path, buffer);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(10u, GetModuleFileNameA(GetModuleHandleA(nullptr), buffer, 10));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(path.substr(0, 9), buffer);
    char16_t wide[MAX_PATH];
    EXPECT_EQ(path.size(), GetModuleFileNameW(nullptr, wide, MAX_PATH));
    EXPECT_EQ(u"C:\\Program Files\\Brennick\\BrennickSvc.exe", std::u16string(wide));
    EXPECT_EQ(0u, GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1234), wide, MAX_PATH));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    EXPECT_EQ(process_->id, GetCurrentProcessId());
    EXPECT_EQ(reinterpret_cast<HANDLE>(-1), GetCurrentProcess());
}

TEST_F(Win32Process, EnvironmentVariablesWithTheSizeProtocol)
{
    EXPECT_EQ(0u, GetEnvironmentVariableW(u"WWAN_MODE", nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND), GetLastError());
    EXPECT_TRUE(SetEnvironmentVariableA("WWAN_MODE", "normal"));
    char small[4];
    EXPECT_EQ(7u, GetEnvironmentVariableA("wwan_mode", small, sizeof(small))); // names ignore case
    EXPECT_EQ(7u, GetEnvironmentVariableA("WWAN_MODE", nullptr, 0));
    char16_t value[16];
    EXPECT_EQ(6u, GetEnvironmentVariableW(u"WWAN_MODE", value, 16));
    EXPECT_EQ(u"normal", std::u16string(value));
    char16_t expanded[32];
    EXPECT_EQ(14u, ExpandEnvironmentStringsW(u"%WWAN_MODE%-%NONE%", expanded, 32));
    EXPECT_EQ(u"normal-%NONE%", std::u16string(expanded));
    EXPECT_TRUE(SetEnvironmentVariableW(u"WWAN_MODE", nullptr));
    EXPECT_EQ(0u, GetEnvironmentVariableW(u"WWAN_MODE", value, 16));
    EXPECT_FALSE(SetEnvironmentVariableW(u"A=B", u"x"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(Win32Process, CurrentDirectoryIsCheckedForSyntaxAndStored)
{
    char buffer[MAX_PATH];
    EXPECT_EQ(25u, GetCurrentDirectoryA(MAX_PATH, buffer));
    EXPECT_STREQ("C:\\Program Files\\Brennick", buffer);
    struct Case {
        const char16_t* set;
        const char16_t* result; // null: refused
        DWORD error;
    };
    const Case cases[] = {
        {u"D:\\Data\\", u"D:\\Data", 0},
        {u"sub/dir", u"D:\\Data\\sub\\dir", 0},
        {u"\\Root", u"D:\\Root", 0},
        {u"C:\\", u"C:\\", 0},
        {u"C:\\bad|name", nullptr, ERROR_INVALID_NAME},
        {u"", nullptr, ERROR_INVALID_NAME},
        {u"x:y", nullptr, ERROR_INVALID_NAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.set, c.set + std::u16string_view(c.set).size()));
        std::u16string before = process_->currentDirectory;
        EXPECT_EQ(c.result != nullptr, SetCurrentDirectoryW(c.set) != FALSE);
        if (c.result == nullptr) {
            EXPECT_EQ(c.error, GetLastError());
        }
        EXPECT_EQ(c.result != nullptr ? std::u16string(c.result) : before, process_->currentDirectory);
    }
    char tiny[3];
    EXPECT_EQ(4u, GetCurrentDirectoryA(sizeof(tiny), tiny)); // "C:\" needs four
}

std::vector<std::string>* g_log;

template <int N>
BOOL WINAPI Entry(HMODULE module, DWORD reason, LPVOID reserved)
{
    static const char* const kNames[] = {"base", "lib", "failing"};
    g_log->push_back(std::string(kNames[N]) + (reason == DLL_PROCESS_ATTACH ? " attach" : " detach") +
                     (reserved != nullptr ? " (process)" : ""));
    char path[MAX_PATH];
    EXPECT_NE(0u, GetModuleFileNameA(module, path, MAX_PATH)); // the loader lock is re-entrant
    return N != 2 || reason != DLL_PROCESS_ATTACH;
}

TEST_F(Win32Process, LibrariesAttachAfterTheirImportsAndDetachBefore)
{
    std::vector<std::string> log;
    g_log = &log;
    HMODULE base = host::LibraryRegister(u"C:\\Windows\\System32\\base.dll", Entry<0>);
    HMODULE lib = host::LibraryRegister(u"C:\\Windows\\System32\\drivers\\UMDF\\Sorvanta.dll", Entry<1>, {base});
    HMODULE failing = host::LibraryRegister(u"C:\\x\\failing.dll", Entry<2>, {base});

    EXPECT_EQ(nullptr, GetModuleHandleW(u"sorvanta.dll")); // not loaded in this process yet
    EXPECT_TRUE(host::LibraryAttach(lib));
    EXPECT_EQ(lib, GetModuleHandleW(u"sorvanta.dll"));
    char16_t path[MAX_PATH];
    GetModuleFileNameW(lib, path, MAX_PATH);
    EXPECT_EQ(u"C:\\Windows\\System32\\drivers\\UMDF\\Sorvanta.dll", std::u16string(path));

    EXPECT_FALSE(host::LibraryAttach(failing));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DLL_INIT_FAILED), GetLastError());
    host::LibraryDetach(lib, true);
    EXPECT_EQ((std::vector<std::string>{"base attach", "lib attach", "failing attach", "failing detach",
                                        "lib detach (process)", "base detach (process)"}),
              log);
    g_log = nullptr;
}

} // namespace
