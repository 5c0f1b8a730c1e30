// The normalized-difference kernel on a Fortran-ordered output of C-ordered
// bands, called outside Python: the grid cut `depth` times the way the pool
// cuts it, the blocks shared by two threads, next to a sequential kernel that
// moves the same bytes. Separates the kernel's cost from the pool's and the
// interpreter's, and shows what the arrays' alignment and the number of blocks
// do to it.
//
//   cmake -S . -B build/native -DKELVANE_NATIVE_CHECKS=ON -DKELVANE_MODULE=OFF && cmake --build build/native -j2
//   build/native/kernel_harness [offset bytes, 0] [cut depth, 1] [side, 4096]
#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "frame/traversal.hpp"
#include "indices/index_kernels.hpp"
#include "base/views.hpp"

using namespace kelvane;

namespace {

int64_t n = 4096;
const uint16_t* band_a;
const uint16_t* band_b;
float* sequential_out;

std::byte* huge(size_t bytes) {
    bytes = (bytes + (1 << 21) - 1) / (1 << 21) * (1 << 21);
    void* p = std::aligned_alloc(1 << 21, bytes);
    madvise(p, bytes, MADV_HUGEPAGE);
    std::memset(p, 1, bytes);
    return static_cast<std::byte*>(p);
}

__attribute__((target("avx512f,avx512bw"))) __m512 samples(const uint16_t* p) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
}

// Rows [r0, r1) into a C-ordered output, streamed where a group is aligned.
__attribute__((target("avx512f,avx512bw"))) void sequential(int64_t r0, int64_t r1) {
    for (int64_t r = r0; r < r1; ++r) {
        for (int64_t i = 0; i + 16 <= n; i += 16) {
            const __m512 x = samples(band_a + r * n + i), y = samples(band_b + r * n + i);
            const __m512 v = _mm512_div_ps(_mm512_sub_ps(x, y), _mm512_add_ps(x, y));
            float* dst = sequential_out + r * n + i;
            if (reinterpret_cast<uintptr_t>(dst) % 64 == 0) {
                _mm512_stream_ps(dst, v);
            } else {
                _mm512_storeu_ps(dst, v);
            }
        }
    }
    _mm_sfence();
}

template <class Fn>
double mpx_per_s(Fn fn) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return static_cast<double>(n * n) / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t offset = argc > 1 ? std::atoll(argv[1]) : 0;  // of every array from a 2 MiB boundary
    const int depth = argc > 2 ? std::atoi(argv[2]) : 1;
    if (argc > 3) n = std::atoll(argv[3]);
    band_a = reinterpret_cast<const uint16_t*>(huge(2 * n * n + 4096) + offset);
    band_b = reinterpret_cast<const uint16_t*>(huge(2 * n * n + 4096) + offset);
    sequential_out = reinterpret_cast<float*>(huge(4 * n * n + 4096));
    std::byte* out = huge(4 * n * n + 4096) + offset;

    const IndexKernelTable& kernels = index_kernels_for(best_simd_level());
    IndexParams params;
    params.streaming_stores = true;
    PixelZip grid = PixelZip::of(OutView{out, n, n, 4, 4 * n});
    grid.add(BandView{reinterpret_cast<const std::byte*>(band_a), n, n, 2 * n, 2});
    grid.add(BandView{reinterpret_cast<const std::byte*>(band_b), n, n, 2 * n, 2});
    std::vector<PixelZip> blocks{grid};
    for (int d = 0; d < depth; ++d) {
        std::vector<PixelZip> halves;
        for (const PixelZip& block : blocks) {
            PixelZip first, second;
            block.split(first, second, true);
            halves.push_back(first);
            halves.push_back(second);
        }
        blocks = halves;
    }
    auto kernel = [&] {
        const size_t half = blocks.size() / 2;
        std::thread helper([&] {
            for (size_t i = half; i < blocks.size(); ++i) kernels.normalized_difference(blocks[i], &params);
        });
        for (size_t i = 0; i < half; ++i) kernels.normalized_difference(blocks[i], &params);
        helper.join();
    };
    auto passes = [] {
        std::thread helper([] { sequential(n / 2, n); });
        sequential(0, n / 2);
        helper.join();
    };
    std::printf("%lld x %lld, arrays %lld bytes past 2 MiB, %zu blocks; best of 8, Mpx/s\n",
                static_cast<long long>(n), static_cast<long long>(n), static_cast<long long>(offset), blocks.size());
    for (int round = 0; round < 4; ++round) {
        std::vector<double> seq, tiled;
        for (int i = 0; i < 8; ++i) {
            seq.push_back(mpx_per_s(passes));
            tiled.push_back(mpx_per_s(kernel));
        }
        const double best = *std::max_element(seq.begin(), seq.end());
        const double best_tiled = *std::max_element(tiled.begin(), tiled.end());
        std::printf("sequential passes %6.0f | kernel, Fortran-ordered output %6.0f (%.2f)\n", best, best_tiled,
                    best_tiled / best);
    }
}
