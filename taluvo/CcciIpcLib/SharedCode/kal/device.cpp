// Character-device numbers, device classes and nodes, net devices, user copies and the PCI bus-driver
// shims: Linux records the host-interface code keeps, with no system object behind them.
#include "kal.h"

#include "IpcContext.h"
#include "IpcPcie.h"

#include <ntstrsafe.h>
#include <string.h>

int win_nop(void)
{
    return 0;
}

int alloc_chrdev_region(s32* dev, u32 first_minor, u32, const char*)
{
    *dev = (s32)first_minor;
    return 0;
}

struct device_class* class_create(void*, const char* name, u32 tag)
{
    auto* cls = static_cast<struct device_class*>(win_zalloc(sizeof(struct device_class), 0, tag));
    ccci_info(KAL_TAG, "class %s %s", name, cls != NULL ? "created" : "not created");
    return cls;
}

struct device_node* device_create(struct device_class* cls, struct device_node*, s32 devt, void*, u32 tag,
                                  const char* name)
{
    auto* node = static_cast<struct device_node*>(win_zalloc(sizeof(struct device_node), 0, tag));
    if (node == NULL) {
        ccci_err(KAL_TAG, "device %s not created", name);
        return NULL;
    }
    node->devt = devt;
    node->name = name;
    if (cls->tail != NULL)
        cls->tail->next = node;
    else
        cls->head = node;
    cls->tail = node;
    return node;
}

void device_destroy(struct device_class* cls, s32 devt, u32 tag)
{
    if (cls == NULL)
        return;
    struct device_node* previous = NULL;
    for (struct device_node* node = cls->head; node != NULL; previous = node, node = node->next) {
        if (node->devt != devt)
            continue;
        if (previous != NULL)
            previous->next = node->next;
        else
            cls->head = node->next;
        if (cls->tail == node)
            cls->tail = previous;
        win_free(node, tag);
        return;
    }
}

// The record starts at the first 32-byte boundary of a zeroed allocation with 31 bytes of slack; the
// private area follows the fixed part aligned up to 32 bytes.
struct net_device* alloc_netdev(int sizeof_priv, const char* name, u8, void (*setup)(struct net_device*),
                                u32 tag)
{
    const size_t align = 32;
    size_t size = sizeof(struct net_device);
    if (sizeof_priv > 0)
        size = ALIGN_UP_BY(size, align) + (size_t)sizeof_priv;
    u8* start = static_cast<u8*>(win_zalloc(size + align - 1, 0, tag));
    if (start == NULL) {
        ccci_err(KAL_TAG, "net device %s not allocated", name);
        return NULL;
    }
    auto* dev = reinterpret_cast<struct net_device*>(ALIGN_UP_BY(start, align));
    dev->alloc_pad = (u16)((u8*)dev - start);
    if (sizeof_priv > 0)
        dev->priv = (u8*)dev + ALIGN_UP_BY(sizeof(struct net_device), align);
    if (setup != NULL)
        setup(dev);
    RtlStringCbCopyNA(dev->name, sizeof(dev->name), name, sizeof(dev->name) - 1);
    return dev;
}

void free_netdev(struct net_device* dev, u32 tag)
{
    if (dev != NULL)
        win_free((u8*)dev - dev->alloc_pad, tag);
}

unsigned long copy_from_user(void* to, const void* from, unsigned long n)
{
    if (to == NULL || from == NULL)
        return n;
    memcpy(to, from, n);
    return 0;
}

unsigned long copy_to_user(void* to, unsigned long to_size, const void* from, unsigned long n)
{
    if (to == NULL || from == NULL || n > to_size)
        return n;
    memcpy(to, from, n);
    return 0;
}

int pci_register_driver(struct pci_driver* drv, u32 tag)
{
    return IpcPcieAdd(drv, tag);
}

void pci_unregister_driver(struct pci_driver* drv, u32 tag)
{
    IpcDestroyDevice(drv, tag);
}
