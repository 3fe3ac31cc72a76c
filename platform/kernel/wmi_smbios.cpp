// The SMBIOS tables that tests and the simulator seed, and the builder of their structure tables.
#include "wmi_blocks.h"

#include <host/smbios.h>

#include <mutex>

namespace host {
namespace {

struct Store {
    std::mutex lock;
    std::optional<SmbiosTables> tables;
};

Store& Smbios()
{
    static Store* store = new Store;
    return *store;
}

void AppendHeader(std::vector<UCHAR>& bytes, UCHAR type, size_t formatted, USHORT handle)
{
    bytes.push_back(type);
    bytes.push_back(static_cast<UCHAR>(4 + formatted));
    bytes.push_back(static_cast<UCHAR>(handle & 0xFF));
    bytes.push_back(static_cast<UCHAR>(handle >> 8));
}

} // namespace

void SmbiosSetTables(SmbiosTables tables)
{
    Store& store = Smbios();
    std::lock_guard<std::mutex> guard(store.lock);
    store.tables = std::move(tables);
}

void SmbiosClear()
{
    Store& store = Smbios();
    std::lock_guard<std::mutex> guard(store.lock);
    store.tables.reset();
}

namespace wmi {

std::optional<SmbiosTables> SmbiosSnapshot()
{
    Store& store = Smbios();
    std::lock_guard<std::mutex> guard(store.lock);
    return store.tables;
}

} // namespace wmi

SmbiosTableBuilder& SmbiosTableBuilder::Add(UCHAR type, const std::vector<UCHAR>& formatted,
                                            const std::vector<std::string>& strings)
{
    AppendHeader(bytes_, type, formatted.size(), nextHandle_++);
    bytes_.insert(bytes_.end(), formatted.begin(), formatted.end());
    for (const std::string& text : strings) {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        bytes_.push_back(0);
    }
    // The string set ends with an empty string; a structure without strings has two NULs.
    if (strings.empty())
        bytes_.push_back(0);
    bytes_.push_back(0);
    return *this;
}

SmbiosTableBuilder& SmbiosTableBuilder::AddSystemInformation(const std::string& manufacturer,
                                                             const std::string& product)
{
    // Manufacturer, Product Name, Version, Serial Number, UUID (16), Wake-up Type, SKU, Family.
    std::vector<UCHAR> formatted(4 + 16 + 3, 0);
    formatted[0] = 1;
    formatted[1] = 2;
    return Add(1, formatted, {manufacturer, product});
}

std::vector<UCHAR> SmbiosTableBuilder::Build() const
{
    std::vector<UCHAR> table = bytes_;
    AppendHeader(table, 127, 0, nextHandle_);
    table.push_back(0);
    table.push_back(0);
    return table;
}

} // namespace host
