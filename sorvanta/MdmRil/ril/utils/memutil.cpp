#include "memutil.h"

#include "os_util.h"
#include "ril_trace.h"

#include <atomic>
#include <stdlib.h>

namespace {

std::atomic<long> s_liveBlocks{0};
thread_local int t_failAfter = -1;

bool InjectedFailure()
{
    if (t_failAfter < 0)
        return false;
    if (t_failAfter-- > 0)
        return false;
    return true;
}

} // namespace

void* memutil_alloc(size_t size, const char* file, unsigned line)
{
    void* block = InjectedFailure() ? nullptr : malloc(size);
    if (block != nullptr)
        s_liveBlocks.fetch_add(1, std::memory_order_relaxed);
    RIL_TRACE(RIL_MASK_MEMORY, "%s: mem = %p %s:%u\n", "memutil_alloc", block, file ? file : "", line);
    // A failed allocation leaves the zero-fill to refuse the null block and say so.
    os_util::memset_n(block, size, 0, size);
    return block;
}

int memutil_free(void** pointer, const char* file, unsigned line)
{
    if (pointer == nullptr || *pointer == nullptr) {
        RIL_TRACE(RIL_MASK_ERROR, "Attempt to free NULL pointer from %s:%u\n", file ? file : "NULL", line);
        return 1;
    }
    RIL_TRACE(RIL_MASK_MEMORY, "%s: mem = %p %s:%u\n", "memutil_free", *pointer, file ? file : "", line);
    free(*pointer);
    *pointer = nullptr;
    s_liveBlocks.fetch_sub(1, std::memory_order_relaxed);
    return 1;
}

void memutil_cleanup(void)
{
}

long memutil_live_blocks(void)
{
    return s_liveBlocks.load(std::memory_order_relaxed);
}

void memutil_inject_failure(int skip)
{
    t_failAfter = skip;
}
