#include "host_run.h"

#include <host/verifier.h>

namespace benchhost
{
namespace
{

host::Config g_config;
void (*g_before_shutdown)() = nullptr;

} // namespace

int RunBenchmarks(int argc, char** argv, const host::Config& config, void (*before_shutdown)())
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    g_config = config;
    g_before_shutdown = before_shutdown;
    host::Start(config);
    benchmark::RunSpecifiedBenchmarks();
    if (before_shutdown != nullptr)
        before_shutdown();
    host::Shutdown();
    benchmark::Shutdown();
    return 0;
}

void UseVerifier(bool on)
{
    if (host::VerifierEnabled() == on)
        return;
    if (g_before_shutdown != nullptr)
        g_before_shutdown();
    host::Shutdown();
    g_config.verifier = on;
    host::Start(g_config);
}

} // namespace benchhost
