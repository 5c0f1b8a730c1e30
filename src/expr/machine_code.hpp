// Machine code for a tile plan: the plan's operations compiled, at first use,
// into one loop that keeps every intermediate value in a register, where the
// tile evaluator stores each operation's values to a slot and reads them back.
// Same single-precision operations on the same operands in the same order, so
// the same bits; the tile evaluator stays the reference and the fallback.
#pragma once

#include "expr/program.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvane {

// What a compiled loop reads: the first sample of each band (by band
// position), the output, the pixel count (a multiple of the code's lanes) and
// the program's tables. The field order is the generated code's.
struct CodeCall {
    const std::byte* const* bands;
    float* out;
    int64_t n;
    const float* const* tables;
    const float* constants;  // the code's own, broadcast from
};

// The most pixels one iteration computes (16 in zmm registers).
inline constexpr int64_t kMaxCodeLanes = 16;
// Programs over more bands run on the tile evaluator (a call keeps the bands'
// first samples on its stack).
inline constexpr size_t kMaxCodeBands = 64;

class MachineCode {
public:
    // The plan's code, or none (runnable() false) when this CPU, this system
    // or the plan has no generated path: a plan that calls the C library lane
    // by lane, goes deeper than the registers, or reads more bands and tables
    // than it can keep in registers. The code reads every band in place with
    // the plan's band_step. KELVANE_MACHINE_CODE=0 in the environment forces
    // none.
    // `narrow`: 256-bit code even where the CPU has AVX-512 (for the checks).
    static MachineCode compile(const TilePlan& plan, size_t num_bands, bool narrow = false);

    MachineCode() = default;
    MachineCode(MachineCode&& other) noexcept { *this = std::move(other); }
    MachineCode& operator=(MachineCode&& other) noexcept;
    MachineCode(const MachineCode&) = delete;
    MachineCode& operator=(const MachineCode&) = delete;
    ~MachineCode();

    bool runnable() const { return entry_ != nullptr; }
    int lanes() const { return lanes_; }  // pixels per iteration
    // Computes `n` pixels (any count) whose bands start at firsts[band]; the
    // last few go through a padded copy of their samples (and the last group
    // too when the bands hold every other sample: reading a group's samples
    // takes the 2 bytes after its last one). `streaming`: the output, whose
    // floats are aligned, is written past the caches from its first whole
    // vector on (the caller fences).
    void run(const std::byte* const* firsts, float* out, int64_t n, const float* const* tables,
             bool streaming = false) const;

private:
    // Computes the `count` pixels from `start` through a padded copy of their samples.
    void run_padded(const std::byte* const* firsts, int64_t start, int64_t count, float* out,
                    const float* const* tables) const;

    void (*entry_)(const CodeCall*) = nullptr;
    void (*streaming_entry_)(const CodeCall*) = nullptr;
    int lanes_ = 0;
    int64_t band_step_ = kBandElementSize;  // bytes from one sample to the next
    void* memory_ = nullptr;
    size_t size_ = 0;
    size_t function_table_ = 0;  // of the unwind data, where there is some
    std::vector<float> constants_;       // the code reads them through CodeCall
    std::vector<uint32_t> bands_read_;  // the bands whose samples the code reads
};

enum class CallingConvention { SystemV, Win64 };
// The one this build's functions follow.
#if defined(_WIN32)
inline constexpr CallingConvention kSystemConvention = CallingConvention::Win64;
#else
inline constexpr CallingConvention kSystemConvention = CallingConvention::SystemV;
#endif

// The x86-64 generator (AVX-512F with `zmm`, else AVX2): appends the bytes of
// two loops for `convention`, the second (at `streaming_entry`) storing with
// non-temporal stores to an output aligned to a whole vector, and their
// constants, and returns the pixels per iteration; 0, with nothing promised
// about them, when the plan has no generated path. For Win64 the bytes end
// with the loops' unwind data, whose two RUNTIME_FUNCTION entries start at
// `function_table` (0 for System V).
int generate_x86_64(const TilePlan& plan, bool zmm, CallingConvention convention, std::vector<uint8_t>& code,
                    size_t& streaming_entry, size_t& function_table, std::vector<float>& constants,
                    std::vector<uint32_t>& bands_read);

// Whether KELVANE_MACHINE_CODE leaves generated code allowed (anything but "0").
bool machine_code_allowed();

}  // namespace kelvane
