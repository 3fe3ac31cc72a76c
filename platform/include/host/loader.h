// The driver loader: a service's image is loaded as Windows loads a driver, gets its own driver object,
// registry path (\Registry\Machine\System\CurrentControlSet\Services\<name>) and pool accounting, and
// its DriverEntry runs. The PnP manager loads the services a device stack needs and unloads a driver
// once its last device is gone; tests and the simulator may load and unload non-PnP drivers directly.
#pragma once

#include <wdm.h>

#include <string_view>

namespace host
{

struct Image;

// The registry root of the services: each <name> key holds ImagePath, the shared library to load.
inline constexpr std::u16string_view kServicesKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

// A driver linked into the executable (unit tests): loading the service runs `entry` instead of loading
// its ImagePath. Its pool and objects belong to the executable's image, which its unload does not check.
void DriverRegisterBuiltin(std::u16string_view service, PDRIVER_INITIALIZE entry);

// Loads the service (once: a loaded driver is referenced again) and runs its DriverEntry.
// STATUS_OBJECT_NAME_NOT_FOUND without a Services key, STATUS_DRIVER_ENTRYPOINT_NOT_FOUND /
// STATUS_INVALID_IMAGE_FORMAT for an image that cannot be loaded, or DriverEntry's failure.
NTSTATUS DriverLoad(std::u16string_view service, PDRIVER_OBJECT* driver);
// Drops a reference; the last one runs the driver's unload routine and then the image's unload checks
// (pool, threads, DPCs, timers, work items), and frees what the checks reported. The mapping stays.
// Returns the number of reports, or -1 when the service is not loaded.
int DriverUnload(std::u16string_view service);
// The loaded driver of a service, or nullptr.
PDRIVER_OBJECT DriverFind(std::u16string_view service);
Image* DriverImage(PDRIVER_OBJECT driver);

} // namespace host
