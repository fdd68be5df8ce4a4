// The per-object memory of the keys seen so far, for catch_duplicate_keys.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "errors.hpp"
#include "keyed_hash.hpp"

namespace taldo {

class DuplicateKeyCheck {
public:
    DuplicateKeyCheck() : keys_(0, KeyHasher{new_hash_keys()}) {}

    // `key` is the decoded key (valid UTF-8), which may lie in the scratch
    // buffer: the check copies what it keeps. `index` is one past the key's
    // colon. Keys are the same exactly when their decoded bytes are.
    Status check_and_insert(std::string_view key, uint64_t index) {
        if (!keys_.emplace(key).second) {
            return ParseError::with_text(ErrorKind::DuplicateKey, index, std::string(key));
        }
        return ok_status();
    }

private:
    // Keyed, so that a document cannot be made of keys that all collide.
    struct KeyHasher {
        HashKeys keys;
        size_t operator()(const std::string& key) const {
            return static_cast<size_t>(
                keyed_hash(keys, reinterpret_cast<const uint8_t*>(key.data()), key.size()));
        }
    };

    std::unordered_set<std::string, KeyHasher> keys_;
};

}  // namespace taldo
