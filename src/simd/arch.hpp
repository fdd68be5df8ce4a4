// Which body the 16-byte block scans use: SSE2 on x86-64, NEON on aarch64,
// the portable scalar body elsewhere or when TALDO_FORCE_SCALAR is defined.
#pragma once

#if defined(TALDO_FORCE_SCALAR)
#define TALDO_SIMD_SCALAR 1
#elif defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define TALDO_SIMD_SSE2 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#define TALDO_SIMD_NEON 1
#else
#define TALDO_SIMD_SCALAR 1
#endif
