// Stand-ins for the service's routines that are not built yet: the filter installation check, the
// warning program's launch and the disabling of the modem devices. Each call is recorded as a trace
// line, so that tests see the calls also when the doubles live inside the service image.
#pragma once

#include <host/trace.h>

#include <string_view>

namespace brennicktest {

inline constexpr std::string_view kInstallationCheckCall = "double: CheckFilterInstallation";
inline constexpr std::string_view kWarningCall = "double: ShowUninstallWarningDiag";
inline constexpr std::string_view kDisableCall = "double: DisableTaluvoDriver";

// How often the double recorded `call`.
inline size_t DoubleCalls(std::string_view call)
{
    return host::TraceFind(call).size();
}

// The doubles' calls in order.
inline std::vector<std::string> DoubleCallSequence()
{
    std::vector<std::string> calls;
    for (const host::TraceLine& line : host::TraceFind("double: "))
        calls.push_back(line.text);
    return calls;
}

} // namespace brennicktest
