#include "duplicate_keys.hpp"

namespace taldo {

DuplicateKeyCheck::~DuplicateKeyCheck() {
    native_free(table_);
    while (blocks_ != nullptr) {
        Block* next = blocks_->next;
        native_free(blocks_);
        blocks_ = next;
    }
}

const char* DuplicateKeyCheck::keep(std::string_view key) {
    if (key.empty()) {
        return "";
    }
    Block* block = blocks_;
    if (block == nullptr || block->capacity - block->used < key.size()) {
        const uint64_t capacity = key.size() > BLOCK_SIZE ? key.size() : BLOCK_SIZE;
        block = static_cast<Block*>(native_malloc(sizeof(Block) + capacity));
        if (block == nullptr) {
            return nullptr;
        }
        block->next = blocks_;
        block->used = 0;
        block->capacity = capacity;
        blocks_ = block;
    }
    char* copy = block->bytes() + block->used;
    std::memcpy(copy, key.data(), key.size());
    block->used += key.size();
    return copy;
}

bool DuplicateKeyCheck::rehash(uint64_t slots) {
    auto* table = static_cast<Key*>(native_calloc(slots, sizeof(Key)));
    if (table == nullptr) {
        return false;
    }
    const uint64_t mask = slots - 1;
    auto place = [&](const Key& key) {
        uint64_t i = key.hash & mask;
        while (table[i].bytes != nullptr) i = (i + 1) & mask;
        table[i] = key;
    };
    if (table_ == nullptr) {
        hash_keys_ = new_hash_keys();
        for (uint64_t i = 0; i < count_; ++i) {
            Key key = inline_[i];
            key.hash = keyed_hash(hash_keys_, reinterpret_cast<const uint8_t*>(key.bytes), key.length);
            place(key);
        }
    } else {
        for (uint64_t i = 0; i < slots_; ++i) {
            if (table_[i].bytes != nullptr) place(table_[i]);
        }
        native_free(table_);
    }
    table_ = table;
    slots_ = slots;
    return true;
}

Status DuplicateKeyCheck::check_in_table(std::string_view key, bool lasts, uint64_t index) {
    // At most half full after this key goes in.
    if (2 * (count_ + 1) > slots_ && !rehash(slots_ == 0 ? FIRST_TABLE_SLOTS : 2 * slots_)) {
        return ParseError::out_of_memory();
    }
    const uint64_t hash = keyed_hash(hash_keys_, reinterpret_cast<const uint8_t*>(key.data()), key.size());
    const uint64_t mask = slots_ - 1;
    uint64_t i = hash & mask;
    for (; table_[i].bytes != nullptr; i = (i + 1) & mask) {
        const Key& seen = table_[i];
        if (seen.hash == hash && seen.length == key.size() && std::memcmp(seen.bytes, key.data(), key.size()) == 0) {
            return ParseError::with_text(ErrorKind::DuplicateKey, index, key);
        }
    }
    const char* kept = lasts ? key.data() : keep(key);
    if (kept == nullptr) {
        return ParseError::out_of_memory();
    }
    table_[i] = Key{kept, key.size(), hash};
    ++count_;
    return ok_status();
}

}  // namespace taldo
