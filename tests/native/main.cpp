// Checks the decoding core (block scans, strings, numbers) without Python, so
// that every body of the block scans can be run: SSE2 (and AVX2) or NEON
// natively or under an emulator, and the portable scalar body with
// TALDO_FORCE_SCALAR. Every body must pass and print the same digest.
//
//   taldo_native [--rounds N] [--seed S]
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check.hpp"
#include "simd/arch.hpp"

namespace {

#if defined(TALDO_SIMD_SSE2)
constexpr const char* BODY = "sse2";
#elif defined(TALDO_SIMD_NEON)
constexpr const char* BODY = "neon";
#else
constexpr const char* BODY = "scalar";
#endif

}  // namespace

int main(int argc, char** argv) {
    unsigned rounds = 1;
    uint64_t seed = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--seed S]\n", argv[0]);
            return 2;
        }
    }
    taldo::native::Tally tally;
    taldo::native::check_scans(tally, seed, rounds);
    taldo::native::check_strings(tally, seed + 1, rounds);
    taldo::native::check_numbers(tally, seed + 2, rounds);
    std::printf("digest: %016" PRIx64 "\n", tally.digest());
    std::printf("%s: %" PRIu64 " passed, %" PRIu64 " failed\n", BODY, tally.passed(), tally.failed());
    return tally.failed() == 0 ? 0 : 1;
}
