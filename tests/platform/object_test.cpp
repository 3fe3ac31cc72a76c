// Handles and object references; list links that fail fast.
#include <gtest/gtest.h>

#include <host/object.h>
#include <wdm.h>

#include "host_test.h"

namespace {

struct Probe : host::Object {
    explicit Probe(bool* destroyed) : host::Object(host::ObjectKind::Other), destroyed(destroyed) {}
    ~Probe() override { *destroyed = true; }
    bool* destroyed;
};

TEST(Handles, ReferenceOutlivesCloseAndLastReferenceDestroys)
{
    bool destroyed = false;
    auto* probe = new Probe(&destroyed);
    HANDLE handle = host::HandleCreate(probe, KEY_READ);
    host::ObjectDereference(probe); // the handle keeps it alive

    PVOID body = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, KEY_QUERY_VALUE, nullptr, KernelMode, &body, nullptr));
    EXPECT_EQ(probe, body);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_FALSE(destroyed);
    ObDereferenceObject(body);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(handle));
}

TEST(Handles, TypeAndAccessAreChecked)
{
    bool destroyed = false;
    auto* probe = new Probe(&destroyed);
    HANDLE handle = host::HandleCreate(probe, KEY_QUERY_VALUE);
    host::ObjectDereference(probe);

    PVOID body = nullptr;
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
              ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &body, nullptr));
    EXPECT_EQ(STATUS_ACCESS_DENIED, ObReferenceObjectByHandle(handle, KEY_SET_VALUE, nullptr, KernelMode, &body, nullptr));
    EXPECT_EQ(STATUS_INVALID_HANDLE,
              ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7), 0, nullptr, KernelMode, &body, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_TRUE(destroyed);
}

TEST(Handles, DereferencingSomethingThatIsNoObjectIsReported)
{
    hosttest::ExpectReport expect(host::Check::InvalidParameter);
    int notAnObject = 0;
    ObDereferenceObject(&notAnObject);
}

TEST(Lists, InsertRemoveKeepOrder)
{
    LIST_ENTRY head, a, b, c;
    InitializeListHead(&head);
    InsertTailList(&head, &b);
    InsertHeadList(&head, &a);
    InsertTailList(&head, &c);
    EXPECT_EQ(&a, RemoveHeadList(&head));
    EXPECT_EQ(&c, RemoveTailList(&head));
    EXPECT_TRUE(RemoveEntryList(&b));
    EXPECT_TRUE(IsListEmpty(&head));
}

TEST(ListsDeathTest, CorruptedLinksFailFast)
{
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    InsertTailList(&head, &a);
    InsertTailList(&head, &b);
    a.Flink = &head; // b is no longer reachable forwards: its neighbours disagree
    EXPECT_DEATH(RemoveEntryList(&b), "fast fail");
}

} // namespace
