// The string cache: recurring strings share one str object.
//
// A lookup that finds its string is inline in the value builder: one hash, at
// most five compares of stored hashes, one byte comparison and a reference.
// Everything else (a new string, taking an instance from the pool, strings
// the cache does not keep) is out of line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "compiler.hpp"
#include "errors.hpp"
#include "keyed_hash.hpp"
#include "py_ref.hpp"
#include "string_decoder.hpp"

namespace taldo {

namespace detail {

// make_py_str for get_or_insert: nullptr when it failed.
PyObject* make_uncached_str(const DecodedString& s);

// Whether two byte ranges of the same length n, 2 <= n <= 63, are equal.
// Every load is one of a few overlapping words inside [0, n) of both ranges:
// past the end of a str's data there is only its NUL, past a decoded string
// perhaps nothing at all.
TALDO_ALWAYS_INLINE bool same_short_bytes(const uint8_t* a, const uint8_t* b, uint64_t n) {
    uint64_t diff;
    if (n <= 16) {
        if (n >= 8) {
            diff = (load64(a) ^ load64(b)) | (load64(a + n - 8) ^ load64(b + n - 8));
        } else if (n >= 4) {
            diff = (load32(a) ^ load32(b)) | (load32(a + n - 4) ^ load32(b + n - 4));
        } else {
            diff = (load16(a) ^ load16(b)) | (load16(a + n - 2) ^ load16(b + n - 2));
        }
    } else if (n <= 32) {
        diff = (load64(a) ^ load64(b)) | (load64(a + 8) ^ load64(b + 8)) | (load64(a + n - 16) ^ load64(b + n - 16)) |
               (load64(a + n - 8) ^ load64(b + n - 8));
    } else {
        diff = (load64(a) ^ load64(b)) | (load64(a + 8) ^ load64(b + 8)) | (load64(a + 16) ^ load64(b + 16)) |
               (load64(a + 24) ^ load64(b + 24)) | (load64(a + n - 32) ^ load64(b + n - 32)) |
               (load64(a + n - 24) ^ load64(b + n - 24)) | (load64(a + n - 16) ^ load64(b + n - 16)) |
               (load64(a + n - 8) ^ load64(b + n - 8));
    }
    return diff == 0;
}

}  // namespace detail

struct CacheEntry {
    uint64_t hash;  // meaningless while the entry is empty
    PyObject* str;  // owned; nullptr marks an empty entry
};

// A fixed table of recently made str objects, keyed by a hash of their UTF-8
// bytes. Whoever holds an instance (one call's cache cell, or cache_clear and
// cache_usage while they work on it) is its only user.
class StringCache {
public:
    static constexpr size_t ENTRIES = 16384;
    static constexpr uint64_t INDEX_MASK = ENTRIES - 1;
    static constexpr size_t PROBE_WINDOW = 5;
    static constexpr uint64_t MIN_CACHED = 2;
    static constexpr uint64_t MAX_CACHED = 63;

    // nullptr when the table cannot be allocated.
    static StringCache* create();
    // Releases what `create` made.
    static void destroy(StringCache* cache);
    StringCache(const StringCache&) = delete;
    StringCache& operator=(const StringCache&) = delete;
    ~StringCache();

    // A new reference to a str of the decoded bytes, which are 2 to 63 long;
    // nullptr when a str could not be made (see get_or_insert).
    TALDO_ALWAYS_INLINE PyObject* get_or_insert(const DecodedString& s) {
        const uint64_t h = detail::keyed_hash_2_to_64(keys_, s.bytes, s.length);
        // A window near the end runs into the padding after the last entry,
        // which stays empty: a hash that matches there goes the long way.
        const CacheEntry* window = entries_ + (h & INDEX_MASK);
        const CacheEntry* candidate;
        if (window[0].hash == h) {
            candidate = window;
        } else if (window[1].hash == h) {
            candidate = window + 1;
        } else if (window[2].hash == h) {
            candidate = window + 2;
        } else if (window[3].hash == h) {
            candidate = window + 3;
        } else if (window[4].hash == h) {
            candidate = window + 4;
        } else {
            return store_new(s, h);
        }
        PyObject* str = candidate->str;
        if (str != nullptr && holds(str, s)) [[likely]] {
            ++hits_;
            Py_INCREF(str);
            return str;
        }
        return find_or_store(s, h);
    }

    // Whether a quiet cache lets this string pass by, to be made without it
    // (see MISSES_PER_WINDOW).
    TALDO_ALWAYS_INLINE bool passes_by() {
        if (!quiet_) [[likely]] {
            return false;
        }
        if (++quiet_strings_ % LOOK_EVERY != 0) {
            return true;
        }
        wake_if_recurring();
        return false;
    }

    void clear();
    uint64_t usage() const;
    // Called when a call takes the instance: how much its strings recur is
    // judged afresh for every call.
    void start_call();

private:
    // Whether strings recur is judged over windows of MISSES_PER_WINDOW
    // misses that replaced a stored string (a miss that fills an empty entry
    // costs nothing later): with fewer than HITS_PER_WINDOW hits beside them,
    // a lookup costs more than the strs it saves, and the cache goes quiet:
    // only every LOOK_EVERY-th string is looked up (and stored when new),
    // which is enough to notice when strings recur again. A quiet cache
    // counts only those lookups, and wakes up once they have found
    // HITS_PER_WINDOW hits.
    static constexpr uint64_t MISSES_PER_WINDOW = 256;
    static constexpr uint64_t HITS_PER_WINDOW = 32;
    static constexpr uint64_t LOOK_EVERY = 32;

    void wake_if_recurring();
    // Counts a miss that replaced a stored string; at the end of a window,
    // decides whether to go quiet.
    void count_miss();

    StringCache() = default;

    // Whether the stored str has exactly the n decoded bytes (2 <= n <= 63).
    // Its stored hash has already matched, so this is nearly always true.
    TALDO_ALWAYS_INLINE static bool holds(PyObject* str, const DecodedString& s) {
        // A compact ASCII str holds its UTF-8 bytes itself, right after its
        // header (where PyUnicode_DATA finds them, after testing the kind
        // again).
        if (PyUnicode_IS_COMPACT_ASCII(str)) [[likely]] {
            const auto* chars = reinterpret_cast<const uint8_t*>(reinterpret_cast<const PyASCIIObject*>(str) + 1);
            return static_cast<uint64_t>(PyUnicode_GET_LENGTH(str)) == s.length &&
                   detail::same_short_bytes(chars, s.bytes, s.length);
        }
        return holds_utf8(str, s);
    }

    static bool holds_utf8(PyObject* str, const DecodedString& s);

    // No entry of the window has hash h.
    PyObject* store_new(const DecodedString& s, uint64_t h);
    // The whole lookup, entry by entry, for the rare windows where a stored
    // hash matched but its string did not.
    PyObject* find_or_store(const DecodedString& s, uint64_t h);
    TALDO_ALWAYS_INLINE PyObject* store(CacheEntry& entry, uint64_t h, const DecodedString& s);

    HashKeys keys_;
    // ENTRIES entries, then PROBE_WINDOW - 1 entries of padding that stay
    // empty, so that the inline probe needs no bounds test.
    CacheEntry* entries_ = nullptr;
    // The number of occupied entries: while the table is full, a new string
    // goes to its home entry without a search for an empty one.
    uint64_t used_ = 0;
    // Lookups of the current window; see MISSES_PER_WINDOW.
    uint64_t hits_ = 0;
    uint64_t misses_ = 0;
    bool quiet_ = false;
    // Counts the strings of a quiet cache to pick the ones it looks up. It
    // goes on from call to call, so that a document parsed again does not
    // look up the very strings that its last parse stored.
    uint64_t quiet_strings_ = 0;
};

// The instances that survive between calls. Every interpreter has a pool of
// its own (see InterpreterState): the strs in a table belong to the
// interpreter that made them. The slots are atomic so that taking and giving
// back needs no lock.
class StringCachePool {
public:
    static constexpr size_t SLOTS = 8;

    StringCachePool() = default;
    StringCachePool(const StringCachePool&) = delete;
    StringCachePool& operator=(const StringCachePool&) = delete;
    // Destroys every pooled instance; the interpreter must still be able to
    // release objects.
    ~StringCachePool();

    // A pooled instance, which leaves the pool, or nullptr.
    StringCache* take();
    // Stores the instance in the first empty slot, or destroys it.
    void give_back(StringCache* cache);
    // Empties every pooled instance.
    void clear();
    // The number of occupied entries over all pooled instances.
    uint64_t usage();

private:
    template <class Work>
    void for_each_pooled(Work work);

    std::atomic<StringCache*> slots_[SLOTS]{};
};

// The StringCache borrowed by one from_json call: empty until the first string
// that goes through the cache, which takes it from `pool`.
struct CacheCell {
    StringCache* cache = nullptr;
    StringCachePool* pool = nullptr;
};

namespace detail {
PyObject* get_or_insert_first(CacheCell& cell, const DecodedString& s);
}  // namespace detail

// A new reference to a str equal to the decoded bytes, shared through the
// cache where its rules allow. nullptr when the interpreter could not make the
// str (memory is exhausted): the Python error has been reported as
// unraisable, and the caller ends the call with str_fault().
TALDO_ALWAYS_INLINE PyObject* get_or_insert(CacheCell& cell, const DecodedString& s) {
    StringCache* cache = cell.cache;
    // One call for every str that is made without the cache: a string of a
    // length that the cache does not keep, or one that a quiet cache lets
    // pass by.
    if (s.length - StringCache::MIN_CACHED > StringCache::MAX_CACHED - StringCache::MIN_CACHED ||
        (cache != nullptr && cache->passes_by())) {
        return detail::make_uncached_str(s);
    }
    if (cache == nullptr) [[unlikely]] {
        return detail::get_or_insert_first(cell, s);
    }
    return cache->get_or_insert(s);
}

// The internal fault for a str that get_or_insert could not make.
TALDO_COLD ParseError str_fault();

// Hands the call's instance, if any, back to its pool and empties the cell.
inline void give_back(CacheCell& cell) {
    if (cell.cache != nullptr) {
        cell.pool->give_back(cell.cache);
        cell.cache = nullptr;
    }
}

}  // namespace taldo
