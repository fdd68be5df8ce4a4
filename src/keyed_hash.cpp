#include "keyed_hash.hpp"

#include <atomic>
#include <cstdlib>
#include <chrono>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>
#elif defined(__linux__)
#include <sys/random.h>
#elif defined(__APPLE__)
// getentropy is declared here on macOS, in <unistd.h> on the BSDs.
#include <sys/types.h>
#include <sys/random.h>
#elif defined(__unix__)
#include <unistd.h>
#endif

namespace taldo {
namespace {

constexpr size_t SEED_WORDS = 8;  // 64 bytes

// 64 random bytes from the operating system's cryptographic source.
void read_random(uint64_t* words) {
    auto* bytes = reinterpret_cast<unsigned char*>(words);
    const size_t size = SEED_WORDS * sizeof(uint64_t);
    bool filled = false;
#if defined(_WIN32)
    filled = BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
#elif defined(__linux__)
    size_t got = 0;
    while (got < size) {
        const ssize_t n = getrandom(bytes + got, size - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    filled = got == size;
#elif defined(__APPLE__) || defined(__unix__)
    filled = getentropy(bytes, size) == 0;
#endif
    if (!filled) {
        // No source at all: the clock and where things lie in memory, mixed,
        // are poor keys but better than none.
        uint64_t state = static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
                         reinterpret_cast<uintptr_t>(words) ^ (reinterpret_cast<uintptr_t>(&read_random) << 17);
        for (size_t i = 0; i < SEED_WORDS; ++i) {
            state += 0x9E3779B97F4A7C15ull;
            words[i] = detail::fold_multiply(state ^ (state >> 29), 0xBF58476D1CE4E5B9ull);
        }
    }
}

std::atomic<const uint64_t*> seed{nullptr};
std::atomic<uint64_t> counter{0};

// Published once with a compare-and-swap, so that threads of interpreters
// with GILs of their own may race here: one that loses the race frees its own
// bytes and uses the winner's. Nobody waits for another thread, so a process
// forked while one reads its bytes simply reads them again. Where memory for
// the seed cannot be had, the bytes in `spare` serve this one hasher.
const uint64_t* process_seed(uint64_t* spare) {
    if (const uint64_t* ready = seed.load(std::memory_order_acquire)) {
        return ready;
    }
    // Kept for the process: taken straight from malloc, not from the native
    // allocator that counts a call's blocks.
    auto* fresh = static_cast<uint64_t*>(std::malloc(SEED_WORDS * sizeof(uint64_t)));
    if (fresh == nullptr) {
        read_random(spare);
        return spare;
    }
    read_random(fresh);
    const uint64_t* expected = nullptr;
    if (seed.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        return fresh;
    }
    std::free(fresh);
    return expected;
}

}  // namespace

namespace detail {

TALDO_NOINLINE uint64_t keyed_hash_long(const HashKeys& keys, const uint8_t* p, size_t n) {
    uint64_t a = keys.k[0] ^ n;
    uint64_t b = keys.k[1];
    for (size_t i = 0; i + 16 < n; i += 16) {
        a = fold_multiply(a ^ load64(p + i), keys.k[2] ^ load64(p + i + 8));
    }
    a ^= load64(p + n - 16);
    b ^= load64(p + n - 8);
    return fold_multiply(keys.k[3] ^ fold_multiply(a, b ^ keys.k[2]), n ^ keys.k[1]);
}

}  // namespace detail

HashKeys new_hash_keys() {
    uint64_t spare[SEED_WORDS];
    const uint64_t* s = process_seed(spare);
    const uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
    HashKeys keys;
    for (int i = 0; i < 4; ++i) {
        // The counter gives every hasher keys of its own.
        keys.k[i] = detail::fold_multiply(s[i] ^ (n * 0x9E3779B97F4A7C15ull), s[i + 4] | 1);
    }
    return keys;
}

}  // namespace taldo
