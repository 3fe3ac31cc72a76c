// What the service's tests share: the service's process and files, the filter key in both registry
// views, the log's messages and the host time that lets the service's threads settle.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <host/files.h>
#include <host/mbn.h>
#include <host/process.h>
#include <host/registry.h>
#include <host_test.h>

#include "brennick_doubles.h"
#include "zip_fixture.h"

#include <algorithm>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace brennicktest {

inline constexpr char16_t kImagePath[] = u"C:\\Brennick\\Brennick.exe";
inline constexpr const char* kLogPath = "C:\\Brennick\\Brennick.log";
// The filter key as the kernel (the filter) names it.
inline constexpr char16_t kFilterKernelKey[] =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\WwanUpdateConfig\\Brennick";
inline constexpr LONGLONG kMs = 10'000; // host time units per millisecond

// The log's messages in order, without their "pid MM-DD hh:mm:ss:mmm : " prefixes; each message's own
// line ends stay in it.
inline std::vector<std::string> LogMessages()
{
    static const std::regex prefix(R"(^\d+ \d\d-\d\d \d\d:\d\d:\d\d:\d\d\d : )");
    std::string text = ziptest::ReadFileText(kLogPath);
    std::vector<std::string> messages;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 2;
        std::smatch match;
        if (std::regex_search(line, match, prefix))
            messages.push_back(match.suffix());
        else if (!messages.empty()) // a line end inside the message
            messages.back() += "\n" + line;
    }
    return messages;
}

inline size_t LogCount(const std::string& message)
{
    auto messages = LogMessages();
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

inline bool LogHas(const std::string& message) { return LogCount(message) > 0; }

// The default value of a subkey of the filter key.
inline std::optional<ULONG> FilterSubkeyValue(const char16_t* subkey)
{
    return hosttest::RegistryDword(std::u16string(kFilterKernelKey) + u"\\" + subkey, u"");
}

// Host time passes until `done` holds (at most `limit` ms of it).
inline bool Settle(const std::function<bool()>& done, LONGLONG limitMs = 60'000)
{
    return hosttest::WaitUntil(done, limitMs * kMs, 10 * kMs);
}

// Lets `ms` of host time pass.
inline void Pass(LONGLONG ms)
{
    hosttest::WaitUntil([] { return false; }, ms * kMs, 10 * kMs);
}

// An interface present before the service looks: its arrival is delivered (to no sink yet) first, so
// that it cannot reach a sink advised later.
inline void AddInterfaceBeforeStart(std::u16string_view id, MBN_RADIO software)
{
    host::MbnAddInterface(id, software, MBN_RADIO_OFF);
    EXPECT_TRUE(Settle([] { return host::MbnEventsDelivered(); }));
}

// A sandbox with the service's directory and the filter key, the calling thread in the service's
// process.
class ServiceFiles : public testing::Test
{
  protected:
    void SetUp() override
    {
        process_ = host::ProcessCreate(kImagePath);
        host::SetCurrentProcess(process_);
        CreateDirectoryA("C:\\Brennick", nullptr);
        host::RegistryCreateKey(kFilterKernelKey);
    }
    void TearDown() override
    {
        Settle([] { return host::MbnEventsDelivered(); });
        host::SetCurrentProcess(nullptr);
    }

    host::FilesTemporarySandbox sandbox_;
    std::shared_ptr<host::Process> process_;
};

} // namespace brennicktest
