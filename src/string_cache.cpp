#include "string_cache.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "keyed_hash.hpp"
#include "python.hpp"

namespace taldo {

namespace {

constexpr size_t ENTRIES = 16384;
constexpr uint64_t INDEX_MASK = ENTRIES - 1;
constexpr size_t PROBE_WINDOW = 5;
constexpr uint64_t MIN_CACHED = 2;
constexpr uint64_t MAX_CACHED = 63;
constexpr size_t POOL_SLOTS = 8;

struct CacheEntry {
    uint64_t hash;
    PyObject* str;  // owned; nullptr marks an empty entry
};

}  // namespace

// A fixed table of recently made str objects, keyed by a hash of their UTF-8
// bytes. Whoever holds an instance (one call's cache cell, or cache_clear and
// cache_usage while they work on it) is its only user.
class StringCache {
public:
    StringCache() : keys_(new_hash_keys()) {
        entries_ = static_cast<CacheEntry*>(std::calloc(ENTRIES, sizeof(CacheEntry)));
    }
    StringCache(const StringCache&) = delete;
    StringCache& operator=(const StringCache&) = delete;
    ~StringCache() {
        clear();
        std::free(entries_);
    }

    bool usable() const { return entries_ != nullptr; }

    Result<PyRef> get_or_insert(const DecodedString& s) {
        const uint64_t h = keyed_hash(keys_, s.bytes, s.length);
        const uint64_t home = h & INDEX_MASK;
        const uint64_t last = home + PROBE_WINDOW <= ENTRIES ? home + PROBE_WINDOW : ENTRIES;
        for (uint64_t i = home; i < last; ++i) {
            CacheEntry& entry = entries_[i];
            if (entry.str == nullptr) {
                return store(entry, h, s);
            }
            if (entry.hash == h && holds(entry.str, s)) [[likely]] {
                return PyRef::borrow(entry.str);
            }
        }
        // Every probed entry holds another string: the newest one takes the
        // home entry.
        return store(entries_[home], h, s);
    }

    void clear() {
        for (size_t i = 0; i < ENTRIES; ++i) {
            Py_CLEAR(entries_[i].str);
        }
    }

    uint64_t usage() const {
        uint64_t used = 0;
        for (size_t i = 0; i < ENTRIES; ++i) {
            used += entries_[i].str != nullptr ? 1 : 0;
        }
        return used;
    }

private:
    // Whether the stored str has exactly the decoded bytes. The stored hash
    // has already matched.
    static bool holds(PyObject* str, const DecodedString& s) {
        // A compact ASCII str holds its UTF-8 bytes itself: no call needed.
        if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
            return static_cast<uint64_t>(PyUnicode_GET_LENGTH(str)) == s.length &&
                   same_bytes(static_cast<const uint8_t*>(PyUnicode_DATA(str)), s.bytes, s.length);
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
        if (utf8 == nullptr) [[unlikely]] {
            PyErr_Clear();
            return false;
        }
        return static_cast<uint64_t>(size) == s.length &&
               same_bytes(reinterpret_cast<const uint8_t*>(utf8), s.bytes, s.length);
    }

    // For the at most 63 bytes of a cached string, eight at a time.
    static bool same_bytes(const uint8_t* a, const uint8_t* b, uint64_t n) {
        uint64_t i = 0;
        for (; i + 8 <= n; i += 8) {
            if (detail::load64(a + i) != detail::load64(b + i)) return false;
        }
        for (; i < n; ++i) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }

    static Result<PyRef> store(CacheEntry& entry, uint64_t h, const DecodedString& s) {
        Result<PyRef> made = make_py_str(s);
        if (!made.ok()) [[unlikely]] {
            return made;
        }
        PyObject* previous = entry.str;
        entry.hash = h;
        entry.str = PyRef::borrow(made.value().get()).release();
        Py_XDECREF(previous);
        return made;
    }

    HashKeys keys_;
    CacheEntry* entries_ = nullptr;
};

namespace {

// Instances survive between calls here. The slots are atomic so that taking
// and giving back needs no lock.
std::atomic<StringCache*> pool[POOL_SLOTS];

StringCache* take_from_pool() {
    for (auto& slot : pool) {
        if (StringCache* cache = slot.exchange(nullptr)) {
            return cache;
        }
    }
    return nullptr;
}

// Puts the instance back into `slot` if that is still empty; otherwise the
// instance is destroyed.
void put_back(std::atomic<StringCache*>& slot, StringCache* cache) {
    StringCache* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, cache)) {
        delete cache;
    }
}

// Runs `work` on every pooled instance, each taken out of its slot meanwhile.
template <class Work>
void for_each_pooled(Work work) {
    for (auto& slot : pool) {
        if (StringCache* cache = slot.exchange(nullptr)) {
            work(*cache);
            put_back(slot, cache);
        }
    }
}

}  // namespace

Result<PyRef> get_or_insert(CacheCell& cell, const DecodedString& s) {
    if (s.length < MIN_CACHED || s.length > MAX_CACHED) {
        return make_py_str(s);
    }
    if (cell.cache == nullptr) [[unlikely]] {
        StringCache* cache = take_from_pool();
        if (cache == nullptr) {
            cache = new StringCache();
            if (!cache->usable()) {
                delete cache;
                return make_py_str(s);
            }
        }
        cell.cache = cache;
    }
    return cell.cache->get_or_insert(s);
}

void give_back_instance(CacheCell& cell) {
    StringCache* cache = cell.cache;
    cell.cache = nullptr;
    if (cache == nullptr) {
        return;
    }
    for (auto& slot : pool) {
        StringCache* expected = nullptr;
        if (slot.compare_exchange_strong(expected, cache)) {
            return;
        }
    }
    delete cache;
}

void cache_clear() {
    for_each_pooled([](StringCache& cache) { cache.clear(); });
}

uint64_t cache_usage() {
    uint64_t used = 0;
    for_each_pooled([&used](const StringCache& cache) { used += cache.usage(); });
    return used;
}

}  // namespace taldo
