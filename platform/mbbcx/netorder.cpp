// Until the network-adapter class extension keeps its own record of NetDeviceInitConfig, a driver states
// it through host::MbbNoteNetDeviceInitConfig; the record is kept per physical device object, which
// outlives the init.
#include "mbbcx/netorder.h"

#include <host/mbb.h>

#include <mutex>
#include <set>

namespace mbbcx
{
namespace
{
std::mutex g_lock;
std::set<PDEVICE_OBJECT> g_configured;
} // namespace

bool NetDeviceInitConfigured(PWDFDEVICE_INIT DeviceInit)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_configured.erase(WdfFdoInitWdmGetPhysicalDevice(DeviceInit)) != 0;
}

} // namespace mbbcx

void host::MbbNoteNetDeviceInitConfig(PWDFDEVICE_INIT DeviceInit)
{
    std::lock_guard<std::mutex> guard(mbbcx::g_lock);
    mbbcx::g_configured.insert(WdfFdoInitWdmGetPhysicalDevice(DeviceInit));
}
