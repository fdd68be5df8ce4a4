// The per-object memory of the keys seen so far, for catch_duplicate_keys.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "errors.hpp"

namespace taldo {

class DuplicateKeyCheck {
public:
    // `key` is the decoded key (valid UTF-8), which may lie in the scratch
    // buffer: the check copies what it keeps. `index` is one past the key's
    // colon.
    Status check_and_insert(std::string_view key, uint64_t index) {
        auto [it, inserted] = keys_.emplace(key);
        if (!inserted) {
            return ParseError::with_text(ErrorKind::DuplicateKey, index, std::string(key));
        }
        return ok_status();
    }

private:
    std::unordered_set<std::string> keys_;
};

}  // namespace taldo
