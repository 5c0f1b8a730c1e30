// Native checks of the kernels, outside Python: every SIMD target of every
// kernel gives the scalar path's bits (odd lengths, unaligned starts, NaN and
// infinities from the arithmetic, transposing tiles, tables and leaves), the
// module uses the target it should, and the executor chooses its path from the
// views as it should. Built by CMake from the module's own objects and flags.
#include "base/platform.hpp"
#include "check.hpp"
#include "expr/machine_code.hpp"
#include "expr/path.hpp"
#include "expr/planner.hpp"
#include "expr/reference.hpp"
#include "expr/tiles.hpp"
#include "indices/index_kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#endif

using namespace kelvane;
using native_checks::check;

// Every target this CPU runs, whichever the build uses.
// The scalar one comes first: the others are compared with it.
static std::vector<SimdLevel> levels() {
    std::vector<SimdLevel> all;
    for (int k = 0; k < kSimdLevels; ++k) {
        if (runs_simd_level(static_cast<SimdLevel>(k))) all.push_back(static_cast<SimdLevel>(k));
    }
    return all;
}

// The kernels the module uses: the widest target, or the scalar one in a
// scalar-only build.
static void dispatch() {
#ifdef KELVANE_FORCE_SCALAR
    const std::string expected = "scalar";
#else
    const std::string expected = simd_level_name(cpu_simd_level());
#endif
    check(index_kernels().target == expected && expr_kernels().target == expected,
          "the module's kernels are the " + expected + " target's");
    // The parity checks below compare a wide target with the scalar path
    // wherever the compiler targets one.
#if defined(__x86_64__)
    check(runs_simd_level(SimdLevel::Sse2) && index_kernels_for(SimdLevel::Sse2).target == std::string("sse2"),
          "x86-64 builds check their sse2 kernels");
#elif defined(__aarch64__)
    check(runs_simd_level(SimdLevel::Neon) && expr_kernels_for(SimdLevel::Neon).target == std::string("neon"),
          "aarch64 builds check their neon kernels");
#endif
    for (SimdLevel level : levels()) std::printf("target %s\n", simd_level_name(level));
}

// A one-row view over `bytes` starting `offset` bytes in (so starts may be
// unaligned), of adjacent elements or of every other one.
static BandView band_row(std::vector<std::byte>& bytes, size_t offset, int64_t n, int64_t step = 1) {
    return BandView{bytes.data() + offset, 1, n, 2 * step * n, 2 * step};
}
static OutView out_row(std::vector<std::byte>& bytes, size_t offset, int64_t n, int64_t step = 1) {
    return OutView{bytes.data() + offset, 1, n, 4 * step * n, 4 * step};
}

static void simd_index_parity() {
    std::mt19937 rng(7);
    const uint16_t specials[] = {0, 1, 2, 14, 65535, 500, 533, 600, 1000, 3000};
    const IndexParams param_sets[] = {
        {0.5f, 2.5f, 6.0f, 7.5f},
        {-2.0f, 2.5f, 6.0f, 7.5f},  // denominators of zero and below
        {NAN, NAN, 6.0f, 7.5f},
        {INFINITY, -INFINITY, INFINITY, 0.0f},
        {1e30f, 0.0f, -1e30f, 1e30f},
    };
    // Adjacent elements, then bands of every other sample (a [:, ::2] slice)
    // into outputs of every other element or of adjacent ones, over runs
    // shorter and longer than a gathering chunk.
    std::vector<std::tuple<int64_t, int64_t, int64_t>> runs;  // (n, band step, output step)
    for (int64_t n = 0; n <= 70; ++n) runs.emplace_back(n, 1, 1);
    for (int64_t n : {1, 15, 16, 17, 33, 255, 256, 257, 300, 529}) {
        runs.emplace_back(n, 2, 2);
        runs.emplace_back(n, 2, 1);
    }
    for (auto [n, step, out_step] : runs) {
        for (size_t offset : {0u, 1u, 2u, 3u}) {
            std::vector<std::byte> a(2 * step * n + 8), b(2 * step * n + 8), c(2 * step * n + 8);
            for (auto* buf : {&a, &b, &c}) {
                for (int64_t i = 0; i < step * n; ++i) {
                    uint16_t v = (rng() % 3 == 0) ? specials[rng() % 10] : static_cast<uint16_t>(rng());
                    std::memcpy(buf->data() + offset + 2 * i, &v, 2);
                }
            }
            for (IndexParams params : param_sets) {
              for (bool streaming : {false, true}) {
                params.streaming_stores = streaming;
                std::vector<std::vector<std::byte>> results;
                for (SimdLevel level : levels()) {
                    const IndexKernelTable& t = index_kernels_for(level);
                    for (BlockFn fn : {t.normalized_difference, t.ratio, t.adjusted_difference, t.evi}) {
                        std::vector<std::byte> out(4 * out_step * n + 8, std::byte{0x55});
                        PixelZip zip = PixelZip::of(out_row(out, offset, n, out_step));
                        zip.add(band_row(a, offset, n, step));
                        zip.add(band_row(b, offset, n, step));
                        if (fn == t.evi) zip.add(band_row(c, offset, n, step));
                        fn(zip, &params);
                        results.push_back(std::move(out));
                    }
                }
                for (size_t k = 4; k < results.size(); ++k) {
                    check(results[k] == results[k % 4], "index kernel " + std::to_string(k % 4) + " target " +
                                                            std::to_string(k / 4) + " n=" + std::to_string(n) +
                                                            " step=" + std::to_string(step) +
                                                            " out_step=" + std::to_string(out_step) +
                                                            " offset=" + std::to_string(offset));
                }
              }
            }
        }
    }
}

static ExprOp op(ExprOpKind kind, uint32_t operand = 0) { return ExprOp{kind, operand}; }

// The kinds of the operation table that instructions name, by stack effect,
// and the leaf (cheap arithmetic) ones among the binary kinds.
static std::vector<ExprOpKind> kinds_where(bool (*keep)(const ExprOpInfo&)) {
    std::vector<ExprOpKind> kinds;
    for (uint32_t k = 0; k < kExprOpKindCount; ++k) {
        if (keep(kExprOpInfo[k]) && !(kExprOpInfo[k].traits & kPlannedOp)) kinds.push_back(static_cast<ExprOpKind>(k));
    }
    return kinds;
}
static const std::vector<ExprOpKind> kUnaryKinds = kinds_where([](const ExprOpInfo& i) { return i.pops == 1; });
static const std::vector<ExprOpKind> kBinaryKinds = kinds_where([](const ExprOpInfo& i) { return i.pops == 2; });
static const std::vector<ExprOpKind> kLeafKinds =
    kinds_where([](const ExprOpInfo& i) { return (i.traits & kLeafOp) != 0; });
static ExprOp scalar(float v) { return ExprOp{ExprOpKind::PushScalar, std::bit_cast<uint32_t>(v)}; }

// A random program that leaves exactly one value and never goes past the stack.
static std::vector<ExprOp> random_program(std::mt19937& rng, uint32_t bands) {
    const float constants[] = {0.0f, -0.0f, 1.0f, -3.5f, 0.5f, 1e30f, -1e-30f, 2.0f, 1e-10f};
    std::vector<ExprOp> ops;
    int depth = 0;
    const int length = 1 + static_cast<int>(rng() % 40);
    for (int i = 0; i < length || depth != 1; ++i) {
        const bool must_reduce = depth >= 60 || (i >= length && depth > 1);
        const unsigned pick = rng() % 10;
        if (depth < 2 && (must_reduce ? depth == 0 : pick < 5)) {
            ops.push_back(rng() % 2 ? op(ExprOpKind::PushBand, rng() % bands) : scalar(constants[rng() % 9]));
            ++depth;
        } else if (!must_reduce && pick < 4) {
            ops.push_back(rng() % 2 ? op(ExprOpKind::PushBand, rng() % bands) : scalar(constants[rng() % 9]));
            ++depth;
        } else if (pick < 6 && depth >= 1) {
            ops.push_back(op(kUnaryKinds[rng() % kUnaryKinds.size()]));
            if (must_reduce && depth >= 2) {
                ops.push_back(op(kBinaryKinds[rng() % kBinaryKinds.size()]));
                --depth;
            }
        } else if (depth >= 2) {
            ops.push_back(op(kBinaryKinds[rng() % kBinaryKinds.size()]));
            --depth;
        } else {
            ops.push_back(scalar(constants[rng() % 9]));
            ++depth;
        }
    }
    return ops;
}

static void simd_expr_parity() {
    std::mt19937 rng(11);
    int tabulated = 0;  // (trial, target) pairs whose plan had tables
    int leaves_of_two_bands = 0, leaves_with_constants = 0;  // fused leaves seen, by kind
    int leaves_sharing_bands = 0;  // operations reading two leaves of the same two bands
    int compiled = 0;              // (trial, target) pairs run again as machine code
    int integer_divisions = 0;     // divisions the planner proved to be of integers
    for (int trial = 0; trial < 300; ++trial) {
        const uint32_t nb = 1 + rng() % 4;
        const int64_t rows = 1 + rng() % 5, cols = 2 + rng() % 300;
        const size_t offset = rng() % 2;
        std::vector<std::vector<std::byte>> storage(nb, std::vector<std::byte>(2 * rows * cols + 4));
        std::vector<BandView> bands;
        for (auto& s : storage) {
            for (int64_t i = 0; i < rows * cols; ++i) {
                uint16_t v = static_cast<uint16_t>(rng() % 7 == 0 ? 0 : rng());
                std::memcpy(s.data() + offset + 2 * i, &v, 2);
            }
            bands.push_back(BandView{s.data() + offset, rows, cols, 2 * cols, 2});
            if (trial % 3 == 2) bands.back() = BandView{s.data() + offset, rows, cols / 2, 2 * cols, 4};
        }
        // Every third trial reads every other sample of its bands.
        const int64_t ocols = trial % 3 == 2 ? cols / 2 : cols;
        std::vector<ExprOp> ops = random_program(rng, nb);
        if (trial % 4 == 3) {  // and two arithmetic operations of the same two bands under a third
            const uint32_t i = rng() % nb, j = rng() % nb;
            auto arithmetic = [&] { return op(kLeafKinds[rng() % kLeafKinds.size()]); };
            for (ExprOp o : {op(ExprOpKind::PushBand, i), op(ExprOpKind::PushBand, j), arithmetic(),
                             op(ExprOpKind::PushBand, i), op(ExprOpKind::PushBand, j), arithmetic(), arithmetic(),
                             arithmetic()}) {
                ops.push_back(o);
            }
        }
        ExprContext program{ops.data(), ops.size(), bands.data(), bands.size()};
        if (!cannot_fail(program, rows, ocols)) {
            check(false, "generated program was judged able to fail");
            continue;
        }
        std::vector<std::byte> reference(4 * rows * ocols + 4);
        OutView ref_view{reference.data() + offset, rows, ocols, 4 * ocols, 4};
        PixelZip ref_zip = PixelZip::index_grid(rows, ocols);
        ref_zip.add(ref_view);
        evaluate_block_per_pixel(ref_zip, &program);
        std::vector<uint32_t> scalar_bits;  // the first target's (the scalar path's) result
        for (SimdLevel level : levels()) {
            std::vector<std::byte> out(reference.size());
            // Fortran-ordered output for odd trials, so that tiles also run down columns.
            const bool fortran = trial % 2 == 1;
            OutView view{out.data() + offset, rows, ocols, fortran ? 4 : 4 * ocols, fortran ? 4 * rows : 4};
            PixelZip zip = PixelZip::index_grid(rows, ocols);
            zip.add(view);
            // Half the trials turn the parts that call powf on one band into
            // tables, evaluated by the same target.
            const TilePlan plan = plan_tiles(program, zip.layout_tendency < 0, trial % 4 < 2);
            const PlanTables tables(plan, bands.size(), [&](const PixelZip& grid, const ExprContext& part) {
                expr_kernels_for(level).evaluate_tiles(grid, &part);
            });
            tabulated += !plan.tables.empty();
            for (const TileOp& op : plan.ops) integer_divisions += op.kind == ExprOpKind::DivIntegers;
            for (const TileLeaf& leaf : plan.leaves) integer_divisions += leaf.kind == ExprOpKind::DivIntegers;
            for (const TileLeaf& leaf : plan.leaves) {
                ++(leaf.a.kind == leaf.b.kind ? leaves_of_two_bands : leaves_with_constants);
            }
            for (const TileOp& op : plan.ops) {
                if (op.a.kind != TileOperand::Leaf || op.b.kind != TileOperand::Leaf) continue;
                const TileLeaf &x = plan.leaves[op.a.index], &y = plan.leaves[op.b.index];
                leaves_sharing_bands += x.a.index == y.a.index && x.b.index == y.b.index;
            }
            ExprContext planned = program;
            use_plan(planned, plan);
            planned.tables = tables.pointers.data();
            planned.table_bands = tables.bands.data();
            expr_kernels_for(level).evaluate_tiles(zip, &planned);
            // Every target gives the scalar path's bits, and those are the
            // per-pixel machine's, except that where two NaNs meet in an
            // addition or a multiplication, either one may come out (x86 keeps
            // the first operand's, and the compiler orders the operands of these
            // freely, differently at -O2 and -O3): a NaN may have the other sign.
            std::vector<uint32_t> bits;
            bool same_as_pixels = true;
            for (int64_t r = 0; r < rows; ++r) {
                for (int64_t c = 0; c < ocols; ++c) {
                    float got, want;
                    std::memcpy(&got, view.data + r * view.row_stride + c * view.col_stride, 4);
                    std::memcpy(&want, ref_view.data + r * ref_view.row_stride + c * 4, 4);
                    const uint32_t g = std::bit_cast<uint32_t>(got), w = std::bit_cast<uint32_t>(want);
                    bits.push_back(g);
                    same_as_pixels = same_as_pixels && (g == w || (std::isnan(got) && (g ^ w) == 0x80000000u));
                }
            }
            if (scalar_bits.empty()) scalar_bits = bits;
            auto same_as_scalar = [&](const std::vector<uint32_t>& got) {
                bool same = got.size() == scalar_bits.size();
                for (size_t i = 0; same && i < got.size(); ++i) {
                    const uint32_t g = got[i], w = scalar_bits[i];
                    same = g == w || ((g & 0x7FFFFFFFu) > 0x7F800000u && (g ^ w) == 0x80000000u);
                }
                return same;
            };
            check(same_as_pixels && same_as_scalar(bits), "expression tiles, trial " + std::to_string(trial) +
                                                                " target " + std::to_string(static_cast<int>(level)));
            // The plan's machine code, where it has some: every band read in
            // place along the runs (one sample or two apart), the same tables.
            const bool down = zip.layout_tendency < 0;
            bool forward = true;
            for (const BandView& band : bands) {
                forward = forward && (down ? band.row_stride : band.col_stride) == plan.band_step;
            }
            // In the widest registers and in ymm registers, storing through
            // the caches and past them.
            for (int variant = 0; variant < 4; ++variant) {
                const bool narrow = variant % 2 == 1;
                const MachineCode code = MachineCode::compile(plan, bands.size(), narrow);
                if (!forward || !code.runnable()) continue;
                ++compiled;
                std::fill(out.begin(), out.end(), std::byte{0});
                planned.code = &code;
                planned.streaming_stores = variant >= 2;
                expr_kernels_for(level).evaluate_tiles(zip, &planned);
                std::vector<uint32_t> code_bits;
                for (int64_t r = 0; r < rows; ++r) {
                    for (int64_t c = 0; c < ocols; ++c) {
                        uint32_t got;
                        std::memcpy(&got, view.data + r * view.row_stride + c * view.col_stride, 4);
                        code_bits.push_back(got);
                    }
                }
                check(same_as_scalar(code_bits), "expression machine code of " + std::to_string(code.lanes()) +
                                                     " lanes, trial " + std::to_string(trial) + " target " +
                                                     std::to_string(static_cast<int>(level)));
            }
        }
    }
    check(tabulated > 0, "no generated program got a table");
    // Wherever this machine has machine code (for one addition, say), some programs ran as it.
    const TilePlan addition{{TileOp{ExprOpKind::Add, 0, {}, {}}}};
    check(compiled > 0 || !MachineCode::compile(addition, 0).runnable(), "no generated program ran as machine code");
    check(leaves_of_two_bands > 0 && leaves_with_constants > 0 && leaves_sharing_bands > 0,
          "generated programs got too few leaves");
    check(integer_divisions > 0, "no generated program divided integers");
}

#if defined(__x86_64__)
// The integer division (divide_integers_with_epsilon) of the avx512 target,
// which divides through an estimate, over every pair of samples, through the
// index kernels that use it (the adjusted difference with an l of halves,
// the largest sum included): the sse2 kernels' quotients (the divider's),
// bit for bit.
static void integer_division_of_every_sample_pair() {
    constexpr int64_t kCols = 65536;  // a row of every sample value: 256 KiB of output, within the caches
    std::vector<uint16_t> a(kCols), b(kCols);
    std::vector<float> out(kCols), want(kCols);
    for (int64_t c = 0; c < kCols; ++c) b[c] = static_cast<uint16_t>(c);
    auto run = [&](BlockFn fn, float l, std::vector<float>& into) {
        PixelZip zip = PixelZip::of(OutView{reinterpret_cast<std::byte*>(into.data()), 1, kCols, 4 * kCols, 4});
        zip.add(BandView{reinterpret_cast<std::byte*>(a.data()), 1, kCols, 2 * kCols, 2});
        zip.add(BandView{reinterpret_cast<std::byte*>(b.data()), 1, kCols, 2 * kCols, 2});
        IndexParams params{};
        params.l = l;
        fn(zip, &params);
    };
    if (!runs_simd_level(SimdLevel::Avx512)) return;
    struct Kernel {
        const char* name;
        BlockFn IndexKernelTable::*fn;
        float l;
    };
    const Kernel kernels[] = {{"normalized difference", &IndexKernelTable::normalized_difference, 0.0f},
                              {"ratio", &IndexKernelTable::ratio, 0.0f},
                              {"adjusted difference, l 0.5", &IndexKernelTable::adjusted_difference, 0.5f},
                              {"adjusted difference, l 1.5", &IndexKernelTable::adjusted_difference, 1.5f}};
    const IndexKernelTable& divider = index_kernels_for(SimdLevel::Sse2);
    const IndexKernelTable& estimate = index_kernels_for(SimdLevel::Avx512);
    for (int64_t first = 0; first < 65536; ++first) {
        std::fill(a.begin(), a.end(), static_cast<uint16_t>(first));
        for (const Kernel& kernel : kernels) {
            run(divider.*kernel.fn, kernel.l, want);
            run(estimate.*kernel.fn, kernel.l, out);
            if (std::memcmp(out.data(), want.data(), 4 * kCols) != 0) {
                check(false, std::string("integer division of avx512, sample ") + std::to_string(first) + " (" +
                                 kernel.name + ")");
                return;
            }
        }
    }
    check(true, "integer division of every sample pair");
}

// The one divisor of the integer division that is not an integer, the
// epsilon alone (b = 0): the quotient is right for every integer a allowed
// and for every estimate of 1/epsilon a processor may give (any within a
// relative 1.5 * 2^-12 of it, as vrcpps and vrcp14ps promise). With integer
// divisors it is right whatever the estimate, as docs/numerics.md proves.
__attribute__((target("avx2,fma"))) static int64_t wrong_quotients_of_epsilon() {
    const double exact = 1.0 / static_cast<double>(DENOM_EPSILON), spread = 1.5 / 4096.0;
    const uint32_t first = std::bit_cast<uint32_t>(static_cast<float>(exact * (1.0 - spread))) - 2;
    const uint32_t last = std::bit_cast<uint32_t>(static_cast<float>(exact * (1.0 + spread))) + 2;
    const __m256 d = _mm256_set1_ps(DENOM_EPSILON), one = _mm256_set1_ps(1.0f);
    const __m256 lane = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
    const int32_t largest = static_cast<int32_t>(kLargestDividedInteger);
    int64_t wrong = 0, estimates = 0;
    for (uint32_t bits = first; bits <= last; ++bits) {
        const double estimate = std::bit_cast<float>(bits);
        if (std::fabs(estimate * static_cast<double>(DENOM_EPSILON) - 1.0) > spread) continue;
        ++estimates;
        __m256 y = _mm256_set1_ps(std::bit_cast<float>(bits));
        y = _mm256_fmadd_ps(_mm256_fnmadd_ps(d, y, one), y, y);
        for (int32_t base = -largest; base <= largest; base += 8) {
            // -0 is not an operand; lanes past the largest repeat it
            const __m256 n = _mm256_min_ps(_mm256_add_ps(_mm256_set1_ps(static_cast<float>(base)), lane),
                                           _mm256_set1_ps(kLargestDividedInteger));
            const __m256 q = _mm256_mul_ps(n, y);
            const __m256 got = _mm256_fmadd_ps(_mm256_fnmadd_ps(d, q, n), y, q);
            const __m256 want = _mm256_div_ps(n, d);
            const __m256i same = _mm256_cmpeq_epi32(_mm256_castps_si256(got), _mm256_castps_si256(want));
            wrong += 8 - __builtin_popcount(_mm256_movemask_ps(_mm256_castsi256_ps(same)));
        }
    }
    return estimates > 1000 ? wrong : -1;
}

static void integer_division_by_epsilon() {
    if (!__builtin_cpu_supports("fma")) return;
    const int64_t wrong = wrong_quotients_of_epsilon();
    check(wrong == 0, "integer division by the epsilon alone: " + std::to_string(wrong) + " wrong quotients");
}
#else
static void integer_division_of_every_sample_pair() {}
static void integer_division_by_epsilon() {}
#endif


// Blocks whose bands run across the output (row-major bands and a column-major
// output, or the reverse) go through transposing tiles: every target gives the
// scalar path's bits, writes every pixel, and writes nothing else, whatever the
// alignment of either side, the shape, a gap between the output's runs, and
// whether streaming stores are on.
#if defined(__x86_64__) && !defined(KELVANE_FORCE_SCALAR)
// Calls entry(call) with the registers the calling convention leaves to the
// callee set from `marks` (rbx, rbp, r12 to r15, then rdi and rsi, then the
// two halves of xmm6 to xmm15 on Windows) and writes what they hold after the
// call to `found`, in the same order.
extern "C" void kelvane_call_marked(void (*entry)(const CodeCall*), const CodeCall* call, uint64_t* found,
                                    const uint64_t* marks);
#if defined(_WIN32)
// rcx entry, rdx call, r8 found, r9 marks. Frame: 32 bytes of shadow space,
// our own xmm6 to xmm15, `found`; the call's stack stays 16-byte aligned.
asm(R"(
    .text
    .globl kelvane_call_marked
kelvane_call_marked:
    .intel_syntax noprefix
    push rbx
    push rbp
    push rdi
    push rsi
    push r12
    push r13
    push r14
    push r15
    sub rsp, 200
    movups [rsp + 32], xmm6
    movups [rsp + 48], xmm7
    movups [rsp + 64], xmm8
    movups [rsp + 80], xmm9
    movups [rsp + 96], xmm10
    movups [rsp + 112], xmm11
    movups [rsp + 128], xmm12
    movups [rsp + 144], xmm13
    movups [rsp + 160], xmm14
    movups [rsp + 176], xmm15
    mov [rsp + 192], r8
    mov rax, rcx
    mov rcx, rdx
    mov rbx, [r9]
    mov rbp, [r9 + 8]
    mov r12, [r9 + 16]
    mov r13, [r9 + 24]
    mov r14, [r9 + 32]
    mov r15, [r9 + 40]
    mov rdi, [r9 + 48]
    mov rsi, [r9 + 56]
    movups xmm6, [r9 + 64]
    movups xmm7, [r9 + 80]
    movups xmm8, [r9 + 96]
    movups xmm9, [r9 + 112]
    movups xmm10, [r9 + 128]
    movups xmm11, [r9 + 144]
    movups xmm12, [r9 + 160]
    movups xmm13, [r9 + 176]
    movups xmm14, [r9 + 192]
    movups xmm15, [r9 + 208]
    call rax
    mov r8, [rsp + 192]
    mov [r8], rbx
    mov [r8 + 8], rbp
    mov [r8 + 16], r12
    mov [r8 + 24], r13
    mov [r8 + 32], r14
    mov [r8 + 40], r15
    mov [r8 + 48], rdi
    mov [r8 + 56], rsi
    movups [r8 + 64], xmm6
    movups [r8 + 80], xmm7
    movups [r8 + 96], xmm8
    movups [r8 + 112], xmm9
    movups [r8 + 128], xmm10
    movups [r8 + 144], xmm11
    movups [r8 + 160], xmm12
    movups [r8 + 176], xmm13
    movups [r8 + 192], xmm14
    movups [r8 + 208], xmm15
    movups xmm6, [rsp + 32]
    movups xmm7, [rsp + 48]
    movups xmm8, [rsp + 64]
    movups xmm9, [rsp + 80]
    movups xmm10, [rsp + 96]
    movups xmm11, [rsp + 112]
    movups xmm12, [rsp + 128]
    movups xmm13, [rsp + 144]
    movups xmm14, [rsp + 160]
    movups xmm15, [rsp + 176]
    add rsp, 200
    pop r15
    pop r14
    pop r13
    pop r12
    pop rsi
    pop rdi
    pop rbp
    pop rbx
    ret
    .att_syntax prefix
)");
constexpr int kMarkedWords = 28;
#else
// rdi entry, rsi call, rdx found, rcx marks; `found` kept on the stack, which
// leaves the call's stack 16-byte aligned.
asm(R"(
    .text
    .globl kelvane_call_marked
kelvane_call_marked:
    .intel_syntax noprefix
    push rbx
    push rbp
    push r12
    push r13
    push r14
    push r15
    push rdx
    mov rax, rdi
    mov rdi, rsi
    mov rbx, [rcx]
    mov rbp, [rcx + 8]
    mov r12, [rcx + 16]
    mov r13, [rcx + 24]
    mov r14, [rcx + 32]
    mov r15, [rcx + 40]
    call rax
    pop rdx
    mov [rdx], rbx
    mov [rdx + 8], rbp
    mov [rdx + 16], r12
    mov [rdx + 24], r13
    mov [rdx + 32], r14
    mov [rdx + 40], r15
    pop r15
    pop r14
    pop r13
    pop r12
    pop rbp
    pop rbx
    ret
    .att_syntax prefix
)");
constexpr int kMarkedWords = 6;
#endif

#if defined(_WIN32)
// The system's unwinder walks out of the generated function at `entry` from
// its first instruction, its body and its return, restoring what the
// prologue saved: from a stack laid out as the prologue leaves it, with a
// different mark in every saved register.
static void check_unwinding(const std::byte* entry) {
    const auto pc = reinterpret_cast<DWORD64>(entry);
    DWORD64 base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc + 1, &base, nullptr);
    check(function != nullptr && base + function->BeginAddress == pc, "the unwinder finds the generated function");
    if (!function) return;
    const auto* info = reinterpret_cast<const uint8_t*>(base + function->UnwindData);
    const DWORD64 body = pc + info[1];  // the first instruction after the prologue
    const DWORD64 ret = base + function->EndAddress - 1;
    check(*reinterpret_cast<const uint8_t*>(ret) == 0xC3, "the generated function ends with its return");
    // Above the saved vectors (ten, 16 bytes each): rsi, rdi, r15 to r12, rbp, rbx, the return address.
    constexpr int kVectors = 10, kWords = 2 * kVectors + 9;
    alignas(16) uint64_t stack[kWords + 4];
    for (int k = 0; k < kWords; ++k) stack[k] = 0x5EED000000000000ull + k;
    const uint64_t return_address = stack[kWords - 1];
    auto unwind = [&](DWORD64 at, uint64_t* rsp) {
        CONTEXT context{};
        context.Rip = at;
        context.Rsp = reinterpret_cast<DWORD64>(rsp);
        PVOID handler_data = nullptr;
        DWORD64 frame = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, at, function, &context, &handler_data, &frame, nullptr);
        return context;
    };
    const CONTEXT inside = unwind(body, stack);
    bool restored = inside.Rip == return_address && inside.Rsp == reinterpret_cast<DWORD64>(stack + kWords);
    const DWORD64 saved[] = {inside.Rsi, inside.Rdi, inside.R15, inside.R14, inside.R13, inside.R12, inside.Rbp,
                             inside.Rbx};
    for (int k = 0; k < 8; ++k) restored = restored && saved[k] == stack[2 * kVectors + k];
    const M128A* xmm = &inside.Xmm6;
    for (int k = 0; k < kVectors; ++k) {
        restored = restored && xmm[k].Low == stack[2 * k] && static_cast<uint64_t>(xmm[k].High) == stack[2 * k + 1];
    }
    check(restored, "the unwinder restores what the generated prologue saved");
    for (DWORD64 at : {pc, ret}) {  // nothing on the stack but the return address
        const CONTEXT out = unwind(at, stack + kWords - 1);
        check(out.Rip == return_address && out.Rsp == reinterpret_cast<DWORD64>(stack + kWords),
              at == pc ? "the unwinder leaves a generated function from its entry"
                       : "the unwinder leaves a generated function from its return");
    }
}
#endif

// The generated loops give the caller back every register its calling
// convention leaves to the callee, in both widths, on a program that fills
// most vector registers (ten slots, a held band, a constant).
static void machine_code_keeps_callers_registers() {
    if (!runs_simd_level(SimdLevel::Avx2) || !machine_code_allowed()) return;
    constexpr uint32_t kBands = 9;
    constexpr int64_t kPixels = 64;
    std::vector<std::vector<uint16_t>> samples(kBands, std::vector<uint16_t>(kPixels));
    std::vector<BandView> bands;
    std::vector<const std::byte*> firsts;
    for (uint32_t b = 0; b < kBands; ++b) {
        for (int64_t i = 0; i < kPixels; ++i) samples[b][i] = static_cast<uint16_t>(1000 * b + i);
        firsts.push_back(reinterpret_cast<const std::byte*>(samples[b].data()));
        bands.push_back(BandView{firsts.back(), 1, kPixels, 2 * kPixels, 2});
    }
    // b0 + (b1 + (... + (b8 + (2 + b0)))): ten values on the stack at once.
    std::vector<ExprOp> ops;
    for (uint32_t b = 0; b < kBands; ++b) ops.push_back(op(ExprOpKind::PushBand, b));
    ops.push_back(scalar(2.0f));
    ops.push_back(op(ExprOpKind::PushBand, 0));
    for (uint32_t k = 0; k <= kBands; ++k) ops.push_back(op(ExprOpKind::Add));
    const ExprContext program{ops.data(), ops.size(), bands.data(), bands.size()};
    const TilePlan plan = plan_tiles(program, false, false);
    uint64_t marks[kMarkedWords];
    for (int k = 0; k < kMarkedWords; ++k) marks[k] = 0x5EED000000000000ull + 0x0101010101ull * (k + 1);
    for (bool zmm : {false, true}) {
        if (zmm && !runs_simd_level(SimdLevel::Avx512)) continue;
        std::vector<uint8_t> bytes;
        std::vector<float> constants;
        std::vector<uint32_t> bands_read;
        size_t streaming_entry = 0, function_table = 0;
        const int lanes = generate_x86_64(plan, zmm, kSystemConvention, bytes, streaming_entry, function_table,
                                          constants, bands_read);
        check(lanes == (zmm ? 16 : 8), "the register-filling program compiles to machine code");
        if (lanes == 0) continue;
        void* memory = platform::map_machine_code(bytes.data(), bytes.size(), function_table, function_table ? 2 : 0);
        check(memory != nullptr, "the system maps machine code");
        if (!memory) continue;
#if defined(_WIN32)
        for (size_t entry : {size_t{0}, streaming_entry}) check_unwinding(static_cast<std::byte*>(memory) + entry);
#endif
        alignas(64) float out[kPixels];  // the streaming loop stores whole aligned vectors
        const CodeCall call{firsts.data(), out, kPixels, nullptr, constants.data()};
        for (size_t entry : {size_t{0}, streaming_entry}) {
            uint64_t found[kMarkedWords] = {};
            kelvane_call_marked(reinterpret_cast<void (*)(const CodeCall*)>(static_cast<std::byte*>(memory) + entry),
                                &call, found, marks);
            check(std::memcmp(found, marks, sizeof marks) == 0,
                  std::string("the caller's registers survive the ") + (zmm ? "zmm" : "ymm") +
                      (entry ? " streaming" : "") + " loop");
            bool right = true;
            for (int64_t i = 0; i < kPixels; ++i) {
                float want = 2.0f + static_cast<float>(samples[0][i]);
                for (int b = kBands - 1; b >= 0; --b) want = static_cast<float>(samples[b][i]) + want;
                right = right && std::bit_cast<uint32_t>(out[i]) == std::bit_cast<uint32_t>(want);
            }
            check(right, "the register-filling program's values");
        }
        platform::unmap_machine_code(memory, bytes.size(), function_table);
    }
}
#else
static void machine_code_keeps_callers_registers() {}
#endif

static void simd_transposed_parity() {
    std::mt19937 rng(13);
    const int64_t pad = 64;  // guard bytes around every array
    for (int trial = 0; trial < 120; ++trial) {
        int64_t rows = 1 + rng() % 150, cols = 1 + rng() % 150;
        const bool bands_by_rows = trial % 2 == 0;  // else column-major bands, row-major output
        if (trial % 4 < 2) (bands_by_rows ? rows : cols) = 16 * (1 + rng() % 9);  // runs that can stream
        if (trial % 8 == 3) (bands_by_rows ? cols : rows) = 4000 + rng() % 400;  // more runs than a tile chunk
        const size_t band_offset = 2 * (rng() % 40), out_offset = 4 * (rng() % 20);
        const int64_t gap = trial % 5 == 4 ? 4 * (1 + rng() % 7) : 0;  // bytes between output runs
        const bool streaming = trial % 3 != 0;
        std::vector<std::vector<std::byte>> storage(3, std::vector<std::byte>(2 * rows * cols + 2 * pad + 80));
        std::vector<BandView> bands;
        for (auto& s : storage) {
            for (int64_t i = 0; i < rows * cols; ++i) {
                uint16_t v = static_cast<uint16_t>(rng() % 5 == 0 ? rng() % 3 : rng());
                std::memcpy(s.data() + pad + band_offset + 2 * i, &v, 2);
            }
            std::byte* d = s.data() + pad + band_offset;
            bands.push_back(bands_by_rows ? BandView{d, rows, cols, 2 * cols, 2}
                                          : BandView{d, rows, cols, 2, 2 * rows});
        }
        const int64_t run_bytes = 4 * (bands_by_rows ? rows : cols) + gap;
        auto out_view = [&](std::vector<std::byte>& buf) {
            std::byte* d = buf.data() + pad + out_offset;
            return bands_by_rows ? OutView{d, rows, cols, 4, run_bytes} : OutView{d, rows, cols, run_bytes, 4};
        };
        const size_t out_bytes = static_cast<size_t>(run_bytes * (bands_by_rows ? cols : rows) + 2 * pad + 80);
        IndexParams params{0.5f, 2.5f, 6.0f, 7.5f};
        params.streaming_stores = streaming;
        auto index_result = [&](const IndexKernelTable& t, BlockFn IndexKernelTable::*fn) {
            std::vector<std::byte> out(out_bytes, std::byte{0x55});
            PixelZip zip = PixelZip::of(out_view(out));
            const int nb = fn == &IndexKernelTable::evi ? 3 : 2;
            for (int k = 0; k < nb; ++k) zip.add(bands[k]);
            (t.*fn)(zip, &params);
            return out;
        };
        std::vector<ExprOp> ops = random_program(rng, 3);
        ExprContext program{ops.data(), ops.size(), bands.data(), bands.size()};
        program.streaming_stores = streaming;
        if (!cannot_fail(program, rows, cols)) {
            check(false, "generated program was judged able to fail");
            continue;
        }
        auto expr_result = [&](const ExprKernelTable& t, bool machine_code = false, bool narrow = false) {
            std::vector<std::byte> out(out_bytes, std::byte{0x55});
            PixelZip zip = PixelZip::index_grid(rows, cols);
            zip.add(out_view(out));
            ExprContext planned = program;
            planned.plan_runs_down = !bands_by_rows;
            const TilePlan plan = plan_tiles(planned, planned.plan_runs_down, false);
            use_plan(planned, plan);
            const MachineCode code = machine_code ? MachineCode::compile(plan, bands.size(), narrow) : MachineCode{};
            if (code.runnable()) planned.code = &code;
            ((rows > 1 && cols > 1) ? t.evaluate_tiles_transposed : t.evaluate_tiles)(zip, &planned);
            return out;
        };
        // The reference: the per-pixel machine, and the scalar index kernels.
        std::vector<std::byte> expr_reference(out_bytes, std::byte{0x55});
        {
            PixelZip zip = PixelZip::index_grid(rows, cols);
            zip.add(out_view(expr_reference));
            evaluate_block_per_pixel(zip, &program);
        }
        const std::string where = " trial " + std::to_string(trial) + " " + std::to_string(rows) + "x" +
                                  std::to_string(cols);
        BlockFn IndexKernelTable::*fns[] = {&IndexKernelTable::normalized_difference, &IndexKernelTable::ratio,
                                            &IndexKernelTable::adjusted_difference, &IndexKernelTable::evi};
        for (auto fn : fns) {
            const std::vector<std::byte> reference = index_result(index_kernels_for(SimdLevel::Scalar), fn);
            // The scalar path writes exactly the pixels: compare it with a plain walk.
            std::vector<std::byte> walked(out_bytes, std::byte{0x55});
            {
                const OutView v = out_view(walked);
                const OutView r = out_view(const_cast<std::vector<std::byte>&>(reference));
                for (int64_t i = 0; i < rows; ++i) {
                    for (int64_t j = 0; j < cols; ++j) {
                        std::memcpy(v.data + i * v.row_stride + j * v.col_stride,
                                    r.data + i * r.row_stride + j * r.col_stride, 4);
                    }
                }
            }
            check(walked == reference, "scalar transposed tiles write only the pixels" + where);
            for (SimdLevel level : levels()) {
                check(index_result(index_kernels_for(level), fn) == reference,
                      "transposed index tiles, target " + std::to_string(static_cast<int>(level)) + where);
            }
        }
        // Tiles and the per-pixel machine, and the targets among themselves, agree
        // on every bit but the sign of a NaN made from two NaNs (x86 keeps the
        // first operand's, and which one is first in a commutative operation is
        // the compiler's choice).
        auto same_but_nan_signs = [&](const std::vector<std::byte>& x, const std::vector<std::byte>& y) {
            bool same = true;
            for (size_t i = 0; i + 4 <= out_bytes; i += 4) {
                float a, b;
                std::memcpy(&a, &x[i], 4);
                std::memcpy(&b, &y[i], 4);
                same = same && (std::memcmp(&a, &b, 4) == 0 || (std::isnan(a) && std::isnan(b)));
            }
            return same;
        };
        for (SimdLevel level : levels()) {
            check(same_but_nan_signs(expr_result(expr_kernels_for(level)), expr_reference),
                  "transposed expression tiles, target " + std::to_string(static_cast<int>(level)) + where);
        }
        for (bool narrow : {false, true}) {
            check(same_but_nan_signs(expr_result(expr_kernels(), true, narrow), expr_reference),
                  "transposed expression machine code" + where);
        }
    }
}

// Which divisions the planner leaves to divide_integers_with_epsilon: those
// whose operands it can bound as whole numbers or as halves (quarters, ...)
// small enough, the numerator never -0 and the divisor never below 0 (never
// 0 unless both are whole).
static void planner_divisions() {
    auto band = [](uint32_t k) { return op(ExprOpKind::PushBand, k); };
    const ExprOp sub = op(ExprOpKind::Sub), add = op(ExprOpKind::Add), mul = op(ExprOpKind::Mul),
                 div = op(ExprOpKind::Div), neg = op(ExprOpKind::Neg);
    struct Case {
        const char* what;
        std::vector<ExprOp> ops;
        bool of_integers;
    };
    const Case cases[] = {
        {"a normalized difference", {band(0), band(1), sub, band(0), band(1), add, div}, true},
        {"a ratio", {band(0), band(1), div}, true},
        {"SAVI (halves)", {band(0), band(1), sub, band(0), band(1), add, scalar(0.5f), add, div}, true},
        {"halves over a band", {band(0), scalar(0.5f), mul, band(1), scalar(1.0f), add, div}, true},
        {"SAVI as the catalogue writes it",
         {scalar(1.0f), scalar(0.5f), add, band(0), band(1), sub, mul, band(0), band(1), add, scalar(0.5f), add, div},
         true},
        {"a difference times 0", {band(0), band(1), sub, scalar(0.0f), mul, band(0), band(1), add, div}, false},
        {"a band over quarters", {band(0), band(1), scalar(0.25f), mul, scalar(0.25f), add, div}, true},
        {"a sum of quarters, 2^18 scaled past",
         {band(0), band(1), sub, band(0), band(1), add, scalar(0.25f), add, div}, false},
        {"halves over a band that may be 0", {band(0), scalar(0.5f), mul, band(1), div}, false},
        {"halves over a divisor that may be negative",
         {band(0), band(1), sub, band(0), band(1), sub, scalar(0.5f), add, div}, false},
        {"a -0 numerator of halves", {scalar(-0.0f), band(1), scalar(0.5f), add, div}, false},
        {"a negated numerator that may be -0",
         {band(0), band(1), sub, neg, band(0), band(1), add, scalar(0.5f), add, div}, false},
        {"tenths", {band(0), band(1), sub, band(0), band(1), add, scalar(0.1f), add, div}, false},
        {"whole numbers past 2^17", {band(0), band(1), add, band(0), add, band(1), div}, false},
    };
    const BandView bands[2] = {};
    for (const Case& c : cases) {
        const ExprContext program{c.ops.data(), c.ops.size(), bands, 2};
        const TilePlan plan = plan_tiles(program, false, false);
        bool of_integers = false;
        for (const TileOp& o : plan.ops) of_integers = of_integers || o.kind == ExprOpKind::DivIntegers;
        for (const TileLeaf& leaf : plan.leaves) of_integers = of_integers || leaf.kind == ExprOpKind::DivIntegers;
        check(of_integers == c.of_integers, std::string("planned division: ") + c.what);
    }
}

// The executor's choice of path, from the program and the views alone.
static void expr_paths() {
    const int64_t rows = 6, cols = 10;
    std::vector<std::byte> memory(4 * rows * cols * 4);
    std::byte* const band_memory = memory.data();
    std::byte* const out_memory = memory.data() + 2 * rows * cols * 2;
    const BandView c_band{band_memory, rows, cols, 2 * cols, 2};
    const BandView f_band{band_memory, rows, cols, 2, 2 * rows};
    const BandView reversed_band{band_memory + 2 * (rows * cols - 1), rows, cols, -2 * cols, -2};
    const OutView c_out{out_memory, rows, cols, 4 * cols, 4};
    const OutView f_out{out_memory, rows, cols, 4, 4 * rows};
    const OutView reversed_out{out_memory + 4 * (rows * cols - 1), rows, cols, -4 * cols, -4};
    const OutView overlapping_out{band_memory, rows, cols, 4 * cols, 4};
    const std::vector<ExprOp> nd = {op(ExprOpKind::PushBand, 0), op(ExprOpKind::PushBand, 1), op(ExprOpKind::Sub),
                                    op(ExprOpKind::PushBand, 0), op(ExprOpKind::PushBand, 1), op(ExprOpKind::Add),
                                    op(ExprOpKind::Div)};
    const std::vector<ExprOp> underflows = {op(ExprOpKind::PushBand, 0), op(ExprOpKind::Add)};
    const std::vector<ExprOp> reads_band_2 = {op(ExprOpKind::PushBand, 2)};
    struct Case {
        const char* what;
        const std::vector<ExprOp>* ops;
        OutView out;
        BandView band;
        bool tiles, transposed, runs_down;
        int tendency;  // the zip's lean for the cut (checked for tiles)
    };
    const Case cases[] = {
        {"C bands into a C output", &nd, c_out, c_band, true, false, false, 2},
        {"F bands into an F output", &nd, f_out, f_band, true, false, true, -2},
        {"C bands into an F output", &nd, f_out, c_band, true, true, false, 2},
        {"F bands into a C output", &nd, c_out, f_band, true, true, true, -2},
        {"a program that underflows", &underflows, c_out, c_band, false, false, false, 0},
        {"a band that does not exist", &reads_band_2, c_out, c_band, false, false, false, 0},
        {"an output over a band", &nd, overlapping_out, c_band, false, false, false, 0},
    };
    for (const Case& c : cases) {
        const ExprPath path = choose_expr_path(c.ops->data(), c.ops->size(), c.out, {c.band, c.band});
        bool ok = path.tiles == c.tiles && path.transposed == c.transposed && !path.streaming;
        if (c.tiles) ok = ok && path.runs_down == c.runs_down && path.zip.layout_tendency == c.tendency;
        ok = ok && path.kernel(expr_kernels()) == (!c.tiles       ? &evaluate_block_per_pixel
                                                   : c.transposed ? expr_kernels().evaluate_tiles_transposed
                                                                  : expr_kernels().evaluate_tiles);
        check(ok, std::string("expression path: ") + c.what);
    }
    // Views that all go backwards are walked forwards by tiles, and only by them.
    const ExprPath mirrored = choose_expr_path(nd.data(), nd.size(), reversed_out, {reversed_band, reversed_band});
    check(mirrored.tiles && mirrored.out.data == out_memory && mirrored.out.row_stride == 4 * cols &&
              mirrored.bands[1].data == band_memory && mirrored.bands[1].col_stride == 2,
          "expression path: reversed views are mirrored for tiles");
    const ExprPath kept = choose_expr_path(underflows.data(), underflows.size(), reversed_out, {reversed_band});
    check(!kept.tiles && kept.out.data == reversed_out.data && kept.bands[0].data == reversed_band.data,
          "expression path: reversed views stay as they are per pixel");
    // Large outputs are streamed.
    const OutView large{out_memory, 4096, 4096, 4 * 4096, 4};
    check(choose_expr_path(nd.data(), 0, large, {}).streaming, "expression path: a large output is streamed");
}

int main() {
    dispatch();
    simd_index_parity();
    simd_expr_parity();
    integer_division_of_every_sample_pair();
    integer_division_by_epsilon();
    simd_transposed_parity();
    machine_code_keeps_callers_registers();
    planner_divisions();
    expr_paths();
    return native_checks::report();
}
