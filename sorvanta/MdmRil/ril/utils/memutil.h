// Heap blocks of the procedural layer: zero-filled, traced with the call site, released through the
// owner's pointer so that it cannot be used again.
#pragma once

#include <stddef.h>

void* memutil_alloc(size_t size, const char* file, unsigned line);
// Frees *pointer and clears it; a null address or pointer is only traced. Always 1.
int memutil_free(void** pointer, const char* file, unsigned line);
void memutil_cleanup(void);

// Blocks allocated and not yet freed, process-wide.
long memutil_live_blocks(void);
// Makes the calling thread's allocation after `skip` more succeed fail (once); -1 cancels.
void memutil_inject_failure(int skip);

#define MEMUTIL_ALLOC(size) memutil_alloc((size), __FILE__, __LINE__)
// Frees through any object pointer.
#define MEMUTIL_FREE(pointer) memutil_free(reinterpret_cast<void**>(&(pointer)), __FILE__, __LINE__)
