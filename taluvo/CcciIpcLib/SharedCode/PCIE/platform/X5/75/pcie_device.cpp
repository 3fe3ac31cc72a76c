// The chip's PCI bus driver: module start, probe and remove of the one modem function, and the
// interrupt chain from the ISR through the DPC to each source's owner and the interrupt work item.
#include "pcie_device.h"

#include "IpcContext.h"
#include "IpcPcie.h"
#include "ccci_core.h"
#include "mhccif.h"
#include "pcie_mac.h"
#include "pcie_pm.h"

#define PCIE_TAG "PCIE"

namespace
{

constexpr u32 kDeviceGeneric = 0x4D70;
constexpr u32 kDeviceModem = 0x4D75;

const struct mdm_irq_desc g_irq_desc = {"mdm_bus_driver", "mdm_pcie_irq", mdm_pcie_irq_handler};

const struct pci_device_id g_id_table[] = {
    {0x14C3, kDeviceModem, 0xFFFFFFFF, 0xFFFFFFFF, 0x0D4000, 0xFFFFFFFF, 0},
    {},
};

const struct dev_pm_ops g_pm_ops = {mdm_pci_pm_suspend, mdm_pci_pm_resume, mdm_pci_pm_resume_noirq};

struct pci_driver g_bus_driver = {"mdm_bus_driver", nullptr, &g_pm_ops, g_id_table, mdm_pci_probe, mdm_pci_remove};

bool g_module_started;
IPC_PCI_DEVICE* g_current;

// Masks a source that has pending status and hands it to its callback; one without a callback stays
// masked until its owner registers and unmasks it (unmasking it with its status still set would storm).
void dispatch_source(struct mdm_pci_dev* dev, u32 source)
{
    mdm_pcie_irq_mask(dev, source, true);
    ccci_dbg(PCIE_TAG, "irq source %u", source);
    if (dev->irq_cb[source] != nullptr)
        dev->irq_cb[source](dev->irq_cb_arg[source]);
    else
        ccci_warn(PCIE_TAG, "irq source %u has no callback, left masked", source);
}

void dispatch_group(struct mdm_pci_dev* dev, u32 source)
{
    mdm_pcie_mac_irq_mask(dev, source, true);
    mdm_irq_work_set(dev, source == MDM_IRQ_SRC_GROUP0 ? MDM_WORK_GROUP0 : MDM_WORK_GROUP1);
}

void record_low_bit(struct mdm_pci_dev* dev, u32 bit)
{
    mdm_pcie_mac_irq_status_clear(dev, bit);
    WdfSpinLockAcquire(dev->irq_lock);
    dev->low_status_bits |= 1u << bit;
    WdfSpinLockRelease(dev->irq_lock);
}

void unmap_resources(struct mdm_pci_dev* dev)
{
    for (u32 n = 0; n < MDM_MAX_BARS; n++) {
        if (dev->bar_va[n] != nullptr)
            MmUnmapIoSpace(dev->bar_va[n], dev->bar_len[n]);
        dev->bar_va[n] = nullptr;
    }
}

// Undoes a probe that did not finish: the record and every link to it go, so that a later remove
// finds nothing to do.
int probe_fail(IPC_PCI_DEVICE* pdev, struct mdm_pci_dev* dev)
{
    if (dev->pm_lock != nullptr)
        mdm_pci_pm_deinit(dev);
    if (dev->irq_work != nullptr)
        workitem_destroy(&dev->irq_work);
    if (dev->msix_vectors != nullptr)
        win_free(dev->msix_vectors, MDM_PCI_TAG);
    unmap_resources(dev);
    pdev->MdmDevice = nullptr;
    pdev->MdmDeviceLink = nullptr;
    g_current = nullptr;
    win_free(dev, MDM_PCI_TAG);
    return -1;
}

NTSTATUS map_memory(struct mdm_pci_dev* dev, u32 n, const CM_PARTIAL_RESOURCE_DESCRIPTOR* desc)
{
    PHYSICAL_ADDRESS start = desc->u.Memory.Start;
    auto* va = static_cast<u8*>(MmMapIoSpaceEx(start, desc->u.Memory.Length, PAGE_READWRITE | PAGE_NOCACHE));
    if (va == nullptr) {
        ccci_err(PCIE_TAG, "BAR %u map failed", n * 2);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    dev->bar_va[n] = va;
    dev->bar_pa[n] = static_cast<u64>(start.QuadPart);
    dev->bar_len[n] = desc->u.Memory.Length;
    if (n == 0)
        dev->mac_base = dev->mac = va;
    else if (n == 1)
        dev->bar2_base = va;
    else
        dev->bar4_base = va;
    ccci_info(PCIE_TAG, "BAR %u/%u pa 0x%llx len 0x%x", n * 2, n * 2 + 1, start.QuadPart, desc->u.Memory.Length);
    return STATUS_SUCCESS;
}

NTSTATUS create_interrupt(struct mdm_pci_dev* dev, PCM_PARTIAL_RESOURCE_DESCRIPTOR raw,
                          PCM_PARTIAL_RESOURCE_DESCRIPTOR translated)
{
    IPC_PCI_DEVICE* pdev = dev->pdev;
    if (dev->irq_count >= MDM_PCI_MAX_IRQS) {
        ccci_err(PCIE_TAG, "more than %d interrupts", MDM_PCI_MAX_IRQS);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    WDF_INTERRUPT_CONFIG config;
    WDF_INTERRUPT_CONFIG_INIT(&config, mdm_pcie_irq_isr, mdm_pcie_irq_dpc);
    config.InterruptRaw = raw;
    config.InterruptTranslated = translated;
    WDFINTERRUPT irq = nullptr;
    NTSTATUS status = WdfInterruptCreate(pdev->IpcContext->Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &irq);
    if (!NT_SUCCESS(status)) {
        ccci_err(PCIE_TAG, "interrupt %d create failed 0x%x", dev->irq_count, status);
        return status;
    }
    pdev->Interrupts[dev->irq_count] = irq;
    dev->irqs[dev->irq_count] = irq;
    dev->irq_info[dev->irq_count].vector = translated->u.Interrupt.Vector;
    dev->irq_info[dev->irq_count].message = static_cast<u16>(dev->irq_count);
    dev->irq_count++;
    return STATUS_SUCCESS;
}

void dump_msix_table(struct mdm_pci_dev* dev)
{
    for (s32 n = 0; n < dev->irq_count; n++)
        ccci_dbg(PCIE_TAG, "msix %d vector %u handler %s", n, dev->irq_info[n].vector, dev->irq_desc->irq_name);
}

NTSTATUS mdm_pci_map_resources(struct mdm_pci_dev* dev)
{
    IPC_PCI_DEVICE* pdev = dev->pdev;
    dev->irq_count = 0;
    u32 windows = 0;
    bool message = false;
    const ULONG count = WdfCmResourceListGetCount(pdev->TranslatedResources);
    for (ULONG i = 0; i < count; i++) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR translated = WdfCmResourceListGetDescriptor(pdev->TranslatedResources, i);
        PCM_PARTIAL_RESOURCE_DESCRIPTOR raw = WdfCmResourceListGetDescriptor(pdev->RawResources, i);
        if (translated == nullptr || raw == nullptr) {
            ccci_err(PCIE_TAG, "resource %u missing", i);
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        }
        if (translated->Type == CmResourceTypeInterrupt) {
            NTSTATUS status = create_interrupt(dev, raw, translated);
            if (!NT_SUCCESS(status))
                return status;
            message = (translated->Flags & (CM_RESOURCE_INTERRUPT_LATCHED | CM_RESOURCE_INTERRUPT_MESSAGE)) ==
                      (CM_RESOURCE_INTERRUPT_LATCHED | CM_RESOURCE_INTERRUPT_MESSAGE);
        } else if (translated->Type == CmResourceTypeMemory) {
            if (windows >= MDM_MAX_BARS) {
                ccci_err(PCIE_TAG, "more than %d memory windows", MDM_MAX_BARS);
                return STATUS_DEVICE_CONFIGURATION_ERROR;
            }
            NTSTATUS status = map_memory(dev, windows, translated);
            if (!NT_SUCCESS(status))
                return status;
            windows++;
        }
    }
    bool count_ok;
    if (message) {
        dump_msix_table(dev);
        count_ok = dev->irq_count >= 1 && dev->irq_count <= MDM_PCI_MAX_IRQS;
    } else {
        count_ok = dev->irq_count == 1;
    }
    if (pdev->MessageSignalled != static_cast<ULONG>(message))
        ccci_info(PCIE_TAG, "interrupt mode %u -> %u", pdev->MessageSignalled, message);
    pdev->MessageSignalled = message;
    if (!count_ok || windows != MDM_MAX_BARS) {
        ccci_err(PCIE_TAG, "resources: %d interrupts, %u windows", dev->irq_count, windows);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    return STATUS_SUCCESS;
}

void mdm_pci_irq_table_init(struct mdm_pci_dev* dev)
{
    for (u32 n = 0; n < MDM_IRQ_SOURCES; n++) {
        dev->irq_cb[n] = nullptr;
        dev->irq_cb_arg[n] = nullptr;
    }
    for (u32 n = 0; n < MDM_DB_SLOTS; n++) {
        dev->db_cb[n] = nullptr;
        dev->db_cb_arg[n] = nullptr;
        dev->db_mask[n] = 0;
    }
    mhccif_init(dev);
}

bool is_power_of_two(u32 n)
{
    return n != 0 && (n & (n - 1)) == 0;
}

} // namespace

struct pci_driver* mdm_pcie_bus_driver(void)
{
    return &g_bus_driver;
}

struct mdm_pci_dev* mdm_pci_current(void)
{
    return g_current != nullptr ? g_current->MdmDevice : nullptr;
}

int mdm_pcie_register_bus_driver(void)
{
    return pci_register_driver(&g_bus_driver, MDM_PCI_TAG);
}

void mdm_pcie_unregister_bus_driver(void)
{
    pci_unregister_driver(&g_bus_driver, MDM_PCI_TAG);
    if (g_current != nullptr) {
        ccci_info(PCIE_TAG, "current PCI device forgotten");
        g_current = nullptr;
    }
}

int mdm_pcie_module_init(void)
{
    g_module_started = false;
    int ret = ccci_init();
    if (ret != 0) {
        ccci_err(PCIE_TAG, "ccci_init failed %d", ret);
        ccci_uninit();
        return ret;
    }
    ret = mdm_pcie_register_bus_driver();
    if (ret != 0) {
        ccci_err(PCIE_TAG, "bus driver registration failed %d", ret);
        mdm_pcie_unregister_bus_driver();
        ccci_uninit();
        return ret;
    }
    g_module_started = true;
    return 0;
}

void mdm_pcie_module_exit(void)
{
    if (!g_module_started)
        return;
    mdm_pcie_unregister_bus_driver();
    ccci_uninit();
    g_module_started = false;
}

int mdm_pci_msix_vectors_setup(struct mdm_pci_dev* dev, u32 count)
{
    if (count == 0) {
        if (dev->msix_subset) {
            mdm_pcie_mac_msix_vector_count_set(dev->mac, 0);
            dev->msix_subset = 0;
        }
        return 0;
    }
    if (count == 1 || count > MDM_PCI_MAX_IRQS || !is_power_of_two(count)) {
        ccci_err(PCIE_TAG, "msix vector count %u refused", count);
        return 1;
    }
    if (dev->irq_count <= 0) {
        ccci_err(PCIE_TAG, "msix vectors without interrupts");
        return 1;
    }
    dev->msix_vectors = ccci_irq_work_alloc(count);
    if (dev->msix_vectors == nullptr) {
        ccci_err(PCIE_TAG, "msix vector records: no memory");
        return 1;
    }
    for (u32 n = 0; n < count; n++)
        dev->msix_vectors[n].dev = dev;
    if (count < MDM_PCI_MAX_IRQS) {
        mdm_pcie_mac_msix_vector_count_set(dev->mac, count);
        dev->msix_subset = 1;
    }
    return 0;
}

int mdm_pci_probe(IPC_PCI_DEVICE* pdev, const struct pci_device_id* id)
{
    auto* dev = static_cast<struct mdm_pci_dev*>(win_zalloc(sizeof(struct mdm_pci_dev), 0, MDM_PCI_TAG));
    if (dev == nullptr) {
        ccci_err(PCIE_TAG, "probe: no memory");
        return -1;
    }
    dev->irq_desc = &g_irq_desc;
    pdev->MdmDevice = dev;
    pdev->PowerState = IPC_PCI_POWER_D0;
    dev->pdev = pdev;
    pdev->MdmDeviceLink = dev;
    g_current = pdev;
    dev->sleep_caps = (id->device == kDeviceGeneric || id->device == kDeviceModem) ? 1 : 0;

    if (!NT_SUCCESS(mdm_pci_map_resources(dev)))
        return probe_fail(pdev, dev);
    mdm_pci_pm_init(dev);
    if (!NT_SUCCESS(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &dev->irq_lock))) {
        ccci_err(PCIE_TAG, "probe: irq lock");
        return probe_fail(pdev, dev);
    }
    mdm_pcie_mac_irq_global(dev->mac, false);
    if (pdev->MessageSignalled) {
        // The MAC is told the vector count so that no status bit is left without a message.
        const u32 vectors = is_power_of_two(static_cast<u32>(dev->irq_count)) && dev->irq_count >= 2
                                ? static_cast<u32>(dev->irq_count)
                                : MDM_PCI_MAX_IRQS;
        if (dev->irq_count > 1 && mdm_pci_msix_vectors_setup(dev, vectors) != 0) {
            ccci_err(PCIE_TAG, "probe: msix vectors");
            return probe_fail(pdev, dev);
        }
        for (u32 source = 0; source < MDM_IRQ_SRC_RGU + 1; source++)
            mac_write(dev->mac, MAC_MSIX_MASK, 1u << (source + 24));
    }
    mdm_pcie_mac_atr_init(pdev);
    dev->md_reg_base = MDM_MD_REG_ADDR;
    dev->md_reg_va = dev->bar2_base - dev->atr_base + MDM_MD_REG_ADDR;
    mdm_pci_irq_table_init(dev);
    if (!NT_SUCCESS(workitem_init(&dev->irq_work, mdm_pcie_irq_work, dev, 0))) {
        ccci_err(PCIE_TAG, "probe: irq work");
        return probe_fail(pdev, dev);
    }
    if (ccci_md_init(dev) != 0) {
        ccci_err(PCIE_TAG, "probe: ccci_md_init failed");
        return probe_fail(pdev, dev);
    }
    if (dev->irq_count > 1) {
        mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_MHCCIF, false);
    } else {
        mdm_pcie_mac_legacy_enable(dev->mac, false);
        // One message-signalled interrupt masks through the MSI-X set: the doorbells need their unmask.
        if (pdev->MessageSignalled)
            mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_MHCCIF, false);
    }
    mdm_pcie_mac_irq_global(dev->mac, true);
    KeMemoryBarrier();
    dev->probe_done = 1;
    return 0;
}

void mdm_pci_remove(IPC_PCI_DEVICE* pdev)
{
    if (pdev == nullptr || pdev->MdmDevice == nullptr)
        return;
    struct mdm_pci_dev* dev = pdev->MdmDevice;
    const KIRQL irql = KeGetCurrentIrql();
    KeSetEvent(&dev->ev_removal, 0, FALSE);
    // Gives the handshake's timers, which wait on the removal event, time to see it.
    if (irql == PASSIVE_LEVEL)
        msleep(20);
    mdm_pcie_irq_mask(dev, MDM_IRQ_SRC_RGU, true);
    ccci_md_uninit(dev);
    mdm_pci_pm_deinit(dev);
    mhccif_exit(dev);
    if (dev->msix_vectors != nullptr) {
        win_free(dev->msix_vectors, MDM_PCI_TAG);
        dev->msix_vectors = nullptr;
    }
    // The work item holds the record in its context: it is flushed and goes with it.
    if (irql == PASSIVE_LEVEL)
        workitem_destroy(&dev->irq_work);
    else
        ccci_err(PCIE_TAG, "workitem is not allowed in IRQL[%d]\n", irql);
    unmap_resources(dev);
    pdev->MdmDevice = nullptr;
    pdev->MdmDeviceLink = nullptr;
    if (g_current == pdev)
        g_current = nullptr;
    win_free(dev, MDM_PCI_TAG);
}

// ---------------------------------------------------------------------------------------------
// Interrupt-source registry.

int mdm_pcie_register_irq_callback(struct mdm_pci_dev* dev, u32 source, mdm_irq_cb cb, void* arg)
{
    if (dev == nullptr || source >= MDM_IRQ_SOURCES) {
        ccci_err(PCIE_TAG, "irq callback for source %u refused", source);
        return -1;
    }
    // No callback clears the source's: its owner is going away.
    dev->irq_cb[source] = cb;
    dev->irq_cb_arg[source] = cb != nullptr ? arg : nullptr;
    return 0;
}

int mdm_pcie_irq_mask(struct mdm_pci_dev* dev, u32 source, bool mask)
{
    if (dev == nullptr || source >= MDM_IRQ_SOURCES) {
        ccci_err(PCIE_TAG, "irq mask of source %u refused", source);
        return -1;
    }
    mdm_pcie_mac_irq_mask(dev, source, mask);
    KeMemoryBarrier();
    return 0;
}

int mdm_pcie_irq_ack(struct mdm_pci_dev* dev, u32 source)
{
    if (dev == nullptr || source >= MDM_IRQ_SOURCES) {
        ccci_err(PCIE_TAG, "irq ack of source %u refused", source);
        return -1;
    }
    mdm_pcie_mac_irq_status_clear(dev, source + 24);
    KeMemoryBarrier();
    return 0;
}

int mdm_pcie_register_doorbell_handler(struct mdm_pci_dev* dev, u32 slot, u32 bits, mdm_db_cb cb, void* arg)
{
    if (dev == nullptr || slot >= MDM_DB_SLOTS || slot == MDM_IRQ_SRC_MHCCIF || bits == 0 || cb == nullptr) {
        ccci_err(PCIE_TAG, "doorbell handler slot %u bits 0x%x refused", slot, bits);
        return -1;
    }
    for (u32 other = 0; other < MDM_DB_SLOTS; other++) {
        if (other != slot && (dev->db_mask[other] & bits) != 0) {
            ccci_err(PCIE_TAG, "doorbell slot %u bits 0x%x overlap slot %u bits 0x%x", slot, bits, other,
                     dev->db_mask[other]);
            return -1;
        }
    }
    dev->db_cb[slot] = cb;
    dev->db_mask[slot] = bits;
    dev->db_cb_arg[slot] = arg;
    return 0;
}

int mdm_pcie_register_pm_notify(struct mdm_pci_dev* dev, mdm_pm_notify_cb cb, void* arg)
{
    if (dev == nullptr || cb == nullptr) {
        ccci_err(PCIE_TAG, "pm notify refused");
        return -1;
    }
    dev->pm_notify = cb;
    dev->pm_notify_arg = arg;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Interrupt chain.

BOOLEAN mdm_pcie_irq_isr(WDFINTERRUPT Interrupt, ULONG MessageID)
{
    // A level-triggered line stays asserted until the DPC has served the MAC: gate the MAC's output
    // here so that the line drops (the DPC's handler enables it again).
    struct mdm_pci_dev* dev = mdm_pci_current();
    if (dev != nullptr && !dev->pdev->MessageSignalled)
        mdm_pcie_mac_irq_global(dev->mac, false);
    WdfInterruptQueueDpcForIsr(Interrupt);
    ccci_dbg(PCIE_TAG, "isr message %u cpu %u", MessageID, KeGetCurrentProcessorNumber());
    return TRUE;
}

void mdm_pcie_irq_dpc(WDFINTERRUPT Interrupt, WDFOBJECT AssociatedObject)
{
    (void)AssociatedObject;
    struct mdm_pci_dev* dev = mdm_pci_current();
    if (dev == nullptr)
        return;
    if (!dev->pdev->MessageSignalled || dev->irq_count == 1 || dev->msix_vectors == nullptr) {
        mdm_pcie_irq_handler(0, dev);
        return;
    }
    WDF_INTERRUPT_INFO info;
    WDF_INTERRUPT_INFO_INIT(&info);
    WdfInterruptGetInfo(Interrupt, &info);
    if (info.MessageNumber < static_cast<ULONG>(dev->irq_count))
        mdm_pcie_msix_vector_dispatch(&dev->msix_vectors[info.MessageNumber]);
}

BOOLEAN mdm_pcie_msix_vector_dispatch(struct msix_vector* vec)
{
    struct mdm_pci_dev* dev = vec->dev;
    if (dev->irq_count <= 0)
        return FALSE;
    const u32 count = static_cast<u32>(dev->irq_count);
    const u32 pending = mdm_pcie_mac_msix_pending(dev->mac);
    u32 mine = 0;
    for (u32 bit = vec->vector % count; bit < 32; bit += count)
        mine |= pending & (1u << bit);
    if (!dev->msix_subset && count < MDM_PCI_MAX_IRQS)
        mine &= 1u << vec->vector;
    if (mine == 0) {
        ccci_dbg(PCIE_TAG, "vector %u: nothing pending (0x%x)", vec->vector, pending);
        return FALSE;
    }
    mdm_pci_mac_msix_desc_mask_irq(dev->pdev, vec->vector, true);
    bool group = false;
    for (u32 bit = 0; bit < 32; bit++) {
        if ((mine & (1u << bit)) == 0)
            continue;
        if (bit >= 24) {
            dispatch_source(dev, bit - 24);
        } else if (bit >= 16) {
            mac_write(dev->mac, MAC_MSIX_MASK, 1u << bit);
            mdm_irq_work_set(dev, bit < 20 ? MDM_WORK_GROUP0 : MDM_WORK_GROUP1);
            group = true;
        } else if (bit >= 8) {
            ccci_dbg(PCIE_TAG, "status bit %u", bit);
        } else {
            record_low_bit(dev, bit);
        }
    }
    if (group)
        mdm_pcie_irq_work_queue(dev);
    mdm_pci_mac_msix_desc_mask_irq(dev->pdev, vec->vector, false);
    return TRUE;
}

BOOLEAN mdm_pcie_irq_handler(int irq, struct mdm_pci_dev* dev)
{
    (void)irq;
    mdm_pcie_mac_irq_global(dev->mac, false);
    u32 sources = 0;
    const bool pending = mdm_pcie_mac_irq_status(dev->mac, &sources) != 0;
    if (pending) {
        if (mac_read(dev->mac, MAC_LEGACY_ONLY_LOW) != 0) {
            const u32 low = mac_read(dev->mac, MAC_LEGACY_STATUS) & mac_read(dev->mac, MAC_LEGACY_ENABLE) & 0xFF;
            for (u32 bit = 0; bit < 8; bit++)
                if (low & (1u << bit))
                    record_low_bit(dev, bit);
        } else {
            for (u32 source = 0; source < MDM_IRQ_SOURCES; source++)
                if (sources & (1u << source))
                    dispatch_source(dev, source);
            bool group = false;
            for (u32 source = MDM_IRQ_SRC_GROUP0; source <= MDM_IRQ_SRC_GROUP1; source++) {
                if (sources & (1u << source)) {
                    dispatch_group(dev, source);
                    group = true;
                }
            }
            if (group)
                mdm_pcie_irq_work_queue(dev);
        }
    }
    KeMemoryBarrier();
    mdm_pcie_mac_irq_global(dev->mac, true);
    return pending;
}

void mdm_pcie_irq_work_queue(struct mdm_pci_dev* dev)
{
    const LONG64 old = InterlockedOr64(&dev->irq_work_bits, 1ll << MDM_WORK_QUEUED);
    if ((old & (1ll << MDM_WORK_QUEUED)) == 0)
        WdfWorkItemEnqueue(dev->irq_work);
}

void mdm_pcie_irq_work(WDFWORKITEM WorkItem)
{
    auto* dev = static_cast<struct mdm_pci_dev*>(WdfObjectGet_WWAN_OBJ_CONTEXT(WorkItem)->data);
    if (mdm_irq_work_test(dev, MDM_WORK_DOORBELL))
        mdm_pcie_doorbell_service(dev);
    constexpr u32 kGroups[2][2] = {{MDM_WORK_GROUP0, MDM_IRQ_SRC_GROUP0}, {MDM_WORK_GROUP1, MDM_IRQ_SRC_GROUP1}};
    for (const auto& group : kGroups) {
        if (!mdm_irq_work_test(dev, group[0]))
            continue;
        const u32 bits = mdm_pcie_mac_group_ctrl(dev, group[1], 0);
        mdm_pcie_mac_group_ctrl(dev, group[1], 1);
        ccci_dbg(PCIE_TAG, "group %u status 0x%x", group[1], bits);
        mdm_irq_work_clear(dev, group[0]);
        mdm_pcie_mac_irq_mask(dev, group[1], false);
        KeMemoryBarrier();
    }
    KeMemoryBarrier();
    mdm_irq_work_clear(dev, MDM_WORK_QUEUED);
    // Work that the DPC asked for while this run was past its step is run again.
    constexpr LONG64 kPending = (1ll << MDM_WORK_DOORBELL) | (1ll << MDM_WORK_GROUP0) | (1ll << MDM_WORK_GROUP1);
    if ((ReadNoFence64(&dev->irq_work_bits) & kPending) != 0)
        mdm_pcie_irq_work_queue(dev);
}
