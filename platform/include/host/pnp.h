// Host-side control of the PnP and power manager, for tests and the simulator: devices appear on the
// bus and leave it, stacks start, stop, restart and are removed, the system sleeps and resumes. Each
// operation runs on the PnP manager's own thread, as on Windows; the call returns when it is done.
//
// Device stacks are composed from the registry, as an installation leaves it:
//   ...\Control\DeviceMatch\<hardware id, '\' written as '#'>
//       Service (REG_SZ), LowerFilters and UpperFilters (REG_MULTI_SZ), ClassGuid (REG_SZ, optional)
//   ...\Services\<name>   ImagePath (REG_SZ): the driver image
// The first hardware id with a match entry wins. When the device is added the PnP manager writes its
// instance key ...\Enum\<instance id> (HardwareID, Service, LowerFilters, UpperFilters, Driver) with the
// device key "Device Parameters" below it, and the driver key ...\Control\Class\<class guid>\NNNN.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace host
{

inline constexpr std::u16string_view kDeviceMatchKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceMatch";
inline constexpr std::u16string_view kEnumKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
inline constexpr std::u16string_view kClassKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";

// Writes a match entry (what installing a driver package for the hardware id does).
NTSTATUS PnpInstallDriver(std::u16string_view hardwareId, std::u16string_view service,
                          const std::vector<std::u16string>& lowerFilters = {},
                          const std::vector<std::u16string>& upperFilters = {});

struct PnpBusDevice {
    std::u16string instanceId; // e.g. u"PCI\\VEN_1234&DEV_5678\\3&11583659&0&00"
    std::vector<std::u16string> hardwareIds;
    // The bus learns of the device's power: D0 before the drivers enter it, D3 after they left it;
    // `system` is the system state the change belongs to (PowerSystemWorking for idle and removal),
    // so a model can lose its state in a sleep as hardware does.
    std::function<void(DEVICE_POWER_STATE device, SYSTEM_POWER_STATE system)> powerChanged;
    // CM_RESOURCE_LIST images handed to the drivers at start: as the bus sees them, and translated.
    std::vector<UCHAR> rawResources{};
    std::vector<UCHAR> translatedResources{};
    // Answers a driver's interface query (the bus's IRP_MN_QUERY_INTERFACE); unset: not supported.
    std::function<NTSTATUS(const GUID& guid, USHORT size, USHORT version, PINTERFACE interface)> queryInterface{};
    // Answers device-control requests that reach the bottom of the stack (the bus's own device), on the
    // sender's thread; `buffer` holds the input and receives the output, as a buffered request's system
    // buffer does. Unset: STATUS_INVALID_DEVICE_REQUEST.
    std::function<NTSTATUS(ULONG code, void* buffer, size_t inputLength, size_t outputLength,
                           ULONG_PTR* information)>
        deviceControl{};
};

enum class PnpState { NotStarted, Started, Stopped, Failed, Disabled, Removed };

// The device appears on the bus: its stack is built, its drivers loaded and started. Returns the start
// status: STATUS_OBJECT_NAME_COLLISION for an instance already present, STATUS_NOT_FOUND when no driver
// matches (the device then stays on the bus without drivers), or the status the stack failed with.
NTSTATUS PnpAddDevice(const PnpBusDevice& device);
// The bus asks for the device to be enumerated again (re-enumerate-self, a reset): queued to a PnP
// manager thread, never run inline, where the device is surprise-removed and added again with the same
// description. STATUS_NO_SUCH_DEVICE when the instance is not on the bus.
NTSTATUS PnpRequestReenumeration(std::u16string_view instanceId);
// Query-stop then stop (rebalance); the query may be vetoed by a driver (its status is returned).
NTSTATUS PnpStopDevice(std::u16string_view instanceId);
// Starts a stopped or failed stack again.
NTSTATUS PnpStartDevice(std::u16string_view instanceId);
// Query-remove then remove; the device leaves the bus.
NTSTATUS PnpRemoveDevice(std::u16string_view instanceId);
// The device vanished from the bus: surprise removal, then removal.
NTSTATUS PnpSurpriseRemoveDevice(std::u16string_view instanceId);
// Removes, or adds and starts again, the function stacks of every device with the hardware id; the
// devices stay on the bus.
NTSTATUS PnpDisable(std::u16string_view hardwareId);
NTSTATUS PnpEnable(std::u16string_view hardwareId);
PnpState PnpQueryState(std::u16string_view instanceId);
// The driver key of a device on the bus (empty when there is none): where its configuration lives.
std::u16string PnpDriverKey(std::u16string_view instanceId);
DEVICE_POWER_STATE PnpQueryPowerState(std::u16string_view instanceId);

// Lets the idle time-out of a device pass at once (as if its timer fired); nothing happens while the
// device holds power references or has no idle policy.
NTSTATUS PnpIdleNow(std::u16string_view instanceId);
// System sleep (PowerSystemSleeping1..3 or PowerSystemHibernate) and resume, for every started stack.
NTSTATUS PnpSystemSleep(SYSTEM_POWER_STATE state);
NTSTATUS PnpSystemResume();
// The device signals wake while idle in Dx: the armed function driver sees the wake, and the stack
// returns to D0.
NTSTATUS PnpSignalWake(std::u16string_view instanceId);
// Changes a power setting; every callback registered for it is called with the new value, on the
// calling thread, before this returns.
void PnpSetPowerSetting(const GUID& setting, const void* value, ULONG length);

} // namespace host
