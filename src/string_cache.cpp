#include "string_cache.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

#include "compiler.hpp"
#include "native_memory.hpp"
#include "python.hpp"

namespace taldo {

namespace {

constexpr size_t TABLE_SIZE = StringCache::ENTRIES + StringCache::PROBE_WINDOW - 1;

}  // namespace

StringCache* StringCache::create() {
    auto* entries = static_cast<CacheEntry*>(native_calloc(TABLE_SIZE, sizeof(CacheEntry)));
    if (entries == nullptr) {
        return nullptr;
    }
    // Not operator new: even its nothrow form throws and catches inside.
    void* block = native_malloc(sizeof(StringCache));
    if (block == nullptr) {
        native_free(entries);
        return nullptr;
    }
    auto* cache = new (block) StringCache();
    cache->keys_ = new_hash_keys();
    cache->entries_ = entries;
    return cache;
}

StringCache::~StringCache() {
    clear();
    native_free(entries_);
}

void StringCache::destroy(StringCache* cache) {
    if (cache == nullptr) {
        return;
    }
    cache->~StringCache();
    native_free(cache);
}

void StringCache::clear() {
    for (size_t i = 0; i < ENTRIES; ++i) {
        CacheEntry& entry = entries_[i];
        entry.hash = 0;
        Py_CLEAR(entry.str);
    }
    used_ = 0;
}

uint64_t StringCache::usage() const {
    uint64_t used = 0;
    for (size_t i = 0; i < ENTRIES; ++i) {
        used += entries_[i].str != nullptr ? 1 : 0;
    }
    return used;
}

bool StringCache::holds_utf8(PyObject* str, const DecodedString& s) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) [[unlikely]] {
        PyErr_Clear();
        return false;
    }
    return static_cast<uint64_t>(size) == s.length &&
           detail::same_short_bytes(reinterpret_cast<const uint8_t*>(utf8), s.bytes, s.length);
}

void StringCache::start_call() {
    hits_ = 0;
    misses_ = 0;
    quiet_ = false;
    ++quiet_strings_;
}

inline void StringCache::count_miss() {
    if (++misses_ == MISSES_PER_WINDOW) {
        quiet_ = hits_ < HITS_PER_WINDOW;
        hits_ = 0;
        misses_ = 0;
    }
}

inline PyObject* StringCache::store(CacheEntry& entry, uint64_t h, const DecodedString& s) {
    Result<PyRef> made = make_py_str(s);
    if (!made.ok()) [[unlikely]] {
        // make_py_str has reported the Python error.
        return nullptr;
    }
    PyObject* str = made.value().release();
    PyObject* previous = entry.str;
    Py_INCREF(str);  // the table's reference
    entry.hash = h;
    entry.str = str;
    if (previous == nullptr) {
        ++used_;
    } else {
        count_miss();
        Py_DECREF(previous);
    }
    return str;
}

TALDO_NOINLINE void StringCache::wake_if_recurring() {
    if (hits_ >= HITS_PER_WINDOW) {
        quiet_ = false;
        hits_ = 0;
        misses_ = 0;
    }
}

TALDO_NOINLINE PyObject* StringCache::store_new(const DecodedString& s, uint64_t h) {
    const uint64_t home = h & INDEX_MASK;
    // The first empty entry of the window, never past the last entry; when
    // every entry holds another string, the newest one takes the home entry.
    CacheEntry* target = &entries_[home];
    if (used_ < ENTRIES) {
        const uint64_t last = home + PROBE_WINDOW <= ENTRIES ? home + PROBE_WINDOW : ENTRIES;
        for (uint64_t i = home; i < last; ++i) {
            if (entries_[i].str == nullptr) {
                target = &entries_[i];
                break;
            }
        }
    }
    return store(*target, h, s);
}

// Entry by entry, as the inline lookup would go if it could stop at an empty
// entry. The inline lookup may skip empty entries because an entry, once
// occupied, is only emptied together with all others: a string never sits
// behind an empty entry of its own window.
TALDO_NOINLINE PyObject* StringCache::find_or_store(const DecodedString& s, uint64_t h) {
    const uint64_t home = h & INDEX_MASK;
    const uint64_t last = home + PROBE_WINDOW <= ENTRIES ? home + PROBE_WINDOW : ENTRIES;
    CacheEntry* target = &entries_[home];
    for (uint64_t i = home; i < last; ++i) {
        CacheEntry& entry = entries_[i];
        if (entry.str == nullptr) {
            target = &entry;
            break;
        }
        if (entry.hash == h && holds(entry.str, s)) {
            ++hits_;
            Py_INCREF(entry.str);
            return entry.str;
        }
    }
    return store(*target, h, s);
}

StringCachePool::~StringCachePool() {
    for (auto& slot : slots_) {
        StringCache::destroy(slot.exchange(nullptr));
    }
}

StringCache* StringCachePool::take() {
    for (auto& slot : slots_) {
        if (StringCache* cache = slot.exchange(nullptr)) {
            return cache;
        }
    }
    return nullptr;
}

void StringCachePool::give_back(StringCache* cache) {
    for (auto& slot : slots_) {
        StringCache* expected = nullptr;
        if (slot.compare_exchange_strong(expected, cache)) {
            return;
        }
    }
    StringCache::destroy(cache);
}

// Runs `work` on every pooled instance, each taken out of its slot meanwhile
// and put back into the same slot if that is still empty (otherwise it is
// destroyed).
template <class Work>
void StringCachePool::for_each_pooled(Work work) {
    for (auto& slot : slots_) {
        if (StringCache* cache = slot.exchange(nullptr)) {
            work(*cache);
            StringCache* expected = nullptr;
            if (!slot.compare_exchange_strong(expected, cache)) {
                StringCache::destroy(cache);
            }
        }
    }
}

void StringCachePool::clear() {
    for_each_pooled([](StringCache& cache) { cache.clear(); });
}

uint64_t StringCachePool::usage() {
    uint64_t used = 0;
    for_each_pooled([&used](const StringCache& cache) { used += cache.usage(); });
    return used;
}

namespace detail {

TALDO_NOINLINE PyObject* make_uncached_str(const DecodedString& s) {
    Result<PyRef> made = make_py_str(s);
    return made.ok() ? made.value().release() : nullptr;
}

// The call's first string for the cache.
TALDO_NOINLINE PyObject* get_or_insert_first(CacheCell& cell, const DecodedString& s) {
    StringCache* cache = cell.pool->take();
    if (cache == nullptr) {
        cache = StringCache::create();
        if (cache == nullptr) {
            return make_uncached_str(s);
        }
    }
    cache->start_call();
    cell.cache = cache;
    return cache->get_or_insert(s);
}

}  // namespace detail

ParseError str_fault() { return ParseError::fatal("could not create a str"); }

}  // namespace taldo
