#include "modem_events.h"

#include <mutex>

namespace
{

std::mutex g_lock;

} // namespace

std::vector<std::string>& doubles::Indications()
{
    static std::vector<std::string> indications;
    return indications;
}

std::vector<std::string> doubles::IndicationsCopy()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return Indications();
}

extern "C" void __wrap_IpcNetlinkIndicate(const char* Text, int Length)
{
    std::lock_guard<std::mutex> hold(g_lock);
    doubles::Indications().emplace_back(Text, Length > 0 ? static_cast<size_t>(Length - 1) : 0);
}
