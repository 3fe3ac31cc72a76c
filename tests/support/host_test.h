// What tests use of the emulated host beyond the Windows interfaces: expecting verifier reports.
#pragma once

#include <host/verifier.h>
#include <windef.h>

#include <functional>
#include <optional>
#include <string_view>

namespace hosttest {

// While alive, reports of `check` are counted instead of failing the test; the test fails at the end
// of the scope if none arrived.
class ExpectReport {
public:
    explicit ExpectReport(host::Check check);
    ~ExpectReport();
    ExpectReport(const ExpectReport&) = delete;
    ExpectReport& operator=(const ExpectReport&) = delete;

    int Count() const;

private:
    host::Check check_;
};

// A Win32 thread (registered with the clock, so its waits are host waits) running `body`. JoinThread
// waits for it to end and closes its handle.
HANDLE StartThread(std::function<void()> body);
void JoinThread(HANDLE thread);

// Lets host time pass, `step` (100 ns units) at a time, until `done` holds or `limit` has passed;
// false when it never held.
bool WaitUntil(const std::function<bool()>& done, LONGLONG limit, LONGLONG step);

// A 4-byte REG_DWORD value of the emulated registry; none when missing or of another type or size.
std::optional<ULONG> RegistryDword(std::u16string_view key, std::u16string_view name);

// Installs the report handler that fails the running test (done by the test main).
void InstallReportHandler();

} // namespace hosttest
