// The capability walks over an arbitrary configuration space: every walk ends, and what it finds is a
// dword-aligned header of the asked id inside the space.
#include <cstdint>
#include <cstring>
#include <vector>

#include "IpcPcie.h"

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<UCHAR> config(IPC_PCI_CONFIG_SIZE, 0);
    memcpy(config.data(), data, size < config.size() ? size : config.size());
    UCHAR pointer = config[0x34];
    for (unsigned id = 0; id < 256; id++) {
        UCHAR at = PcieConfigLookupCapabilityID(config.data(), pointer, static_cast<UCHAR>(id));
        Check(at == 0 || ((at & 3) == 0 && config[at] == id));
    }
    const USHORT extended[] = {0x01, 0x18, 0x1E, static_cast<USHORT>(config[0x100] | config[0x101] << 8)};
    for (USHORT id : extended) {
        USHORT at = PcieConfigLookupExtendedCapabilityID(config.data(), id);
        Check(at == 0 || ((at & 3) == 0 && at + 4u <= IPC_PCI_CONFIG_SIZE &&
                          (config[at] | config[at + 1] << 8) == id));
    }
    return 0;
}
