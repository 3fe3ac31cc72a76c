#include "net_links.h"

#include <map>
#include <mutex>

namespace
{

std::mutex g_lock;
std::map<struct net_device*, IPC_LINK_RECORD> g_links;

} // namespace

doubles::NetLinks& doubles::NetLinksState()
{
    static NetLinks state;
    return state;
}

size_t doubles::NetLinkCount()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_links.size();
}

int IpcNetAdd(struct net_device* NetDevice)
{
    std::lock_guard<std::mutex> guard(g_lock);
    doubles::NetLinks& state = doubles::NetLinksState();
    state.calls.push_back(std::string("add ") + NetDevice->name);
    if (state.adds++ == state.fail_add_at)
        return state.add_error;
    IPC_LINK_RECORD& record = g_links[NetDevice];
    record = {255, (UCHAR)NetDevice->index, NetDevice};
    NetDevice->link_record = &record;
    return 0;
}

void IpcNetRemove(struct net_device* NetDevice)
{
    doubles::NetLinks& state = doubles::NetLinksState();
    if (state.on_remove)
        state.on_remove(NetDevice);
    std::lock_guard<std::mutex> guard(g_lock);
    state.calls.push_back(std::string("remove ") + NetDevice->name);
    g_links.erase(NetDevice);
    NetDevice->link_record = nullptr;
}
