// Framework objects: contexts, the parent/child tree, deletion order, references, the driver object,
// locks and memory objects.
#include <gtest/gtest.h>

#include <host/host.h>
#include <wdf.h>

#include <string>
#include <vector>

#include "host_test.h"

namespace
{

struct COUNTER_CONTEXT {
    int value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(COUNTER_CONTEXT, GetCounter)

struct NAME_CONTEXT {
    const char* name;
};
WDF_DECLARE_CONTEXT_TYPE(NAME_CONTEXT)

std::vector<std::string> g_events;

void RecordCleanup(WDFOBJECT object)
{
    g_events.push_back(std::string("cleanup ") + WdfObjectGet_NAME_CONTEXT(object)->name);
}
void RecordDestroy(WDFOBJECT object)
{
    g_events.push_back(std::string("destroy ") + WdfObjectGet_NAME_CONTEXT(object)->name);
}
void RecordUnload(WDFDRIVER)
{
    g_events.push_back("unload");
}

// A driver object for the test image, unloaded at the end of each test.
class FrameworkTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        g_events.clear();
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, nullptr);
        config.EvtDriverUnload = RecordUnload;
        ASSERT_EQ(STATUS_SUCCESS, WdfDriverCreate(&driverObject_, &registryPath_, WDF_NO_OBJECT_ATTRIBUTES,
                                                  &config, &driver_));
    }
    void TearDown() override
    {
        if (driverObject_.DriverUnload != nullptr)
            driverObject_.DriverUnload(&driverObject_);
    }

    WDFOBJECT Named(const char* name, WDFOBJECT parent)
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NAME_CONTEXT);
        attributes.ParentObject = parent;
        attributes.EvtCleanupCallback = RecordCleanup;
        attributes.EvtDestroyCallback = RecordDestroy;
        WDFOBJECT object = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, WdfObjectCreate(&attributes, &object));
        WdfObjectGet_NAME_CONTEXT(object)->name = name;
        return object;
    }

    DRIVER_OBJECT driverObject_{};
    UNICODE_STRING registryPath_ =
        RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\FxTest");
    WDFDRIVER driver_ = nullptr;
};

TEST_F(FrameworkTest, DriverIsFoundByImageAndKeepsItsRegistryPath)
{
    EXPECT_EQ(driver_, WdfGetDriver());
    EXPECT_EQ(&driverObject_, WdfDriverWdmGetDriverObject(driver_));
    EXPECT_EQ(std::u16string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\FxTest"),
              std::u16string(WdfDriverGetRegistryPath(driver_)));
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    DRIVER_OBJECT second{};
    WDFDRIVER other;
    EXPECT_FALSE(NT_SUCCESS(WdfDriverCreate(&second, &registryPath_, nullptr, &config, &other)));
}

TEST_F(FrameworkTest, ContextsAreTypedAndLeadBackToTheirObject)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, COUNTER_CONTEXT);
    WDFOBJECT object;
    ASSERT_EQ(STATUS_SUCCESS, WdfObjectCreate(&attributes, &object));
    COUNTER_CONTEXT* counter = GetCounter(object);
    ASSERT_NE(nullptr, counter);
    EXPECT_EQ(0, counter->value); // contexts start zeroed
    EXPECT_EQ(object, WdfObjectContextGetObject(counter));
    EXPECT_EQ(nullptr, WdfObjectGet_NAME_CONTEXT(object));

    WDF_OBJECT_ATTRIBUTES more;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&more, NAME_CONTEXT);
    PVOID added = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, WdfObjectAllocateContext(object, &more, &added));
    EXPECT_EQ(added, WdfObjectGet_NAME_CONTEXT(object));
    PVOID again = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, WdfObjectAllocateContext(object, &attributes, &again));
    EXPECT_EQ(static_cast<PVOID>(counter), again);
    WdfObjectDelete(object);
}

TEST_F(FrameworkTest, DeletionRunsChildrenFirstAndCleanupBeforeDestroy)
{
    WDFOBJECT parent = Named("parent", driver_);
    Named("older", parent);
    WDFOBJECT newer = Named("newer", parent);
    WdfObjectReference(newer); // holds back only its destroy callback
    WdfObjectDelete(parent);
    EXPECT_EQ((std::vector<std::string>{"cleanup newer", "cleanup older", "destroy older", "cleanup parent",
                                        "destroy parent"}),
              g_events);
    WdfObjectDereference(newer);
    EXPECT_EQ("destroy newer", g_events.back());
}

TEST_F(FrameworkTest, DriverUnloadDeletesWhatIsParentedToIt)
{
    Named("child", nullptr); // the driver is the default parent
    driverObject_.DriverUnload(&driverObject_);
    driverObject_.DriverUnload = nullptr;
    EXPECT_EQ((std::vector<std::string>{"unload", "cleanup child", "destroy child"}), g_events);
    EXPECT_EQ(nullptr, WdfGetDriver());
}

TEST_F(FrameworkTest, DeletingTwiceIsReported)
{
    WDFOBJECT held = Named("held", driver_);
    WdfObjectReference(held);
    WdfObjectDelete(held);
    {
        hosttest::ExpectReport expect(host::Check::ObjectDeletedTwice);
        WdfObjectDelete(held); // still referenced: known to be deleted
    }
    WdfObjectDereference(held);
    hosttest::ExpectReport expect(host::Check::ObjectDeletedTwice);
    WdfObjectDelete(held); // gone altogether
}

TEST_F(FrameworkTest, MemoryCopiesAreBoundsChecked)
{
    WDFMEMORY memory;
    PVOID buffer;
    ASSERT_EQ(STATUS_SUCCESS, WdfMemoryCreate(nullptr, NonPagedPoolNx, 0x6d656d54, 8, &memory, &buffer));
    size_t size = 0;
    EXPECT_EQ(buffer, WdfMemoryGetBuffer(memory, &size));
    EXPECT_EQ(8u, size);

    char data[9] = "abcdefgh";
    struct {
        size_t offset;
        size_t length;
        NTSTATUS expected;
    } cases[] = {
        {0, 8, STATUS_SUCCESS},          {4, 4, STATUS_SUCCESS}, {5, 4, STATUS_BUFFER_TOO_SMALL},
        {9, 0, STATUS_BUFFER_TOO_SMALL}, {8, 0, STATUS_SUCCESS}, {SIZE_MAX, 2, STATUS_BUFFER_TOO_SMALL},
    };
    for (auto& c : cases) {
        EXPECT_EQ(c.expected, WdfMemoryCopyFromBuffer(memory, c.offset, data, c.length))
            << c.offset << "+" << c.length;
        EXPECT_EQ(c.expected, WdfMemoryCopyToBuffer(memory, c.offset, data, c.length))
            << c.offset << "+" << c.length;
    }
    char out[8];
    ASSERT_EQ(STATUS_SUCCESS, WdfMemoryCopyFromBuffer(memory, 0, data, 8));
    ASSERT_EQ(STATUS_SUCCESS, WdfMemoryCopyToBuffer(memory, 2, out, 3));
    EXPECT_EQ(0, memcmp(out, "cde", 3));
    WdfObjectDelete(memory);

    char own[4];
    WDFMEMORY wrapped;
    ASSERT_EQ(STATUS_SUCCESS, WdfMemoryCreatePreallocated(nullptr, own, sizeof(own), &wrapped));
    EXPECT_EQ(own, WdfMemoryGetBuffer(wrapped, nullptr));
    WdfObjectDelete(wrapped); // the caller's buffer is not freed
    EXPECT_EQ(STATUS_INVALID_PARAMETER, WdfMemoryCreate(nullptr, NonPagedPoolNx, 0, 0, &memory, nullptr));
}

TEST_F(FrameworkTest, SpinLockRaisesToDispatchAndWaitLockTimesOut)
{
    WDFSPINLOCK spin;
    ASSERT_EQ(STATUS_SUCCESS, WdfSpinLockCreate(nullptr, &spin));
    WdfSpinLockAcquire(spin);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    WdfSpinLockRelease(spin);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    WDFWAITLOCK wait;
    ASSERT_EQ(STATUS_SUCCESS, WdfWaitLockCreate(nullptr, &wait));
    EXPECT_EQ(STATUS_SUCCESS, WdfWaitLockAcquire(wait, nullptr));
    LONGLONG poll = 0;
    EXPECT_EQ(STATUS_TIMEOUT, WdfWaitLockAcquire(wait, &poll));
    LONGLONG tenMs = WDF_REL_TIMEOUT_IN_MS(10);
    LONGLONG before = host::ClockNow();
    EXPECT_EQ(STATUS_TIMEOUT, WdfWaitLockAcquire(wait, &tenMs));
    EXPECT_EQ(before + 10 * 10000, host::ClockNow());
    WdfWaitLockRelease(wait);
    EXPECT_EQ(STATUS_SUCCESS, WdfWaitLockAcquire(wait, &poll));
    WdfWaitLockRelease(wait);
}

TEST_F(FrameworkTest, BadHandlesAreReported)
{
    hosttest::ExpectReport expect(host::Check::InvalidParameter);
    WDFSPINLOCK notALock = reinterpret_cast<WDFSPINLOCK>(driver_);
    WdfSpinLockAcquire(notALock);
}

// A handle used a moment ago is still checked once its object is gone.
TEST_F(FrameworkTest, AHandleUsedBeforeItsDeletionIsReportedAfterIt)
{
    WDFSPINLOCK lock = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, WdfSpinLockCreate(nullptr, &lock));
    WdfSpinLockAcquire(lock);
    WdfSpinLockRelease(lock);
    WdfObjectDelete(lock);
    hosttest::ExpectReport expect(host::Check::InvalidParameter);
    WdfSpinLockAcquire(lock);
}

} // namespace
