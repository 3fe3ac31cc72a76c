// The SMBIOS walk over an arbitrary structure table: it reads only inside the table and always ends.
#include <cstdint>
#include <vector>

#include "IpcPcie.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact copy, so a read past the table's end is a read past the allocation.
    std::vector<UCHAR> table(data, data + size);
    IpcSmbiosWalk(table.data(), static_cast<ULONG>(table.size()));
    return 0;
}
