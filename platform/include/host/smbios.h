// The firmware's SMBIOS tables, seeded by tests and the simulator and served through WMI's raw SMBIOS
// data block (wmiguid.h).
#pragma once

#include <ntdef.h>

#include <string>
#include <vector>

namespace host {

struct SmbiosTables {
    bool used20CallingMethod = false;
    UCHAR majorVersion = 3;
    UCHAR minorVersion = 4;
    UCHAR dmiRevision = 0;
    std::vector<UCHAR> table; // the structure table, as the firmware lays it out
};

// Until tables are set (and after SmbiosClear) the data block does not exist.
void SmbiosSetTables(SmbiosTables tables);
void SmbiosClear();

// Builds a structure table: each structure is its four-byte header (type, length, handle), its
// formatted area and its string set; handles count up from 0.
class SmbiosTableBuilder {
public:
    // `formatted` follows the header; strings are numbered from 1 in the order given.
    SmbiosTableBuilder& Add(UCHAR type, const std::vector<UCHAR>& formatted,
                            const std::vector<std::string>& strings = {});
    // System Information (type 1): Manufacturer is string 1, Product Name string 2.
    SmbiosTableBuilder& AddSystemInformation(const std::string& manufacturer, const std::string& product);
    // The table, closed by an end-of-table structure (type 127).
    std::vector<UCHAR> Build() const;

private:
    std::vector<UCHAR> bytes_;
    USHORT nextHandle_ = 0;
};

} // namespace host
