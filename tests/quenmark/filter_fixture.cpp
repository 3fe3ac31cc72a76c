// The filter test fixture (see filter_fixture.h).
#include "filter_fixture.h"

#include <host/host.h>
#include <host/image.h>
#include <host/loader.h>
#include <host/pool.h>

namespace quenmarktest
{

size_t FilterAllocations()
{
    size_t count = 0;
    for (const host::PoolAllocation& allocation : host::PoolLiveAllocations(host::ImageMain()))
        if (allocation.tag == FILTER_ALLOC_TAG || allocation.tag == FILTER_REQUEST_TAG)
            count++;
    return count;
}

void FilterTest::SetUp()
{
    Reset();
    host::DriverRegisterBuiltin(kService, DriverEntry);
    ASSERT_EQ(STATUS_SUCCESS, host::DriverLoad(kService, &driver));
}

void FilterTest::TearDown()
{
    host::Quiesce();
    edge.reset();
    Unload();
    EXPECT_EQ(0u, FilterAllocations());
    EXPECT_EQ(0, RunningWorkers());
}

NDIS_STATUS FilterTest::Attach(NDIS_MEDIUM medium)
{
    host::ndis::EdgeInfo info;
    info.medium = medium;
    edge = std::make_unique<peers::MiniportEdge>(&mbim, &os, info);
    os.Attach(edge->Edge());
    NDIS_STATUS status = host::ndis::BindAttach(edge->Edge(), kService);
    module = CurrentModule;
    return status;
}

void FilterTest::Settle(ULONG workingMode)
{
    module->SyncInProgress = 0;
    module->InitialSyncPending = 0;
    module->ModeFlags = MODE_FLAGS_TARGET;
    FilterSetWorkingMode(module, workingMode);
}

void FilterTest::Unload()
{
    if (host::DriverFind(kService) != nullptr)
        host::DriverUnload(kService);
    module = nullptr;
}

} // namespace quenmarktest
