// Compiling a tile plan to machine code, and running it.
#include "expr/machine_code.hpp"

#include "base/platform.hpp"
#include "base/simd.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kelvane {

bool machine_code_allowed() {
    const char* setting = std::getenv("KELVANE_MACHINE_CODE");
    return !(setting && std::strcmp(setting, "0") == 0);
}

MachineCode MachineCode::compile(const TilePlan& plan, size_t num_bands, bool narrow) {
    MachineCode made;
#if defined(__x86_64__) && !defined(KELVANE_FORCE_SCALAR)
    if (!machine_code_allowed() || !runs_simd_level(SimdLevel::Avx2) || num_bands > kMaxCodeBands) return made;
    const bool zmm = !narrow && runs_simd_level(SimdLevel::Avx512);
    std::vector<uint8_t> bytes;
    size_t streaming_entry = 0, function_table = 0;
    made.lanes_ = generate_x86_64(plan, zmm, kSystemConvention, bytes, streaming_entry, function_table,
                                  made.constants_, made.bands_read_);
    if (made.lanes_ == 0) return MachineCode{};
    // Written while writable, then only executable: never both at once.
    made.memory_ = platform::map_machine_code(bytes.data(), bytes.size(), function_table, function_table ? 2 : 0);
    if (!made.memory_) return MachineCode{};
    made.size_ = bytes.size();
    made.function_table_ = function_table;
    made.band_step_ = plan.band_step;
    made.entry_ = reinterpret_cast<void (*)(const CodeCall*)>(made.memory_);
    made.streaming_entry_ =
        reinterpret_cast<void (*)(const CodeCall*)>(static_cast<std::byte*>(made.memory_) + streaming_entry);
#else
    (void)plan;
    (void)num_bands;
    (void)narrow;
#endif
    return made;
}

MachineCode& MachineCode::operator=(MachineCode&& other) noexcept {
    std::swap(entry_, other.entry_);
    std::swap(streaming_entry_, other.streaming_entry_);
    std::swap(lanes_, other.lanes_);
    std::swap(band_step_, other.band_step_);
    std::swap(memory_, other.memory_);
    std::swap(size_, other.size_);
    std::swap(function_table_, other.function_table_);
    std::swap(constants_, other.constants_);
    std::swap(bands_read_, other.bands_read_);
    return *this;
}

MachineCode::~MachineCode() {
    if (memory_) platform::unmap_machine_code(memory_, size_, function_table_);
}

void MachineCode::run(const std::byte* const* firsts, float* out, int64_t n, const float* const* tables,
                      bool streaming) const {
    // Streamed: the pixels before the first whole vector of the output go
    // through the padded copy, and the loop starts there.
    int64_t head = 0;
    if (streaming) {
        const int64_t vector_bytes = lanes_ * static_cast<int64_t>(sizeof(float));
        const auto address = static_cast<int64_t>(reinterpret_cast<uintptr_t>(out) % vector_bytes);
        head = std::min<int64_t>(n, (vector_bytes - address) % vector_bytes / static_cast<int64_t>(sizeof(float)));
        if (head > 0) run_padded(firsts, 0, head, out, tables);
    }
    int64_t whole = (n - head) - (n - head) % lanes_;
    if (band_step_ != kBandElementSize && head + whole == n && whole > 0) whole -= lanes_;
    if (whole > 0) {
        const std::byte* starts[kMaxCodeBands] = {};
        for (uint32_t b : bands_read_) starts[b] = firsts[b] + head * band_step_;
        const CodeCall call{starts, out + head, whole, tables, constants_.data()};
        (streaming ? streaming_entry_ : entry_)(&call);
    }
    if (head + whole < n) run_padded(firsts, head + whole, n - head - whole, out, tables);
}

void MachineCode::run_padded(const std::byte* const* firsts, int64_t start, int64_t count, float* out,
                             const float* const* tables) const {
    // Their samples padded with zeros to a whole group, whose extra lanes are
    // computed and dropped.
    const int64_t spacing = band_step_ / kBandElementSize;  // 1 or 2 samples
    uint16_t padded[kMaxCodeBands][2 * kMaxCodeLanes];  // only the bands read are filled
    const std::byte* padded_firsts[kMaxCodeBands] = {};
    for (uint32_t b : bands_read_) {
        std::memset(padded[b], 0, sizeof padded[b]);
        for (int64_t j = 0; j < count; ++j) {
            std::memcpy(&padded[b][j * spacing], firsts[b] + (start + j) * band_step_, kBandElementSize);
        }
        padded_firsts[b] = reinterpret_cast<const std::byte*>(padded[b]);
    }
    float values[kMaxCodeLanes];
    const CodeCall call{padded_firsts, values, lanes_, tables, constants_.data()};
    entry_(&call);
    std::memcpy(out + start, values, static_cast<size_t>(count) * sizeof(float));
}

}  // namespace kelvane
