#include "queue_create.h"

#include <atomic>

namespace
{

std::atomic<int> g_failures{0};
std::atomic<int> g_skip{0};

} // namespace

void doubles::FailQueueCreates(int count, int skip)
{
    g_skip = skip;
    g_failures = count;
}

extern "C" NTSTATUS __real_WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                            PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue);

extern "C" NTSTATUS __wrap_WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                            PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue)
{
    if (g_failures.load() > 0 && g_skip-- <= 0) {
        g_failures--;
        *Queue = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return __real_WdfIoQueueCreate(Device, Config, QueueAttributes, Queue);
}
