#include "proxy_flags.h"

#include <atomic>

namespace
{

std::atomic<u32> g_open_flags{0};

} // namespace

void doubles::SetProxyOpenFlags(u32 flags)
{
    g_open_flags = flags;
}

extern "C" int __wrap_ccci_port_proxy_test_flag(u32, u32 bit)
{
    return bit < 32 ? (g_open_flags >> bit) & 1 : 0;
}
