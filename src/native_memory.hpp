// Every block of native memory the core allocates goes through here.
//
// Nothing in a call may throw: the first C++ exception of a thread needs the
// runtime's thread-local data, which for a module loaded at run time is
// allocated on first use, and when memory is exhausted that allocation
// aborts the process. So the core never uses operator new (whose nothrow form
// throws and catches inside) or a standard container that allocates; it
// allocates with these, which report exhaustion by returning nullptr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace taldo {

// realloc's contract: `block` nullptr allocates, otherwise the block is moved
// or grown; nullptr when memory is exhausted (the block is then unchanged).
// Defined, with native_free, by each module that links the core: the test
// module's versions make an allocation fail on purpose and count the blocks
// that are live.
void* native_realloc(void* block, size_t size);

// Frees a block of native_realloc (nullptr is ignored).
void native_free(void* block);

inline void* native_malloc(size_t size) { return native_realloc(nullptr, size); }

inline void* native_calloc(size_t count, size_t size) {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    void* block = native_malloc(count * size);
    if (block != nullptr) std::memset(block, 0, count * size);
    return block;
}

}  // namespace taldo
