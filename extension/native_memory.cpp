// The module's native allocator: the C library's, as it is.
#include "native_memory.hpp"

namespace taldo {

void* native_realloc(void* block, size_t size) {
    // A zero-sized block would come back as nullptr on some systems, which
    // reads as failure.
    return std::realloc(block, size != 0 ? size : 1);
}

void native_free(void* block) { std::free(block); }

}  // namespace taldo
