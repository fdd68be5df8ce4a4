// The process-wide string cache: recurring strings share one str object.
#pragma once

#include <cstdint>

#include "errors.hpp"
#include "py_ref.hpp"
#include "string_decoder.hpp"

namespace taldo {

class StringCache;

// The StringCache borrowed by one from_json call: empty until the first string
// that goes through the cache.
struct CacheCell {
    StringCache* cache = nullptr;
};

// A str equal to the decoded bytes, shared through the cache where its rules
// allow.
Result<PyRef> get_or_insert(CacheCell& cell, const DecodedString& s);

void give_back_instance(CacheCell& cell);

// Hands the call's instance, if any, back to the pool and empties the cell.
inline void give_back(CacheCell& cell) {
    if (cell.cache != nullptr) give_back_instance(cell);
}

// Empties every pooled instance.
void cache_clear();

// The number of occupied entries over all pooled instances.
uint64_t cache_usage();

}  // namespace taldo
