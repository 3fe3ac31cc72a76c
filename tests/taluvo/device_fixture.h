// A modem device for the driver's code under test: a framework driver linked into the test whose one
// device carries MBB_DEVICE_CONTEXT, is made the current device and, when asked, has a DMA enabler with
// the modem device's callbacks. Tear-down removes the device and expects no pool left behind.
#pragma once

#include <gtest/gtest.h>

#include <wdf.h>

#include <host/pnp.h>

#include "IpcContext.h"
#include "MbbDevice.h"

namespace taluvotest
{

class DeviceTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Overridden by fixtures whose device needs a DMA enabler.
    virtual bool WithDmaEnabler() const { return false; }
    // The device as its bus shows it; its least specific hardware id gets the test driver. Fixtures of a
    // device on the simulated PCI bus override it.
    virtual host::PnpBusDevice BusDevice();

    static WDFDEVICE Device();
    static PMBB_DEVICE_CONTEXT Context();
    static WDFDMAENABLER DmaEnabler();
    // Gives the device an IPC context as the glue's start leaves it (lists, locks, the watchdog timer)
    // without starting the host interface, and the COM bus's device lock; the context.
    static PIPC_CONTEXT AddIpcContext();
    // Removes the device (tear-down does it when the test did not).
    static void RemoveDevice();
};

} // namespace taluvotest
