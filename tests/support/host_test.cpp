#include "host_test.h"

#include <gtest/gtest.h>
#include <host/host.h>
#include <host/registry.h>
#include <windows.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace hosttest {
namespace {

struct Expectations {
    std::mutex lock;
    std::map<host::Check, int> scopes; // check -> live scopes expecting it
    std::map<host::Check, int> seen;
};

Expectations& State()
{
    static Expectations* state = new Expectations;
    return *state;
}

} // namespace

ExpectReport::ExpectReport(host::Check check) : check_(check)
{
    Expectations& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.scopes[check]++ == 0)
        state.seen[check] = 0;
}

ExpectReport::~ExpectReport()
{
    int seen;
    {
        Expectations& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        seen = state.seen[check_];
        state.scopes[check_]--;
    }
    if (seen == 0)
        ADD_FAILURE() << "expected a verifier report " << host::CheckName(check_) << ", none came";
}

int ExpectReport::Count() const
{
    Expectations& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.seen[check_];
}

HANDLE StartThread(std::function<void()> body)
{
    auto* owned = new std::function<void()>(std::move(body));
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID context) -> DWORD {
            std::unique_ptr<std::function<void()>> run(static_cast<std::function<void()>*>(context));
            (*run)();
            return 0;
        },
        owned, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    if (thread == nullptr)
        delete owned;
    return thread;
}

void JoinThread(HANDLE thread)
{
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
}

void InstallReportHandler()
{
    host::VerifierSetHandler([](const host::Report& report) {
        {
            Expectations& state = State();
            std::lock_guard<std::mutex> guard(state.lock);
            if (state.scopes[report.check] > 0) {
                state.seen[report.check]++;
                return;
            }
        }
        ADD_FAILURE() << "verifier: " << host::CheckName(report.check) << ": " << report.message;
    });
}

bool WaitUntil(const std::function<bool()>& done, LONGLONG limit, LONGLONG step)
{
    for (LONGLONG spent = 0; spent <= limit; spent += step) {
        if (done())
            return true;
        host::ClockAdvance(step);
    }
    return done();
}

std::optional<ULONG> RegistryDword(std::u16string_view key, std::u16string_view name)
{
    std::optional<host::RegistryValue> value = host::RegistryGetValue(key, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG))
        return std::nullopt;
    ULONG result;
    memcpy(&result, value->data.data(), sizeof(result));
    return result;
}

} // namespace hosttest
