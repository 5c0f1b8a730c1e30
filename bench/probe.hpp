// What the C++ memory probes share: 2 MiB-aligned arrays on huge pages,
// sample loads, the sequential pass every probe compares itself with, and the
// timing of a pass split over two threads.
#pragma once
#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace probe {

inline void* huge(size_t bytes) {
    bytes = (bytes + (1 << 21) - 1) / (1 << 21) * (1 << 21);
    void* p = std::aligned_alloc(1 << 21, bytes);
    madvise(p, bytes, MADV_HUGEPAGE);
    std::memset(p, 1, bytes);
    return p;
}

// 16 adjacent uint16 samples as floats.
inline __m512 samples(const uint16_t* p) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
}

// Rows [r0, r1) of two n-wide bands into the same rows of a C-ordered output,
// with streaming stores where a group starts a cache line.
inline void sequential_pass(const uint16_t* a, const uint16_t* b, float* out, int64_t n, int64_t r0, int64_t r1) {
    for (int64_t r = r0; r < r1; ++r) {
        for (int64_t i = 0; i + 16 <= n; i += 16) {
            const __m512 v = _mm512_add_ps(samples(a + r * n + i), samples(b + r * n + i));
            float* dst = out + r * n + i;
            if (reinterpret_cast<uintptr_t>(dst) % 64 == 0) {
                _mm512_stream_ps(dst, v);
            } else {
                _mm512_storeu_ps(dst, v);
            }
        }
    }
}

// Mpx/s of fn(r0, r1) over rows [0, n) of n x n pixels, each of two threads
// taking half of the rows.
template <class Fn>
double mpx_per_s(int64_t n, Fn fn) {
    const auto t0 = std::chrono::steady_clock::now();
    std::thread helper([&] {
        fn(n / 2, n);
        _mm_sfence();
    });
    fn(0, n / 2);
    _mm_sfence();
    helper.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return static_cast<double>(n * n) / seconds / 1e6;
}

inline double best(const std::vector<double>& rates) { return *std::max_element(rates.begin(), rates.end()); }

}  // namespace probe
