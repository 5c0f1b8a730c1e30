// The memory traffic of a transposing call, without its arithmetic: how fast
// this machine reads two uint16 bands in tiles and writes a float32
// output across them (a Fortran-ordered output of C-ordered bands), next to
// the same bytes moved as three sequential streams, for output runs a whole
// number of cache lines apart and for runs 4 floats further apart (4100 at the
// default size), each written from its cache-line boundary; tiles of 64 x 64
// and of 32 band lines by 256 positions (kelvane's shape for two bands). The
// tiled calls of kelvane cannot beat the tiled figure; the layouts table
// compares them with the sequential one.
//
//   cmake -S . -B build/native -DKELVANE_NATIVE_CHECKS=ON -DKELVANE_MODULE=OFF && cmake --build build/native -j2
//   build/native/tile_traffic [size]      (arrays size x size, default 4096; 2 threads, each half of the rows)
#include <cstdio>
#include <utility>

#include "probe.hpp"

namespace {

using probe::samples;

int64_t n = 4096;
const uint16_t* band_a;
const uint16_t* band_b;
float* out;

void sequential(int64_t r0, int64_t r1) { probe::sequential_pass(band_a, band_b, out, n, r0, r1); }

int64_t tile = 64, width = 64;  // band lines and positions of a tile
bool streaming = true;
int64_t pitch = 4096;  // floats from one output run to the next

// Band rows [r0, r1) in tiles of `tile` lines by `width` positions: each
// tile's band lines are read (the next tile's asked for ahead), then its
// output runs are written.
void tiled(int64_t r0, int64_t r1) {
    __m512 sum = _mm512_setzero_ps();
    for (int64_t l0 = r0; l0 + tile <= r1; l0 += tile) {
        for (int64_t p0 = 0; p0 + width <= n; p0 += width) {
            for (int64_t k = 0; k < tile; ++k) {
                const uint16_t* a = band_a + (l0 + k) * n + p0;
                const uint16_t* b = band_b + (l0 + k) * n + p0;
                for (int64_t i = 0; i < width; i += 32) {
                    _mm_prefetch(reinterpret_cast<const char*>(a + width + i), _MM_HINT_T1);
                    _mm_prefetch(reinterpret_cast<const char*>(b + width + i), _MM_HINT_T1);
                }
                for (int64_t i = 0; i < width; i += 16) {
                    sum = _mm512_add_ps(sum, _mm512_add_ps(samples(a + i), samples(b + i)));
                }
            }
            for (int64_t j = 0; j < width; ++j) {
                // Runs a distance apart that is not a multiple of a cache line
                // get the tile's lines from the cache-line boundary before.
                float* run = out + (p0 + j) * pitch + l0;
                run -= reinterpret_cast<uintptr_t>(run) % 64 / sizeof(float);
                for (int64_t k = 0; k < tile; k += 16) {
                    if (streaming) {
                        _mm512_stream_ps(run + k, sum);
                    } else {
                        _mm512_storeu_ps(run + k, sum);
                    }
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) n = std::atoll(argv[1]) / 128 * 128;
    band_a = static_cast<uint16_t*>(probe::huge(2 * n * n));
    band_b = static_cast<uint16_t*>(probe::huge(2 * n * n));
    out = static_cast<float*>(probe::huge(4 * (n + 16) * n));
    std::printf("%lld x %lld, best of 8 rounds, Mpx/s (share of the sequential passes)\n", static_cast<long long>(n),
                static_cast<long long>(n));
    for (int64_t p : {n, n + 4}) {
        pitch = p;
        for (auto [t, w] : {std::pair<int64_t, int64_t>{64, 64}, {32, 256}}) {
            tile = t;
            width = w;
            std::vector<double> seq, nt, plain;
            for (int round = 0; round < 8; ++round) {
                seq.push_back(probe::mpx_per_s(n, sequential));
                streaming = true;
                nt.push_back(probe::mpx_per_s(n, tiled));
                streaming = false;
                plain.push_back(probe::mpx_per_s(n, tiled));
            }
            const double best = probe::best(seq), best_nt = probe::best(nt), best_plain = probe::best(plain);
            std::printf("runs %lld floats apart, tiles %2lld x %3lld: sequential %6.0f | tiled, streaming stores %6.0f "
                        "(%.2f) | plain stores %6.0f (%.2f)\n",
                        static_cast<long long>(p), static_cast<long long>(t), static_cast<long long>(w), best, best_nt,
                        best_nt / best,
                        best_plain, best_plain / best);
        }
    }
}
