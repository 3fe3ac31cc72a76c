// A filter linked into the test and loaded as a driver, a miniport edge over a fake MBIM host below it
// and the scripted OS service above it.
#pragma once

#include "filter.h"
#include "miniport_edge.h"
#include "os_peer.h"
#include "quenmark_doubles.h"

#include <gtest/gtest.h>

#include <memory>

namespace quenmarktest
{

inline constexpr std::u16string_view kService = u"Quenmark";

// Live allocations of the filter's tags (the driver is linked into the test's image).
size_t FilterAllocations();

class FilterTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Creates an edge of `medium` and asks the binding engine to attach the filter above it.
    NDIS_STATUS Attach(NDIS_MEDIUM medium = NdisMediumWirelessWan);
    // The attached module, out of its first synchronisation, in the given mode (2 or 4), flags 3.
    void Settle(ULONG workingMode);
    // Unloads the driver: the binding engine detaches every module on the way.
    void Unload();

    peers::FakeMbimHost mbim;
    peers::OsPeer os;
    std::unique_ptr<peers::MiniportEdge> edge;
    PDRIVER_OBJECT driver = nullptr;
    PFILTER_MODULE_CONTEXT module = nullptr;
};

} // namespace quenmarktest
