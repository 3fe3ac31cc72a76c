// Host start and stop. (Minimal until the executive's threads exist.)
#include <host/host.h>

namespace host {
namespace {
Config g_config;
bool g_started = false;
} // namespace

void Start(const Config& config)
{
    g_config = config;
    g_started = true;
}

void Shutdown() { g_started = false; }
bool IsStarted() { return g_started; }
const Config& CurrentConfig() { return g_config; }

} // namespace host
