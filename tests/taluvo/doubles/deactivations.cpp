#include "deactivations.h"

#include <mutex>

namespace
{

std::mutex g_lock;
std::vector<PLIST_ENTRY> g_lists;

} // namespace

std::vector<PLIST_ENTRY> doubles::DeactivatedLists()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lists;
}

void doubles::ClearDeactivatedLists()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_lists.clear();
}

extern "C" int __wrap_IpcDeactivateAllDevices(PLIST_ENTRY List)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_lists.push_back(List);
    return 0;
}
