// The system simulator: boots the emulated host, plugs the simulated modem into its PCI bus, loads the
// package as Windows would and shows, live, what it does. Options: --seconds N (how long to run,
// default 1), --scale X (host seconds per wall second), --processors N, --trace (print trace lines as
// they come), --modem SCRIPT (how the modem boots: normal, bootrom, download, dump, silent,
// wrong-answer, short-answer, stuck, link-down; default normal), --verifier on|off (the host's
// verifier bookkeeping; default on).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <host/host.h>
#include <host/image.h>
#include <host/loader.h>
#include <host/pnp.h>
#include <host/pool.h>
#include <host/registry.h>
#include <host/trace.h>
#include <wdm.h>

#include <map>
#include <memory>

#include "sim/modem/boot.h"
#include "sim/pci/pnp.h"

namespace {

struct Options {
    double seconds = 1.0;
    host::Config config;
    bool trace = false;
    std::string modem = "normal";
    sim::modem::BootScript script;
};

constexpr std::u16string_view kService = u"Taluvo";
constexpr std::u16string_view kInstance = u"PCI\\VEN_14C3&DEV_4D75\\4&1f0a7c2e&0&00E8";

// The modem's boot scripts by name.
bool SelectScript(const std::string& name, sim::modem::BootScript* script)
{
    using sim::modem::BootFault;
    using sim::modem::BootPath;
    static const std::map<std::string, std::pair<BootPath, BootFault>> scripts = {
        {"normal", {BootPath::Normal, BootFault::None}},
        {"bootrom", {BootPath::BootRom, BootFault::None}},
        {"download", {BootPath::BootRom, BootFault::None}},
        {"dump", {BootPath::Dump, BootFault::None}},
        {"silent", {BootPath::Normal, BootFault::Silent}},
        {"wrong-answer", {BootPath::Normal, BootFault::WrongAnswer}},
        {"short-answer", {BootPath::Normal, BootFault::ShortAnswer}},
        {"stuck", {BootPath::Normal, BootFault::StuckStage}},
        {"link-down", {BootPath::Normal, BootFault::LinkDown}},
    };
    auto found = scripts.find(name);
    if (found == scripts.end())
        return false;
    script->path = found->second.first;
    script->fault = found->second.second;
    script->holdDownload = name == "download";
    script->stuckStatus = sim::modem::boot::kStatusBootRom;
    return true;
}

bool Parse(int argc, char** argv, Options* options)
{
    options->config.clock = host::ClockMode::Real;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue)
            options->seconds = atof(argv[++i]);
        else if (arg == "--scale" && hasValue)
            options->config.scale = atof(argv[++i]);
        else if (arg == "--processors" && hasValue)
            options->config.processors = static_cast<ULONG>(atoi(argv[++i]));
        else if (arg == "--trace")
            options->trace = true;
        else if (arg == "--modem" && hasValue && SelectScript(argv[i + 1], &options->script))
            options->modem = argv[++i];
        else if (arg == "--verifier" && hasValue && (strcmp(argv[i + 1], "on") == 0 || strcmp(argv[i + 1], "off") == 0))
            options->config.verifier = strcmp(argv[++i], "on") == 0;
        else {
            fprintf(stderr, "usage: wwansim [--seconds N] [--scale X] [--processors N] [--trace] [--verifier on|off] "
                            "[--modem normal|bootrom|download|dump|silent|wrong-answer|short-answer|stuck|link-down]\n");
            return false;
        }
    }
    return options->seconds >= 0 && options->config.scale > 0 && options->config.processors > 0;
}

// Pool still held by any image: what a clean shutdown must leave at zero.
size_t ReportLeaks()
{
    size_t leaked = 0;
    for (host::Image* image : host::ImageList())
        for (const host::PoolLeak& leak : host::PoolLeaks(image)) {
            printf("wwansim:   leak in %s: %s %zu allocations, %zu bytes\n", host::ImageName(image).c_str(),
                   leak.contiguous ? "contiguous memory" : ("tag '" + host::PoolTagText(leak.tag) + "'").c_str(),
                   static_cast<size_t>(leak.count), static_cast<size_t>(leak.bytes));
            leaked += leak.bytes;
        }
    return leaked;
}

const char* StateName(host::PnpState state)
{
    switch (state) {
    case host::PnpState::Started: return "started";
    case host::PnpState::Failed: return "not started";
    case host::PnpState::Removed: return "removed";
    default: return "present";
    }
}

// The modem on the bus with the driver package installed for it: the PnP manager loads the driver
// and offers it the device.
void PlugModem(sim::modem::BootBoard& board)
{
    std::string image = WWAN_TALUVO_IMAGE;
    host::RegistrySetString(std::u16string(host::kServicesKey) + u"\\" + std::u16string(kService), u"ImagePath",
                            std::u16string(image.begin(), image.end()));
    const std::vector<std::u16string> ids = sim::pci::HardwareIds(board.board.function.Config());
    host::PnpInstallDriver(ids.back(), kService);
    NTSTATUS status = host::PnpAddDevice(sim::pci::PnpDevice(board.board.function, std::u16string(kInstance)));
    const host::PnpState state = host::PnpQueryState(kInstance);
    printf("wwansim: modem 14C3:4D75 enumerated, driver Taluvo: device %s (status 0x%08X)%s\n", StateName(state),
           static_cast<unsigned>(status),
           state == host::PnpState::Failed ? ": the image does not take the modem device yet" : "");
}

// Host time passes in steps of 10 ms; each change of the modem's boot status is shown.
void Watch(sim::modem::BootBoard& board, double seconds)
{
    ULONG shown = 0xFFFFFFFF;
    LARGE_INTEGER step;
    step.QuadPart = -sim::modem::Milliseconds(10);
    const LONGLONG end = host::ClockNow() + static_cast<LONGLONG>(seconds * 1e7);
    while (host::ClockNow() < end) {
        ULONG status = board.boot.Status();
        if (status != shown) {
            printf("wwansim: [%9.3f] modem boot status 0x%08X\n", host::ClockNow() / 1e7, static_cast<unsigned>(status));
            shown = status;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &step);
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!Parse(argc, argv, &options))
        return 2;
    if (options.trace)
        host::TraceSetPrintLevel(5);

    host::Start(options.config);
    printf("wwansim: emulated host started: %u processors, %u system worker threads, real-time clock x%g, "
           "verifier %s\n",
           options.config.processors, options.config.workerThreads, options.config.scale,
           options.config.verifier ? "on" : "off");
    {
        auto board = std::make_unique<sim::modem::BootBoard>(sim::modem::ModemConfig{}, options.script);
        printf("wwansim: simulated modem plugged, boot script '%s'\n", options.modem.c_str());
        board->boot.PowerOn();
        PlugModem(*board);
        for (host::Image* image : host::ImageList())
            printf("wwansim: loaded image: %s\n", host::ImageName(image).c_str());
        Watch(*board, options.seconds);
        printf("wwansim: ran for %.3f s of host time\n", host::ClockNow() / 1e7);
        if (host::PnpQueryState(kInstance) != host::PnpState::Removed)
            host::PnpRemoveDevice(kInstance);
        board.reset();
    }

    host::Shutdown();
    size_t leaked = ReportLeaks();
    printf("wwansim: emulated host stopped; leak report: %zu bytes still allocated\n", leaked);
    return leaked == 0 ? 0 : 1;
}
