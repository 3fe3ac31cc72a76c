#include "dpmaif_rig.h"

#include <wdf.h>

#include <host/host.h>
#include <host/loader.h>
#include <host/pnp.h>

#include <string>

#include "CurrentDevice.h"
#include "MbbDevice.h"

namespace dpmaifbench
{
namespace
{

using namespace sim::modem;

const std::u16string kBenchHardwareId = u"BENCH\\DPMAIF";
const std::u16string kBenchInstance = kBenchHardwareId + u"\\0";

// The driver's device-add: the device the framework calls the driver's code for, made current.
NTSTATUS BenchDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init)
{
    WDF_OBJECT_ATTRIBUTES context;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&context, MBB_DEVICE_CONTEXT);
    WDFDEVICE device = nullptr;
    const NTSTATUS status = WdfDeviceCreate(&init, &context, &device);
    if (NT_SUCCESS(status))
        GetMbbDeviceContext(IpcGetCurrentDevice(device))->Device = device;
    return status;
}

NTSTATUS BenchDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, BenchDeviceAdd);
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

volatile ULONG* MapBar(Board& board, ULONG bar, ULONG64 size)
{
    PHYSICAL_ADDRESS at;
    at.QuadPart = static_cast<LONGLONG>(board.function.BarAddress(bar));
    return static_cast<volatile ULONG*>(MmMapIoSpaceEx(at, size, PAGE_READWRITE | PAGE_NOCACHE));
}

// One address-translation entry as the driver programs it: the enable word last.
void Translate(volatile ULONG* mac, ULONG port, ULONG64 from, ULONG64 to, ULONG sizeCode)
{
    const ULONG entry = mac::AtrEntry(port, 0) / 4;
    const ULONG words[] = {(static_cast<ULONG>(from) & 0xFFFFF000) | sizeCode << 1 | 1,
                           static_cast<ULONG>(from >> 32), static_cast<ULONG>(to) & 0xFFFFF000,
                           static_cast<ULONG>(to >> 32), 4};
    for (ULONG w = 1; w <= 5; w++)
        WRITE_REGISTER_ULONG(mac + entry + w % 5, words[w % 5]);
}

} // namespace

Rig::Rig()
    : board_([] {
          ModemConfig config;
          config.execution = sim::pci::ExecutionMode::Step;
          return config;
      }()),
      hif_(std::make_unique<struct dpmaif_hif>())
{
    host::DriverRegisterBuiltin(u"DpmaifBench", BenchDriverEntry);
    Require(host::PnpInstallDriver(kBenchHardwareId, u"DpmaifBench") == STATUS_SUCCESS, "driver install");
    Require(host::PnpAddDevice({kBenchInstance, {kBenchHardwareId}, {}}) == STATUS_SUCCESS, "device add");
    WDF_DMA_ENABLER_CONFIG dma;
    WDF_DMA_ENABLER_CONFIG_INIT(&dma, WdfDmaProfileScatterGather64, 0x10000);
    Require(NT_SUCCESS(WdfDmaEnablerCreate(IpcGetCurrentDevice(NULL), &dma, WDF_NO_OBJECT_ATTRIBUTES,
                                           &node_.dma_enabler)),
            "DMA enabler");

    mac_ = MapBar(board_, kBarMac, kMacWindowSize);
    window_ = reinterpret_cast<volatile u8*>(MapBar(board_, kBarWindow, kModemWindowSize));
    Translate(mac_, 0, board_.function.BarAddress(kBarWindow), kModemWindowBase, 21);
    for (ULONG port = 2; port <= 4; port++)
        Translate(mac_, port, 0, 0, mac::kAtrTransparent);

    struct dpmaif_hif* hif = hif_.get();
    hif->dma_dev = &node_;
    hif->dev = &dev_;
    dev_.mhccif_base = const_cast<u8*>(window_) + kMhccifOffset;
    hif->state = DPMAIF_STATE_STARTED;
    KeInitializeEvent(&hif->tx_push_event, NotificationEvent, FALSE);
    Require(dpmaif_hw_set_base(&hif->hw, window_, kModemWindowBase) == 0, "register base");
    Require(dpmaif_bat_setup(hif) == 0, "buffer rings");
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++) {
        Require(dpmaif_rxq_init(hif, q) == 0, "receive queue");
        struct dpmaif_rxq* rxq = &hif->rxq[q];
        rxq->budget = DPMAIF_RX_BUDGET;
        InterlockedExchange(&rxq->enabled, 1);
    }
    for (u8 q = 0; q < DPMAIF_TXQ_NUM; q++) {
        Require(dpmaif_txq_init(hif, q) == 0, "transmit queue");
        InterlockedExchange(&hif->txq[q].enabled, 1);
    }
    Require(dpmaif_bat_start(hif) == 0, "buffers lent");
    struct dpmaif_ring_params rings = {};
    dpmaif_ring_params_of(hif, &rings);
    dpmaif_hw_start(&hif->hw, &rings);
    Require(dpmaif_hw_dl_add_bat_cnt(&hif->hw, 0, hif->bat.length - 1) == 0 &&
                dpmaif_hw_dl_add_frag_cnt(&hif->hw, 0, hif->frag_bat.length - 1) == 0,
            "buffers announced");
}

Rig::~Rig()
{
    Engine().Stop();
    struct dpmaif_hif* hif = hif_.get();
    WdfWorkItemFlush(hif->bat_refill_work);
    for (u8 q = 0; q < DPMAIF_RXQ_NUM; q++)
        dpmaif_rxq_exit(hif, q);
    for (u8 q = 0; q < DPMAIF_TXQ_NUM; q++)
        dpmaif_txq_exit(hif, q);
    dpmaif_bat_teardown(hif);
    host::Quiesce();
    hif_.reset();
    host::PnpRemoveDevice(kBenchInstance);
    host::Quiesce();
    MmUnmapIoSpace(const_cast<u8*>(window_), kModemWindowSize);
    MmUnmapIoSpace(const_cast<ULONG*>(mac_), kMacWindowSize);
}

} // namespace dpmaifbench
