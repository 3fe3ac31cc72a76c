#include "core_start.h"

#include "pcie_device.h"

#include <mutex>

namespace
{

std::mutex g_nodes_lock;

u32 devt(u32 major, u32 minor)
{
    return (major << 16) | minor;
}

} // namespace

doubles::CcciCore& doubles::Core()
{
    static CcciCore core;
    return core;
}

extern "C" int __wrap_ccci_init(void)
{
    doubles::Core().inits++;
    return doubles::Core().init_result;
}

extern "C" void __wrap_ccci_uninit(void)
{
    doubles::Core().uninits++;
}

extern "C" int __wrap_ccci_md_init(struct mdm_pci_dev*)
{
    doubles::Core().md_inits++;
    return doubles::Core().md_init_result;
}

extern "C" int __wrap_ccci_md_uninit(struct mdm_pci_dev*)
{
    doubles::Core().md_uninits++;
    return 0;
}

extern "C" struct msix_vector* __wrap_ccci_irq_work_alloc(u32 count)
{
    auto* vectors = static_cast<struct msix_vector*>(win_zalloc(sizeof(struct msix_vector) * count, 0, MDM_PCI_TAG));
    for (u32 n = 0; vectors != nullptr && n < count; n++) {
        vectors[n].vector = n;
        vectors[n].handler = mdm_pcie_msix_vector_dispatch;
    }
    return vectors;
}

extern "C" bool __wrap_ccci_md_rgu_pending(const struct ccci_md*)
{
    return doubles::Core().rgu_pending;
}

extern "C" void __wrap_md_rgu_clear(struct mdm_pci_dev*)
{
    doubles::Core().rgu_clears++;
}

doubles::DeviceNodes& doubles::Nodes()
{
    static DeviceNodes nodes;
    return nodes;
}

extern "C" int __wrap_ccci_device_create(const char* name, u32 major, u32 minor, u32)
{
    std::lock_guard<std::mutex> hold(g_nodes_lock);
    doubles::Nodes().creates++;
    doubles::Nodes().nodes.emplace(devt(major, minor), name);
    return 0;
}

extern "C" int __wrap_ccci_device_destroy(u32 major, u32 minor, u32)
{
    std::lock_guard<std::mutex> hold(g_nodes_lock);
    doubles::DeviceNodes& nodes = doubles::Nodes();
    nodes.destroys++;
    auto node = nodes.nodes.find(devt(major, minor));
    if (node != nodes.nodes.end())
        nodes.nodes.erase(node);
    return 0;
}
