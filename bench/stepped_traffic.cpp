// The memory traffic of a call whose bands and output are all [:, ::2] slices
// of arrays twice as wide, with next to no arithmetic: every other float of
// the output written through masked stores (each half-written cache line is
// read for ownership first) or streamed float by float (the half-written lines
// go to memory without that read), next to the same pixels of contiguous
// arrays moved in sequential passes with streaming stores.
//
//   cmake -S . -B build/native -DKELVANE_NATIVE_CHECKS=ON -DKELVANE_MODULE=OFF && cmake --build build/native -j2
//   build/native/stepped_traffic [size]   (size x size pixels, default 4096; 2 threads, each half of the rows)
#include <cstdio>

#include "probe.hpp"

namespace {

int64_t n = 4096;
const uint16_t *band_a, *band_b, *wide_a, *wide_b;  // wide: rows of 2n samples
float *out, *wide_out;
bool streamed = false;

// 16 samples 4 bytes apart: one load, the upper halves cleared.
__m512 every_other_sample(const uint16_t* p) {
    return _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_loadu_si512(p), _mm512_set1_epi32(0xFFFF)));
}

void sequential(int64_t r0, int64_t r1) { probe::sequential_pass(band_a, band_b, out, n, r0, r1); }

void stepped(int64_t r0, int64_t r1) {
    const __m512i first_half = _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
    const __m512i second_half = _mm512_setr_epi32(8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14, 15, 15);
    for (int64_t r = r0; r < r1; ++r) {
        for (int64_t i = 0; i + 16 <= n; i += 16) {
            const __m512 v = _mm512_add_ps(every_other_sample(wide_a + 2 * (r * n + i)),
                                           every_other_sample(wide_b + 2 * (r * n + i)));
            float* dst = wide_out + 2 * (r * n + i);
            if (streamed) {
                int32_t bits[16];
                std::memcpy(bits, &v, sizeof bits);
                for (int k = 0; k < 16; ++k) _mm_stream_si32(reinterpret_cast<int*>(dst + 2 * k), bits[k]);
            } else {
                _mm512_mask_storeu_ps(dst, 0x5555, _mm512_permutexvar_ps(first_half, v));
                _mm512_mask_storeu_ps(dst + 16, 0x5555, _mm512_permutexvar_ps(second_half, v));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) n = std::atoll(argv[1]) / 16 * 16;
    band_a = static_cast<uint16_t*>(probe::huge(2 * n * n));
    band_b = static_cast<uint16_t*>(probe::huge(2 * n * n));
    out = static_cast<float*>(probe::huge(4 * n * n));
    wide_a = static_cast<uint16_t*>(probe::huge(4 * n * n));
    wide_b = static_cast<uint16_t*>(probe::huge(4 * n * n));
    wide_out = static_cast<float*>(probe::huge(8 * n * n));
    std::printf("%lld x %lld, best of 5 rounds, Mpx/s (share of the sequential passes)\n", static_cast<long long>(n),
                static_cast<long long>(n));
    for (int repeat = 0; repeat < 3; ++repeat) {
        std::vector<double> seq, masked, nt;
        for (int round = 0; round < 5; ++round) {
            seq.push_back(probe::mpx_per_s(n, sequential));
            streamed = false;
            masked.push_back(probe::mpx_per_s(n, stepped));
            streamed = true;
            nt.push_back(probe::mpx_per_s(n, stepped));
        }
        const double best = probe::best(seq), best_masked = probe::best(masked), best_nt = probe::best(nt);
        std::printf("sequential %6.0f | stepped, masked stores %6.0f (%.2f) | streamed float by float %6.0f (%.2f)\n",
                    best, best_masked, best_masked / best, best_nt, best_nt / best);
    }
}
