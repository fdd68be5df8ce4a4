// The per-object memory of the keys seen so far, for catch_duplicate_keys.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "errors.hpp"
#include "keyed_hash.hpp"
#include "native_memory.hpp"

namespace taldo {

// The keys of one object. The first few are kept in the check itself and
// compared one by one; past those, the keys go into a keyed hash table. Every
// block comes from native memory, and running out of it is the out-of-memory
// fault.
class DuplicateKeyCheck {
public:
    DuplicateKeyCheck() = default;
    DuplicateKeyCheck(const DuplicateKeyCheck&) = delete;
    DuplicateKeyCheck& operator=(const DuplicateKeyCheck&) = delete;
    ~DuplicateKeyCheck();

    // `key` is the decoded key (valid UTF-8). When `lasts` its bytes stay where
    // they are for the whole call (they lie in the input); otherwise (the
    // scratch buffer) the check copies them. `index` is one past the key's
    // colon. Keys are the same exactly when their decoded bytes are.
    Status check_and_insert(std::string_view key, bool lasts, uint64_t index) {
        if (table_ == nullptr && count_ < INLINE_KEYS) [[likely]] {
            for (uint64_t i = 0; i < count_; ++i) {
                if (inline_[i].length == key.size() && std::memcmp(inline_[i].bytes, key.data(), key.size()) == 0) {
                    return ParseError::with_text(ErrorKind::DuplicateKey, index, key);
                }
            }
            const char* kept = lasts ? key.data() : keep(key);
            if (kept == nullptr) [[unlikely]] {
                return ParseError::out_of_memory();
            }
            inline_[count_++] = Key{kept, key.size(), 0};
            return ok_status();
        }
        return check_in_table(key, lasts, index);
    }

private:
    struct Key {
        const char* bytes;
        uint64_t length;
        uint64_t hash;  // only in the table
    };
    // A block of copied key bytes; the blocks form a list, newest first, and
    // never move, so that the keys can point into them.
    struct Block {
        Block* next;
        uint64_t used;
        uint64_t capacity;
        char* bytes() { return reinterpret_cast<char*>(this + 1); }
    };

    static constexpr uint64_t INLINE_KEYS = 8;
    static constexpr uint64_t FIRST_TABLE_SLOTS = 32;
    static constexpr uint64_t BLOCK_SIZE = 1024;

    // A copy of the key's bytes, or nullptr when memory is exhausted.
    const char* keep(std::string_view key);
    Status check_in_table(std::string_view key, bool lasts, uint64_t index);
    // A table of `slots` (a power of two) holding every key so far.
    bool rehash(uint64_t slots);

    Key inline_[INLINE_KEYS];
    uint64_t count_ = 0;
    // Open addressing, linear probing, at most half full; an empty slot has
    // bytes nullptr.
    Key* table_ = nullptr;
    uint64_t slots_ = 0;
    // Keyed, so that a document cannot be made of keys that all collide.
    // Drawn when the table is first made.
    HashKeys hash_keys_;
    Block* blocks_ = nullptr;
};

}  // namespace taldo
