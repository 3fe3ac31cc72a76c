// Stand-ins for the clock and pool that the executive provides; its strong definitions replace these
// when linked into the same library. Delete this file once both are in.
#include <wdm.h>

#include <stdlib.h>

extern "C" {

__attribute__((weak)) void KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = 0;
}

__attribute__((weak)) PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag)
{
    UNREFERENCED_PARAMETER(Flags);
    UNREFERENCED_PARAMETER(Tag);
    return calloc(1, NumberOfBytes != 0 ? NumberOfBytes : 1);
}

__attribute__((weak)) void ExFreePool(PVOID P)
{
    free(P);
}

} // extern "C"
