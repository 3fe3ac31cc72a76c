// Tasklets, work items, timers and system threads over framework objects. A deferred object gets its
// execution level and serialisation from a parent queue made for it alone; deleting the object deletes
// that queue with it, so objects made again after a reset do not pile up on the device.
#include "kal.h"

#include "CurrentDevice.h"

WDFQUEUE IpcCreateQueueSynchronizationParentObject(int level)
{
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    config.PowerManaged = WdfFalse;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = (WDF_EXECUTION_LEVEL)level;
    attributes.SynchronizationScope = WdfSynchronizationScopeQueue;
    WDFDEVICE device = IpcGetCurrentDevice(NULL);
    attributes.ParentObject = device;
    WDFQUEUE queue = NULL;
    NTSTATUS status = WdfIoQueueCreate(device, &config, &attributes, &queue);
    if (!NT_SUCCESS(status)) {
        ccci_err(KAL_TAG, "parent queue at level %d not created: %!STATUS!", level, status);
        return NULL;
    }
    return queue;
}

namespace
{

// Attributes of a deferred object: its context type and either its own new parent queue at `level`
// or, with level 0, the current device. False when the parent queue could not be made.
bool deferred_attributes(PWDF_OBJECT_ATTRIBUTES attributes, PCWDF_OBJECT_CONTEXT_TYPE_INFO context, int level)
{
    WDF_OBJECT_ATTRIBUTES_INIT(attributes);
    attributes->ContextTypeInfo = context;
    if (level == 0) {
        attributes->ParentObject = IpcGetCurrentDevice(NULL);
        return true;
    }
    attributes->ParentObject = IpcCreateQueueSynchronizationParentObject(level);
    return attributes->ParentObject != NULL;
}

// A failed creation leaves no parent queue behind.
NTSTATUS deferred_created(NTSTATUS status, const WDF_OBJECT_ATTRIBUTES& attributes, int level)
{
    if (!NT_SUCCESS(status) && level != 0)
        WdfObjectDelete(attributes.ParentObject);
    return status;
}

void timer_config(PWDF_TIMER_CONFIG config, PFN_WDF_TIMER func, bool high_resolution)
{
    WDF_TIMER_CONFIG_INIT(config, func);
    config->Period = 0;
    config->AutomaticSerialization = TRUE;
    config->TolerableDelay = 0;
    config->UseHighResolutionTimer = high_resolution ? TRUE : FALSE;
}

// Fills the context of a newly created object; a failed creation leaves nothing to fill.
NTSTATUS obj_context_set(NTSTATUS status, WDFOBJECT object, PVOID data, LONG value)
{
    if (NT_SUCCESS(status)) {
        PWWAN_OBJ_CONTEXT context = WdfObjectGet_WWAN_OBJ_CONTEXT(object);
        context->data = data;
        context->value = value;
    }
    return status;
}

// Objects with their own parent queue carry WWAN_OBJ_CONTEXT: those go with the queue.
void deferred_delete(WDFOBJECT object, WDFOBJECT parent)
{
    if (WdfObjectGetTypedContext(object, WWAN_OBJ_CONTEXT) != NULL)
        WdfObjectDelete(parent);
    else
        WdfObjectDelete(object);
}

} // namespace

NTSTATUS _tasklet_init(WDFDPC* tasklet, PFN_WDF_DPC func, PVOID data, LONG value)
{
    WDF_DPC_CONFIG config;
    WDF_DPC_CONFIG_INIT(&config, func);
    config.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES attributes;
    if (!deferred_attributes(&attributes, WDF_GET_CONTEXT_TYPE_INFO(WWAN_OBJ_CONTEXT),
                             IPC_QUEUE_LEVEL_DISPATCH))
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status =
        deferred_created(WdfDpcCreate(&config, &attributes, tasklet), attributes, IPC_QUEUE_LEVEL_DISPATCH);
    return obj_context_set(status, *tasklet, data, value);
}

NTSTATUS workitem_init(WDFWORKITEM* work, PFN_WDF_WORKITEM func, PVOID data, LONG value)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, func);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES attributes;
    if (!deferred_attributes(&attributes, WDF_GET_CONTEXT_TYPE_INFO(WWAN_OBJ_CONTEXT),
                             IPC_QUEUE_LEVEL_PASSIVE))
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status =
        deferred_created(WdfWorkItemCreate(&config, &attributes, work), attributes, IPC_QUEUE_LEVEL_PASSIVE);
    return obj_context_set(status, *work, data, value);
}

NTSTATUS win_create_timer(WDFTIMER* timer, PFN_WDF_TIMER func, bool high_resolution)
{
    WDF_TIMER_CONFIG config;
    timer_config(&config, func, high_resolution);
    WDF_OBJECT_ATTRIBUTES attributes;
    deferred_attributes(&attributes, NULL, 0);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    return WdfTimerCreate(&config, &attributes, timer);
}

NTSTATUS win_create_timer_ctx(WDFTIMER* timer, PFN_WDF_TIMER func, bool high_resolution, PVOID data)
{
    WDF_TIMER_CONFIG config;
    timer_config(&config, func, high_resolution);
    WDF_OBJECT_ATTRIBUTES attributes;
    if (!deferred_attributes(&attributes, WDF_GET_CONTEXT_TYPE_INFO(WWAN_OBJ_CONTEXT),
                             IPC_QUEUE_LEVEL_PASSIVE))
        return STATUS_INSUFFICIENT_RESOURCES;
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    NTSTATUS status =
        deferred_created(WdfTimerCreate(&config, &attributes, timer), attributes, IPC_QUEUE_LEVEL_PASSIVE);
    return obj_context_set(status, *timer, data, 0);
}

void _TIMER_EX_CB(WDFTIMER timer)
{
    PTIMER_CB_CONTEXT context = WdfObjectGet_TIMER_CB_CONTEXT(timer);
    if (context != NULL && context->timer != NULL && context->callback != NULL)
        context->callback(context->timer);
}

NTSTATUS win_create_timer_ex(WDFTIMER* timer, TIMER_EX_CALLBACK* func, bool high_resolution)
{
    WDF_TIMER_CONFIG config;
    timer_config(&config, _TIMER_EX_CB, high_resolution);
    WDF_OBJECT_ATTRIBUTES attributes;
    deferred_attributes(&attributes, WDF_GET_CONTEXT_TYPE_INFO(TIMER_CB_CONTEXT), 0);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    NTSTATUS status = WdfTimerCreate(&config, &attributes, timer);
    if (NT_SUCCESS(status)) {
        PTIMER_CB_CONTEXT context = WdfObjectGet_TIMER_CB_CONTEXT(*timer);
        context->timer = timer;
        context->callback = func;
    }
    return status;
}

void tasklet_kill(WDFDPC* tasklet)
{
    if (*tasklet == NULL)
        return;
    deferred_delete(*tasklet, WdfDpcGetParentObject(*tasklet));
    *tasklet = NULL;
}

void workitem_destroy(WDFWORKITEM* work)
{
    if (*work == NULL)
        return;
    deferred_delete(*work, WdfWorkItemGetParentObject(*work));
    *work = NULL;
}

void win_delete_timer(WDFTIMER* timer)
{
    if (*timer == NULL)
        return;
    deferred_delete(*timer, WdfTimerGetParentObject(*timer));
    *timer = NULL;
}

namespace
{

// Threads made here are counted until their routine returns, so the module's end can wait for them.
constexpr ULONG kThreadTag = 0x6854414Bu; // 'KATh'
volatile LONG g_live_threads;

struct thread_start {
    PKSTART_ROUTINE start;
    PVOID context;
};

PKEVENT threads_ended_event()
{
    static KEVENT event;
    static const bool ready = [] {
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        return true;
    }();
    (void)ready;
    return &event;
}

void thread_ended()
{
    if (InterlockedDecrement(&g_live_threads) == 0)
        KeSetEvent(threads_ended_event(), IO_NO_INCREMENT, FALSE);
}

void counted_thread(PVOID argument)
{
    thread_start start = *static_cast<thread_start*>(argument);
    win_free(argument, kThreadTag);
    start.start(start.context);
    thread_ended();
}

} // namespace

NTSTATUS win_create_thread(PHANDLE thread, PKSTART_ROUTINE start, PVOID context)
{
    auto* record = static_cast<thread_start*>(win_alloc(sizeof(thread_start), 0, kThreadTag));
    if (record == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    record->start = start;
    record->context = context;
    PKEVENT ended = threads_ended_event();
    InterlockedIncrement(&g_live_threads);
    KeClearEvent(ended);
    NTSTATUS status = PsCreateSystemThread(thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, counted_thread, record);
    if (!NT_SUCCESS(status)) {
        win_free(record, kThreadTag);
        thread_ended();
    }
    return status;
}

bool win_wait_threads_ended(LONGLONG timeout)
{
    PKEVENT ended = threads_ended_event();
    const ULONGLONG deadline = KeQueryInterruptTime() + (ULONGLONG)(timeout < 0 ? -timeout : timeout);
    for (;;) {
        // A set left over from an earlier last thread is cleared before the count is trusted.
        KeClearEvent(ended);
        if (ReadAcquire(&g_live_threads) == 0)
            return true;
        ULONGLONG now = KeQueryInterruptTime();
        if (now >= deadline)
            return false;
        LARGE_INTEGER due;
        due.QuadPart = -(LONGLONG)(deadline - now);
        KeWaitForSingleObject(ended, Executive, KernelMode, FALSE, &due);
    }
}
