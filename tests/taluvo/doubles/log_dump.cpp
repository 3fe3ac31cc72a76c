#include "log_dump.h"

#include <atomic>

namespace
{

std::atomic<BOOLEAN> g_log_dump{FALSE};

} // namespace

void doubles::SetLogDump(BOOLEAN on)
{
    g_log_dump = on;
}

extern "C" BOOLEAN __wrap_IpcMDLogDump(void)
{
    return g_log_dump;
}
