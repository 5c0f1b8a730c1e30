// The x86-64 generator: a tile plan as one loop for the System V or the
// Windows x64 calling convention, over 16 pixels at a time in zmm registers
// (AVX-512F, EVEX encoding) or 8 in ymm registers (AVX2, VEX encoding). Stack
// slot k lives in register k; the registers above the slots hold, for the
// whole loop, the samples of each band read more than once (loaded at the top
// of every iteration) and then the program's constants (set before the loop);
// the last four hold operands read in place while an operation uses them. Each
// operation is the instructions the tile evaluator's functor compiles to on
// the same operands (vaddps, vsubps, vmulps, vdivps, vsqrtps, sign-bit masks;
// for a division of integers in zmm registers, vrcp14ps and fused steps, or
// vdivps in every second group: a LanePair's), every sample converts exactly
// (vpmovzxwd, or the low halves of 32-bit lanes where the bands hold every
// other sample, then vcvtdq2ps), and nothing is contracted or reordered, so
// the bits are the evaluator's.
#include "expr/machine_code.hpp"

#include "base/numeric.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <map>
#include <utility>

namespace kelvane {
namespace {

enum Gpr : int {
    RAX = 0, RCX = 1, RDX = 2, RBX = 3, RSP = 4, RBP = 5, RSI = 6, RDI = 7,
    R8 = 8, R9, R10, R11, R12, R13, R14, R15
};

// Registers for the bands' sample pointers and the tables' addresses; rbx,
// rbp and r12 to r15 are the caller's and are saved around the loop.
constexpr int kSourceRegisters[] = {R9, R10, R11, RBX, RBP, R12, R13, R14, R15};
constexpr int kSavedRegisters[] = {RBX, RBP, R12, R13, R14, R15};
// Windows x64 also leaves rdi, rsi and the low 128 bits of xmm6 to xmm15 to
// the callee: saved too, the vectors below the return address.
constexpr int kWin64SavedRegisters[] = {RDI, RSI};
constexpr int kWin64FirstSavedXmm = 6, kWin64SavedXmms = 10, kXmmBytes = 16;
constexpr int kTemporaries = 4;
// Windows x64's unwind operations (UNWIND_CODE) that the prologue takes.
constexpr uint8_t kPushNonvolatile = 0, kAllocateLarge = 1, kSaveXmm128 = 8;

// A memory operand [base + index * scale + disp]; `index` is a vector
// register for gathers.
struct Mem {
    int base;
    int index = -1;
    int scale = 1;
    int32_t disp = 0;
};

// The plan cannot be generated (too deep, too many sources, an operation
// without an instruction here).
struct NotGenerated {};

class Assembler {
public:
    Assembler(std::vector<uint8_t>& out, bool zmm) : bytes_(out), zmm_(zmm) {}

    size_t size() const { return bytes_.size(); }
    void byte(uint8_t b) { bytes_.push_back(b); }
    void dword(uint32_t v) {
        for (int k = 0; k < 4; ++k) byte(static_cast<uint8_t>(v >> (8 * k)));
    }

    // Opcode maps and mandatory prefixes of the VEX and EVEX encodings.
    enum Map { k0F = 1, k0F38 = 2 };
    enum Prefix { kNone = 0, k66 = 1 };

    // A full-width vector instruction: reg, the second source vvvv (-1 when
    // unused), and a register or memory r/m operand; `mask` is the opmask
    // register of an EVEX gather.
    void vector_rr(Map map, Prefix pp, uint8_t opcode, int reg, int vvvv, int rm) {
        prefix(map, pp, reg, vvvv, rm >> 4, rm >> 3, vvvv >= 0 ? vvvv >> 4 : 0, 0);
        byte(opcode);
        byte(static_cast<uint8_t>(0xC0 | (reg & 7) << 3 | (rm & 7)));
    }
    void vector_rm(Map map, Prefix pp, uint8_t opcode, int reg, int vvvv, const Mem& m, bool vector_index = false,
                   int mask = 0) {
        const int x = m.index >= 0 ? m.index >> 3 : 0;
        const int v_high = vector_index ? m.index >> 4 : vvvv >= 0 ? vvvv >> 4 : 0;
        prefix(map, pp, reg, vvvv, x, m.base >> 3, v_high, mask);
        byte(opcode);
        memory(reg, m);
    }
    void all_lanes_k1() { byte(0xC5), byte(0xFC), byte(0x46), byte(0xC8); }  // kxnorw k1, k0, k0

    void push(int r) {
        if (r >= 8) byte(0x41);
        byte(static_cast<uint8_t>(0x50 + (r & 7)));
    }
    void pop(int r) {
        if (r >= 8) byte(0x41);
        byte(static_cast<uint8_t>(0x58 + (r & 7)));
    }
    void load_gpr(int r, const Mem& m) {  // mov r64, [m]
        byte(static_cast<uint8_t>(0x48 | ((r >> 3) & 1) << 2 | (m.index >= 0 ? ((m.index >> 3) & 1) << 1 : 0) |
                                  ((m.base >> 3) & 1)));
        byte(0x8B);
        memory(r, m);
    }
    void zero_rax() { byte(0x31), byte(0xC0); }                                    // xor eax, eax
    void add_rax(uint8_t imm) { byte(0x48), byte(0x83), byte(0xC0), byte(imm); }  // add rax, imm8
    void cmp_rax_rdx() { byte(0x48), byte(0x39), byte(0xD0); }                     // cmp rax, rdx
    void jump_if_below(size_t target) {                                            // jb rel32
        byte(0x0F), byte(0x82);
        dword(static_cast<uint32_t>(static_cast<int64_t>(target) - static_cast<int64_t>(size() + 4)));
    }
    // jae rel32 to a place not yet known: returns where to fill it in (land_jump).
    size_t jump_if_above_or_equal() {
        byte(0x0F), byte(0x83);
        dword(0);
        return size();
    }
    void land_jump(size_t from) {  // the jump that ends at `from` goes to here
        const uint32_t distance = static_cast<uint32_t>(size() - from);
        std::memcpy(bytes_.data() + from - 4, &distance, 4);
    }
    void prefetch(const Mem& m) {  // prefetcht0 [m], with a REX prefix for r8 to r15
        const int x = m.index >= 0 ? (m.index >> 3) & 1 : 0, b = (m.base >> 3) & 1;
        if (x || b) byte(static_cast<uint8_t>(0x40 | x << 1 | b));
        byte(0x0F), byte(0x18);
        memory(1, m);
    }
    void vzeroupper() { byte(0xC5), byte(0xF8), byte(0x77); }
    void mov_rdi_rcx() { byte(0x48), byte(0x89), byte(0xCF); }  // mov rdi, rcx
    void sub_rsp(int32_t bytes) { byte(0x48), byte(0x81), byte(0xEC), dword(static_cast<uint32_t>(bytes)); }
    void add_rsp(int32_t bytes) { byte(0x48), byte(0x81), byte(0xC4), dword(static_cast<uint32_t>(bytes)); }
    // vmovups [rsp + disp], xmm / vmovups xmm, [rsp + disp]: VEX, 128 bits,
    // whatever the loop's width (a load zeroes the bits above, which Windows
    // leaves to the callee).
    void store_xmm(int xmm, int32_t disp) { xmm_rsp(0x11, xmm, disp); }
    void load_xmm(int xmm, int32_t disp) { xmm_rsp(0x10, xmm, disp); }
    void ret() { byte(0xC3); }

private:
    void xmm_rsp(uint8_t opcode, int xmm, int32_t disp) {
        byte(0xC4);
        byte(static_cast<uint8_t>((~xmm >> 3 & 1) << 7 | 1 << 6 | 1 << 5 | k0F));
        byte(0x78);  // W0, no vvvv, L0, no prefix
        byte(opcode);
        memory(xmm, Mem{RSP, -1, 1, disp});
    }
    // r_hi and x, b, v_high: bits 4 and 3 of the registers, before inversion.
    void prefix(Map map, Prefix pp, int reg, int vvvv, int x, int b, int v_high, int mask) {
        const int v = vvvv >= 0 ? vvvv & 15 : 0;
        if (zmm_) {  // EVEX, 512 bits, W0
            byte(0x62);
            byte(static_cast<uint8_t>((~reg >> 3 & 1) << 7 | (~x & 1) << 6 | (~b & 1) << 5 | (~reg >> 4 & 1) << 4 |
                                      map));
            byte(static_cast<uint8_t>((~v & 15) << 3 | 1 << 2 | pp));
            byte(static_cast<uint8_t>(2 << 5 | (~v_high & 1) << 3 | mask));
        } else {  // VEX, 256 bits, W0
            byte(0xC4);
            byte(static_cast<uint8_t>((~reg >> 3 & 1) << 7 | (~x & 1) << 6 | (~b & 1) << 5 | map));
            byte(static_cast<uint8_t>((~v & 15) << 3 | 1 << 2 | pp));
        }
    }
    // Always a SIB byte and a 32-bit displacement: one form for every base
    // (and no scaled 8-bit displacements in EVEX).
    void memory(int reg, const Mem& m) {
        byte(static_cast<uint8_t>(0x80 | (reg & 7) << 3 | 4));
        const int scale_bits = m.scale == 1 ? 0 : m.scale == 2 ? 1 : m.scale == 4 ? 2 : 3;
        const int index = m.index >= 0 ? (m.index & 7) : 4;  // 4 without REX.X: no index
        byte(static_cast<uint8_t>(scale_bits << 6 | index << 3 | (m.base & 7)));
        dword(static_cast<uint32_t>(m.disp));
    }

    std::vector<uint8_t>& bytes_;
    bool zmm_;
};

// CodeCall's fields, as the loop reads them.
constexpr int32_t kCallBands = 0, kCallOut = 8, kCallCount = 16, kCallTables = 24, kCallConstants = 32;

constexpr uint32_t kSignBit = 0x80000000u, kMagnitudeBits = 0x7FFFFFFFu, kLowHalf = 0x0000FFFFu;

class Generator {
public:
    Generator(const TilePlan& plan, bool zmm, CallingConvention convention, std::vector<uint8_t>& code,
              std::vector<float>& constants)
        : plan_(plan), zmm_(zmm), win64_(convention == CallingConvention::Win64), as_(code, zmm), constants_(constants),
          first_temporary_(zmm ? 32 - kTemporaries : 16 - kTemporaries) {}

    // `streaming`: the loop stores with vmovntps (its output aligned to a
    // whole vector), past the caches, and prefetches its bands.
    void generate(bool streaming) {
        if (plan_.band_step != kBandElementSize && plan_.band_step != 2 * kBandElementSize) throw NotGenerated{};
        if (plan_.ops.empty()) throw NotGenerated{};
        if (every_other()) want(std::bit_cast<float>(kLowHalf));
        for (const TileOp& op : plan_.ops) {
            note(op.a);
            if (info_of(op.kind).pops == 2) note(op.b);
            slots_ = std::max(slots_, op.dst + 1);
            wants_of(op.kind);
            if (op.kind == ExprOpKind::Neg) want(std::bit_cast<float>(kSignBit));
            if (op.kind == ExprOpKind::Abs) want(std::bit_cast<float>(kMagnitudeBits));
        }
        if (slots_ > static_cast<uint32_t>(first_temporary_)) throw NotGenerated{};
        // rdi: the CodeCall; rsi: the output; rdx: the pixel count; r8: the
        // constants; rax: the pixel index; rcx: the bands, then the tables.
        const size_t start = as_.size();
        // Each step of the Windows prologue, described for its unwinder
        // (UNWIND_CODE: the step's end, the operation, its operand, its
        // extra slots).
        auto unwound = [&](uint8_t op, int info, std::initializer_list<uint16_t> extra) {
            unwind_codes_.insert(unwind_codes_.begin(), extra.begin(), extra.end());
            unwind_codes_.insert(unwind_codes_.begin(),
                                 static_cast<uint16_t>((as_.size() - start) | (op | info << 4) << 8));
        };
        for (int r : kSavedRegisters) {
            as_.push(r);
            if (win64_) unwound(kPushNonvolatile, r, {});
        }
        if (win64_) {
            for (int r : kWin64SavedRegisters) {
                as_.push(r);
                unwound(kPushNonvolatile, r, {});
            }
            as_.sub_rsp(kWin64SavedXmms * kXmmBytes);
            unwound(kAllocateLarge, 0, {static_cast<uint16_t>(kWin64SavedXmms * kXmmBytes / 8)});
            for (int k = 0; k < kWin64SavedXmms; ++k) {
                as_.store_xmm(kWin64FirstSavedXmm + k, k * kXmmBytes);
                unwound(kSaveXmm128, kWin64FirstSavedXmm + k, {static_cast<uint16_t>(k)});  // in units of 16 bytes
            }
            prologue_bytes_ = as_.size() - start;
            as_.mov_rdi_rcx();  // the CodeCall comes in rcx
        }
        as_.load_gpr(RSI, Mem{RDI, -1, 1, kCallOut});
        as_.load_gpr(RDX, Mem{RDI, -1, 1, kCallCount});
        as_.load_gpr(R8, Mem{RDI, -1, 1, kCallConstants});
        as_.load_gpr(RCX, Mem{RDI, -1, 1, kCallBands});
        for (const auto& [band, reg] : band_pointers_) {
            as_.load_gpr(reg, Mem{RCX, -1, 1, static_cast<int32_t>(8 * band)});
        }
        as_.load_gpr(RCX, Mem{RDI, -1, 1, kCallTables});
        for (const auto& [table, reg] : table_pointers_) {
            as_.load_gpr(reg, Mem{RCX, -1, 1, static_cast<int32_t>(8 * table)});
        }
        place_held_values();
        as_.zero_rax();
        const size_t loop = as_.size();
        group(streaming);
        size_t last_group_done = 0;
        if (divides_integers_in_pairs_) {
            // A second group per round whose divisions of integers take the
            // divider (divide_integer_lanes of frame/lanes_x86.inc with a
            // LanePair), unless the first was the count's last.
            as_.add_rax(static_cast<uint8_t>(lanes()));
            as_.cmp_rax_rdx();
            last_group_done = as_.jump_if_above_or_equal();
            integers_by_divider_ = true;
            group(streaming);
            integers_by_divider_ = false;
        }
        as_.add_rax(static_cast<uint8_t>(lanes()));
        as_.cmp_rax_rdx();
        as_.jump_if_below(loop);
        if (divides_integers_in_pairs_) as_.land_jump(last_group_done);
        as_.vzeroupper();
        if (win64_) {
            for (int k = 0; k < kWin64SavedXmms; ++k) as_.load_xmm(kWin64FirstSavedXmm + k, k * kXmmBytes);
            as_.add_rsp(kWin64SavedXmms * kXmmBytes);
            for (int k = static_cast<int>(std::size(kWin64SavedRegisters)) - 1; k >= 0; --k) {
                as_.pop(kWin64SavedRegisters[k]);
            }
        }
        for (int k = static_cast<int>(std::size(kSavedRegisters)) - 1; k >= 0; --k) as_.pop(kSavedRegisters[k]);
        as_.ret();
    }

    int lanes() const { return zmm_ ? 16 : 8; }

    // The Windows prologue's unwind codes, last step first, and its length.
    const std::vector<uint16_t>& unwind_codes() const { return unwind_codes_; }
    size_t prologue_bytes() const { return prologue_bytes_; }

    // The pixels [rax, rax + lanes) through the whole plan, into the output.
    void group(bool streaming) {
        for (const auto& [band, reg] : band_values_) load_samples(reg, band);
        if (streaming) {  // the bands' samples asked for ahead, as the index kernels' streamed runs do
            for (const auto& [band, reg] : band_pointers_) {
                as_.prefetch(Mem{reg, RAX, static_cast<int>(plan_.band_step), static_cast<int32_t>(kPrefetchBytes)});
            }
        }
        for (const TileOp& op : plan_.ops) operation(op);
        // vmovntps or vmovups [out + 4i], slot 0
        as_.vector_rm(Assembler::k0F, Assembler::kNone, streaming ? 0x2B : 0x11, 0, -1, Mem{RSI, RAX, 4});
    }

    std::vector<uint32_t> bands_read() const {
        std::vector<uint32_t> bands;
        for (const auto& entry : band_pointers_) bands.push_back(entry.first);
        return bands;
    }

private:
    // What an operand needs: registers for its pointers, uses of its band's
    // samples, its constants.
    void note(const TileOperand& x) {
        switch (x.kind) {
            case TileOperand::Slot: slots_ = std::max(slots_, x.index + 1); break;
            case TileOperand::Scalar: want(x.value); break;
            case TileOperand::Band:
                pointer(band_pointers_, x.index);
                ++band_uses_[x.index];
                break;
            case TileOperand::Table:
                pointer(table_pointers_, x.index);
                pointer(band_pointers_, plan_.tables.at(x.index).band);
                break;
            case TileOperand::Leaf: {
                const TileLeaf& leaf = plan_.leaves.at(x.index);
                note(leaf.a);
                note(leaf.b);
                wants_of(leaf.kind);
                break;
            }
        }
    }
    // The constants a division uses besides its operands.
    void wants_of(ExprOpKind kind) {
        if (kind == ExprOpKind::Div || kind == ExprOpKind::DivIntegers) want(DENOM_EPSILON);
        if (kind == ExprOpKind::DivIntegers && zmm_) {
            want(1.0f);
            divides_integers_in_pairs_ = true;
        }
    }
    void pointer(std::map<uint32_t, int>& registers, uint32_t index) {
        if (registers.count(index)) return;
        if (pointers_ == std::size(kSourceRegisters) || index >= kMaxCodeBands) throw NotGenerated{};
        registers[index] = kSourceRegisters[pointers_++];
    }
    void want(float value) {
        for (float w : wanted_) {
            if (std::bit_cast<uint32_t>(w) == std::bit_cast<uint32_t>(value)) return;
        }
        wanted_.push_back(value);
    }

    // The registers above the slots: the samples of bands read more than
    // once, then constants, while they last; the rest is loaded where used.
    void place_held_values() {
        int next = static_cast<int>(slots_);
        for (const auto& [band, uses] : band_uses_) {
            if (uses > 1 && next < first_temporary_) band_values_[band] = next++;
        }
        for (float value : wanted_) {
            if (next == first_temporary_) break;
            broadcast(next, value);
            constant_values_.emplace_back(std::bit_cast<uint32_t>(value), next++);
        }
    }
    int held_constant(float value) const {
        for (const auto& [bits, reg] : constant_values_) {
            if (bits == std::bit_cast<uint32_t>(value)) return reg;
        }
        return -1;
    }

    int temporary() {
        for (int k = 0; k < kTemporaries; ++k) {
            if (!(temporaries_ & (1u << k))) {
                temporaries_ |= 1u << k;
                return first_temporary_ + k;
            }
        }
        throw NotGenerated{};
    }
    void release(int reg) {
        if (reg >= first_temporary_) temporaries_ &= ~(1u << (reg - first_temporary_));
    }

    int32_t constant_offset(float value) {
        const uint32_t bits = std::bit_cast<uint32_t>(value);
        for (size_t k = 0; k < constants_.size(); ++k) {
            if (std::bit_cast<uint32_t>(constants_[k]) == bits) return static_cast<int32_t>(4 * k);
        }
        constants_.push_back(value);
        return static_cast<int32_t>(4 * (constants_.size() - 1));
    }
    void broadcast(int reg, float value) {  // vbroadcastss reg, [constants + k]
        as_.vector_rm(Assembler::k0F38, Assembler::k66, 0x18, reg, -1, Mem{R8, -1, 1, constant_offset(value)});
    }
    void copy(int dst, int src) { as_.vector_rr(Assembler::k0F, Assembler::kNone, 0x10, dst, -1, src); }  // vmovups
    bool every_other() const { return plan_.band_step != kBandElementSize; }
    // reg = the band's samples as 32-bit integers: vpmovzxwd reg, [band + 2i]
    // for adjacent samples; for every other one, the low halves of 32-bit
    // loads, vpand(d) reg, low_half, [band + 4i].
    void load_integers(int reg, uint32_t band) {
        const Mem samples{band_pointers_.at(band), RAX, static_cast<int>(plan_.band_step)};
        if (!every_other()) {
            as_.vector_rm(Assembler::k0F38, Assembler::k66, 0x33, reg, -1, samples);
            return;
        }
        const int low_half = value(TileOperand{TileOperand::Scalar, 0, std::bit_cast<float>(kLowHalf)});
        as_.vector_rm(Assembler::k0F, Assembler::k66, 0xDB, reg, low_half, samples);
        release(low_half);
    }
    void load_samples(int reg, uint32_t band) {  // exact: every sample is an integer below 2^24
        load_integers(reg, band);
        as_.vector_rr(Assembler::k0F, Assembler::kNone, 0x5B, reg, -1, reg);  // vcvtdq2ps
    }

    // A value for the current pixels in a register: its own (a slot, a held
    // band or constant) when `into` is negative, else `into`, or a temporary.
    int value(const TileOperand& x, int into = -1) {
        int held = -1;
        if (x.kind == TileOperand::Slot) held = static_cast<int>(x.index);
        if (x.kind == TileOperand::Scalar) held = held_constant(x.value);
        if (x.kind == TileOperand::Band && band_values_.count(x.index)) held = band_values_[x.index];
        if (held >= 0) {
            if (into < 0) return held;
            copy(into, held);
            return into;
        }
        if (x.kind == TileOperand::Leaf) {  // computed into a temporary of its operands' where it can
            const TileLeaf& leaf = plan_.leaves[x.index];
            const int a = value(leaf.a), b = value(leaf.b);
            const int reg = into >= 0 ? into : a >= first_temporary_ ? a : b >= first_temporary_ ? b : temporary();
            arithmetic(leaf.kind, reg, a, b);
            if (a != reg) release(a);
            if (b != reg) release(b);
            return reg;
        }
        const int reg = into >= 0 ? into : temporary();
        switch (x.kind) {
            case TileOperand::Scalar: broadcast(reg, x.value); break;
            case TileOperand::Band: load_samples(reg, x.index); break;
            case TileOperand::Table: table_lookup(reg, x.index); break;
            default: throw NotGenerated{};
        }
        return reg;
    }
    // reg = the table's entries at the band's samples (vgatherdps).
    void table_lookup(int reg, uint32_t table) {
        const int index = temporary();
        load_integers(index, plan_.tables[table].band);
        const Mem entries{table_pointers_.at(table), index, 4};
        if (zmm_) {
            as_.all_lanes_k1();
            as_.vector_rm(Assembler::k0F38, Assembler::k66, 0x92, reg, -1, entries, true, 1);
        } else {
            const int mask = temporary();
            as_.vector_rr(Assembler::k0F, Assembler::k66, 0x76, mask, mask, mask);  // vpcmpeqd: every lane
            as_.vector_rm(Assembler::k0F38, Assembler::k66, 0x92, reg, mask, entries, true);
            release(mask);
        }
        release(index);
    }

    void arithmetic(ExprOpKind kind, int dst, int a, int b) {
        switch (kind) {
            case ExprOpKind::Add: as_.vector_rr(Assembler::k0F, Assembler::kNone, 0x58, dst, a, b); break;
            case ExprOpKind::Mul: as_.vector_rr(Assembler::k0F, Assembler::kNone, 0x59, dst, a, b); break;
            case ExprOpKind::Sub: as_.vector_rr(Assembler::k0F, Assembler::kNone, 0x5C, dst, a, b); break;
            case ExprOpKind::Div: divide(dst, a, b); break;
            case ExprOpKind::DivIntegers:
                if (zmm_ && !integers_by_divider_) {
                    divide_integers(dst, a, b);
                } else {
                    divide(dst, a, b);
                }
                break;
            default: throw NotGenerated{};  // pow calls the C library: the tile evaluator's
        }
    }

    // a / (b + DENOM_EPSILON), the sum rounded first.
    void divide(int dst, int a, int b) {
        const int epsilon = value(TileOperand{TileOperand::Scalar, 0, DENOM_EPSILON}), divisor = temporary();
        as_.vector_rr(Assembler::k0F, Assembler::kNone, 0x58, divisor, b, epsilon);  // vaddps
        as_.vector_rr(Assembler::k0F, Assembler::kNone, 0x5E, dst, a, divisor);      // vdivps
        release(epsilon);
        release(divisor);
    }

    // divide_integer_lanes of frame/lanes_x86.inc for zmm registers,
    // instruction for instruction: d = b + epsilon, y = vrcp14ps(d),
    // e = 1 - d*y, y = e*y + y, q = a*y, r = a - d*q (into d), q = r*y + q.
    // dst may be a or b; b's register becomes d when it is a temporary.
    void divide_integers(int dst, int a, int b) {
        const bool reuse_b = b >= first_temporary_ && b != a;
        const int epsilon = value(TileOperand{TileOperand::Scalar, 0, DENOM_EPSILON});
        const int d = reuse_b ? b : temporary();
        as_.vector_rr(Assembler::k0F, Assembler::kNone, 0x58, d, b, epsilon);  // vaddps
        release(epsilon);
        const int y = temporary();
        as_.vector_rr(Assembler::k0F38, Assembler::k66, 0x4C, y, -1, d);  // vrcp14ps
        const int e = value(TileOperand{TileOperand::Scalar, 0, 1.0f}, temporary());
        as_.vector_rr(Assembler::k0F38, Assembler::k66, 0xBC, e, d, y);  // vfnmadd231ps: e = 1 - d*y
        as_.vector_rr(Assembler::k0F38, Assembler::k66, 0xB8, y, e, y);  // vfmadd231ps: y = e*y + y
        as_.vector_rr(Assembler::k0F, Assembler::kNone, 0x59, e, a, y);  // vmulps: q = a*y
        as_.vector_rr(Assembler::k0F38, Assembler::k66, 0xAC, d, e, a);  // vfnmadd213ps: r = a - d*q
        as_.vector_rr(Assembler::k0F38, Assembler::k66, 0xB8, e, d, y);  // vfmadd231ps: q = r*y + q
        copy(dst, e);
        if (!reuse_b) release(d);
        release(y);
        release(e);
    }

    // dst = a with its sign bit flipped (xor) or cleared (and).
    void sign_bits(int dst, int a, bool flip) {
        const float bits = std::bit_cast<float>(flip ? kSignBit : kMagnitudeBits);
        const int mask = value(TileOperand{TileOperand::Scalar, 0, bits});
        if (zmm_) {  // vpxord, vpandd
            as_.vector_rr(Assembler::k0F, Assembler::k66, flip ? 0xEF : 0xDB, dst, a, mask);
        } else {  // vxorps, vandps
            as_.vector_rr(Assembler::k0F, Assembler::kNone, flip ? 0x57 : 0x54, dst, a, mask);
        }
        release(mask);
    }

    void operation(const TileOp& op) {
        const int dst = static_cast<int>(op.dst);
        const int pops = info_of(op.kind).pops;
        if (pops == 0) {  // a copy of operand a
            value(op.a, dst);
        } else if (pops == 2) {
            const int a = value(op.a), b = value(op.b);
            arithmetic(op.kind, dst, a, b);
            release(a);
            release(b);
        } else {
            const int a = value(op.a);
            switch (op.kind) {
                case ExprOpKind::Sqrt: as_.vector_rr(Assembler::k0F, Assembler::kNone, 0x51, dst, -1, a); break;
                case ExprOpKind::Neg: sign_bits(dst, a, true); break;
                case ExprOpKind::Abs: sign_bits(dst, a, false); break;
                default: throw NotGenerated{};
            }
            release(a);
        }
    }

    const TilePlan& plan_;
    const bool zmm_;
    const bool win64_;
    Assembler as_;
    std::vector<float>& constants_;
    const int first_temporary_;
    uint32_t slots_ = 1;  // the result's, at least
    std::map<uint32_t, int> band_pointers_, table_pointers_;  // band or table -> general register
    size_t pointers_ = 0;
    std::map<uint32_t, int> band_uses_;
    std::vector<float> wanted_;  // the constants, in order of first use
    std::map<uint32_t, int> band_values_;                     // band -> vector register, loaded every iteration
    std::vector<std::pair<uint32_t, int>> constant_values_;  // a constant's bits -> vector register
    uint32_t temporaries_ = 0;                                // bit k: first_temporary_ + k in use
    bool divides_integers_in_pairs_ = false;  // two groups a round, the second's integers by the divider
    bool integers_by_divider_ = false;        // while the second is generated
    std::vector<uint16_t> unwind_codes_;
    size_t prologue_bytes_ = 0;
};

// Windows x64's unwind data (UNWIND_INFO and RUNTIME_FUNCTION, little-endian)
// for the loops [0, streaming_entry) and [streaming_entry, end), which open
// with the same prologue: appended to `code` at a multiple of 4 bytes, the
// one UNWIND_INFO and then the table. Returns where the table starts.
size_t append_unwind_data(std::vector<uint8_t>& code, size_t streaming_entry, const Generator& loop) {
    const size_t end = code.size();
    Assembler data(code, false);
    while (data.size() % 4 != 0) data.byte(0xCC);  // int3 between the code and its data
    const size_t info = data.size();
    std::vector<uint16_t> codes = loop.unwind_codes();
    if (loop.prologue_bytes() > 0xFF || codes.size() > 0xFF) throw NotGenerated{};  // fields of a byte
    const auto count = static_cast<uint8_t>(codes.size());
    if (codes.size() % 2 != 0) codes.push_back(0);  // the array keeps a whole number of dwords
    data.byte(1);  // version 1, no handler
    data.byte(static_cast<uint8_t>(loop.prologue_bytes()));
    data.byte(count);
    data.byte(0);  // no frame register
    for (uint16_t c : codes) {
        data.byte(static_cast<uint8_t>(c));
        data.byte(static_cast<uint8_t>(c >> 8));
    }
    const size_t table = data.size();
    for (const auto& [begin, finish] : {std::pair{size_t{0}, streaming_entry}, std::pair{streaming_entry, end}}) {
        data.dword(static_cast<uint32_t>(begin));
        data.dword(static_cast<uint32_t>(finish));
        data.dword(static_cast<uint32_t>(info));
    }
    return table;
}

}  // namespace

int generate_x86_64(const TilePlan& plan, bool zmm, CallingConvention convention, std::vector<uint8_t>& code,
                    size_t& streaming_entry, size_t& function_table, std::vector<float>& constants,
                    std::vector<uint32_t>& bands_read) {
    try {
        Generator plain(plan, zmm, convention, code, constants);
        plain.generate(false);
        streaming_entry = code.size();
        Generator streaming(plan, zmm, convention, code, constants);  // finds the same constants at the same places
        streaming.generate(true);
        function_table = convention == CallingConvention::Win64 ? append_unwind_data(code, streaming_entry, plain) : 0;
        bands_read = plain.bands_read();
        return plain.lanes();
    } catch (const NotGenerated&) {
        return 0;
    }
}

}  // namespace kelvane
