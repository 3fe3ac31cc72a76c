// The host side of the emulated COM objects and of the Mobile Broadband API: the mobile-broadband
// interfaces present, their radio states, injected failures and the sinks advised on the events.
#pragma once

#include <mbnapi.h>

#include <functional>
#include <string>
#include <string_view>

namespace host {

// COM objects of the emulation still alive (referenced).
long ComLiveObjects();
// The calling process's next `count` CoCreateInstance calls fail with `result`.
void ComFailNextCreateInstance(ULONG count, HRESULT result);

// Interfaces: each change raises its event (OnInterfaceArrival, OnInterfaceRemoval,
// OnRadioStateChange) on every advised sink, on a thread of the API (registered with the host clock),
// in the process that advised the sink; events are delivered in the order they were raised.
void MbnAddInterface(std::u16string_view id, MBN_RADIO software, MBN_RADIO hardware);
void MbnRemoveInterface(std::u16string_view id);
void MbnSetRadioState(std::u16string_view id, MBN_RADIO software, MBN_RADIO hardware);
// Whether every event raised so far has been delivered.
bool MbnEventsDelivered();

// Failures of one interface's objects (S_OK: none): its query for IID_IMbnRadio and its two radio reads.
struct MbnInterfaceFailures {
    HRESULT radioQuery = S_OK;
    HRESULT softwareState = S_OK;
    HRESULT hardwareState = S_OK;
};
void MbnSetInterfaceFailures(std::u16string_view id, const MbnInterfaceFailures& failures);
// The next `count` GetInterfaces calls fail with `result`.
void MbnFailGetInterfaces(ULONG count, HRESULT result);
// What GetInterfaces answers while no interface is present: the real API's answer without a device is
// taken to be a failure, HRESULT_FROM_WIN32(ERROR_NOT_FOUND) (the default); S_OK gives an empty array.
void MbnSetNoInterfaceResult(HRESULT result);
// FindConnectionPoint for the event interface fails with `result` (S_OK: succeeds again).
void MbnFailFindConnectionPoint(REFIID events, HRESULT result);
// Runs during every later GetInterfaces call, before it answers (empty: none).
void MbnOnGetInterfaces(std::function<void()> hook);
// Sinks advised on the event interface and not yet unadvised.
size_t MbnAdvisedSinks(REFIID events);

} // namespace host
