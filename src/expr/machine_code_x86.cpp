// The x86-64 generator: a tile plan as one AVX2 loop over 8 pixels at a time,
// for the System V calling convention. Stack slot k lives in ymm k; ymm12 to
// ymm15 hold the values of operands read in place while an operation uses
// them. Each operation is the one instruction the tile evaluator's functor
// compiles to on the same operands (vaddps, vsubps, vmulps, vdivps, vsqrtps,
// sign-bit masks), every sample converts exactly (vpmovzxwd, vcvtdq2ps), and
// nothing is contracted or reordered, so the bits are the evaluator's.
#include "expr/machine_code.hpp"

#include "base/numeric.hpp"

#include <bit>
#include <cstring>
#include <iterator>
#include <map>

namespace kelvane {
namespace {

enum Gpr : int { RAX = 0, RCX = 1, RDX = 2, RBX = 3, RBP = 5, RSI = 6, RDI = 7, R8 = 8, R9, R10, R11, R12, R13, R14, R15 };

// Registers for the bands' sample pointers and the tables' addresses; rbx,
// rbp and r12 to r15 are the caller's and are saved around the loop.
constexpr int kSourceRegisters[] = {R9, R10, R11, RBX, RBP, R12, R13, R14, R15};
constexpr int kSavedRegisters[] = {RBX, RBP, R12, R13, R14, R15};
constexpr uint32_t kSlotRegisters = 12;  // ymm0 to ymm11
constexpr int kFirstTemporary = 12;      // ymm12 to ymm15

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
    explicit Assembler(std::vector<uint8_t>& out) : bytes_(out) {}

    size_t size() const { return bytes_.size(); }
    void byte(uint8_t b) { bytes_.push_back(b); }
    void dword(uint32_t v) {
        for (int k = 0; k < 4; ++k) byte(static_cast<uint8_t>(v >> (8 * k)));
    }

    // Opcode maps and mandatory prefixes of the VEX encoding.
    enum Map { k0F = 1, k0F38 = 2 };
    enum Prefix { kNone = 0, k66 = 1 };

    // A 256-bit VEX instruction: reg, the second source vvvv (0 when
    // unused), and a register or memory r/m operand.
    void vex_rr(Map map, Prefix pp, uint8_t opcode, int reg, int vvvv, int rm) {
        vex_prefix(map, pp, reg, vvvv, 0, rm >> 3);
        byte(opcode);
        byte(static_cast<uint8_t>(0xC0 | (reg & 7) << 3 | (rm & 7)));
    }
    void vex_rm(Map map, Prefix pp, uint8_t opcode, int reg, int vvvv, const Mem& m) {
        vex_prefix(map, pp, reg, vvvv, m.index >= 0 ? (m.index >> 3) & 1 : 0, (m.base >> 3) & 1);
        byte(opcode);
        memory(reg, m);
    }

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
    void zero_rax() { byte(0x31), byte(0xC0); }                      // xor eax, eax
    void add_rax(uint8_t imm) { byte(0x48), byte(0x83), byte(0xC0), byte(imm); }  // add rax, imm8
    void cmp_rax_rdx() { byte(0x48), byte(0x39), byte(0xD0); }         // cmp rax, rdx
    void jump_if_below(size_t target) {                                // jb rel32
        byte(0x0F), byte(0x82);
        dword(static_cast<uint32_t>(static_cast<int64_t>(target) - static_cast<int64_t>(size() + 4)));
    }
    void vzeroupper() { byte(0xC5), byte(0xF8), byte(0x77); }
    void ret() { byte(0xC3); }

private:
    void vex_prefix(Map map, Prefix pp, int reg, int vvvv, int x, int b) {
        byte(0xC4);
        byte(static_cast<uint8_t>((((reg >> 3) & 1) ^ 1) << 7 | (x ^ 1) << 6 | (b ^ 1) << 5 | map));
        byte(static_cast<uint8_t>((~vvvv & 15) << 3 | 1 << 2 | pp));  // W0, L1 (256 bits)
    }
    // Always a SIB byte and a 32-bit displacement: one form for every base.
    void memory(int reg, const Mem& m) {
        byte(static_cast<uint8_t>(0x80 | (reg & 7) << 3 | 4));
        const int scale_bits = m.scale == 1 ? 0 : m.scale == 2 ? 1 : m.scale == 4 ? 2 : 3;
        const int index = m.index >= 0 ? (m.index & 7) : 4;  // 4 without REX.X: no index
        byte(static_cast<uint8_t>(scale_bits << 6 | index << 3 | (m.base & 7)));
        dword(static_cast<uint32_t>(m.disp));
    }

    std::vector<uint8_t>& bytes_;
};

// CodeCall's fields, as the loop reads them.
constexpr int32_t kCallBands = 0, kCallOut = 8, kCallCount = 16, kCallTables = 24, kCallConstants = 32;

class Generator {
public:
    Generator(const TilePlan& plan, std::vector<uint8_t>& code, std::vector<float>& constants)
        : plan_(plan), as_(code), constants_(constants) {}

    void generate() {
        if (plan_.band_step != kBandElementSize || plan_.ops.empty()) throw NotGenerated{};
        for (const TileOp& op : plan_.ops) {
            note_sources(op.a);
            note_sources(op.b);
            if (op.dst >= kSlotRegisters) throw NotGenerated{};
        }
        // rdi: the CodeCall; rsi: the output; rdx: the pixel count; r8: the
        // constants; rax: the pixel index; rcx: the bands, then the tables.
        for (int r : kSavedRegisters) as_.push(r);
        as_.load_gpr(RSI, Mem{RDI, -1, 1, kCallOut});
        as_.load_gpr(RDX, Mem{RDI, -1, 1, kCallCount});
        as_.load_gpr(R8, Mem{RDI, -1, 1, kCallConstants});
        as_.load_gpr(RCX, Mem{RDI, -1, 1, kCallBands});
        for (const auto& [band, reg] : band_registers_) as_.load_gpr(reg, Mem{RCX, -1, 1, static_cast<int32_t>(8 * band)});
        as_.load_gpr(RCX, Mem{RDI, -1, 1, kCallTables});
        for (const auto& [table, reg] : table_registers_) {
            as_.load_gpr(reg, Mem{RCX, -1, 1, static_cast<int32_t>(8 * table)});
        }
        as_.zero_rax();
        const size_t loop = as_.size();
        for (const TileOp& op : plan_.ops) operation(op);
        as_.vex_rm(Assembler::k0F, Assembler::kNone, 0x11, 0, 0, Mem{RSI, RAX, 4});  // vmovups [out + 4i], ymm0
        as_.add_rax(static_cast<uint8_t>(kCodeLanes));
        as_.cmp_rax_rdx();
        as_.jump_if_below(loop);
        as_.vzeroupper();
        for (int k = static_cast<int>(std::size(kSavedRegisters)) - 1; k >= 0; --k) as_.pop(kSavedRegisters[k]);
        as_.ret();
    }

    std::vector<uint32_t> bands_read() const {
        std::vector<uint32_t> bands;
        for (const auto& entry : band_registers_) bands.push_back(entry.first);
        return bands;
    }

private:
    void note_sources(const TileOperand& x) {
        switch (x.kind) {
            case TileOperand::Band: source(band_registers_, x.index); break;
            case TileOperand::Table:
                source(table_registers_, x.index);
                source(band_registers_, plan_.tables.at(x.index).band);
                break;
            case TileOperand::Leaf:
                note_sources(plan_.leaves.at(x.index).a);
                note_sources(plan_.leaves.at(x.index).b);
                break;
            default: break;
        }
    }
    void source(std::map<uint32_t, int>& registers, uint32_t index) {
        if (registers.count(index)) return;
        if (sources_ == std::size(kSourceRegisters) || index >= kMaxCodeBands) throw NotGenerated{};
        registers[index] = kSourceRegisters[sources_++];
    }

    int temporary() {
        for (int k = 0; k < 4; ++k) {
            if (!(temporaries_ & (1u << k))) {
                temporaries_ |= 1u << k;
                return kFirstTemporary + k;
            }
        }
        throw NotGenerated{};
    }
    void release(int reg) {
        if (reg >= kFirstTemporary) temporaries_ &= ~(1u << (reg - kFirstTemporary));
    }

    int32_t constant(float value) {
        const uint32_t bits = std::bit_cast<uint32_t>(value);
        for (size_t k = 0; k < constants_.size(); ++k) {
            if (std::bit_cast<uint32_t>(constants_[k]) == bits) return static_cast<int32_t>(4 * k);
        }
        constants_.push_back(value);
        return static_cast<int32_t>(4 * (constants_.size() - 1));
    }
    void broadcast(int reg, float value) {  // vbroadcastss ymm, [constants + k]
        as_.vex_rm(Assembler::k0F38, Assembler::k66, 0x18, reg, 0, Mem{R8, -1, 1, constant(value)});
    }
    void load_samples(int reg, uint32_t band) {  // vpmovzxwd ymm, [band + 2i]; vcvtdq2ps ymm, ymm
        as_.vex_rm(Assembler::k0F38, Assembler::k66, 0x33, reg, 0, Mem{band_registers_.at(band), RAX, 2});
        as_.vex_rr(Assembler::k0F, Assembler::kNone, 0x5B, reg, 0, reg);
    }

    // The operand's value for eight pixels: its slot's register, or `into`
    // (a temporary when negative) holding it.
    int value(const TileOperand& x, int into = -1) {
        if (x.kind == TileOperand::Slot) {
            if (x.index >= kSlotRegisters) throw NotGenerated{};
            if (into < 0) return static_cast<int>(x.index);
            as_.vex_rr(Assembler::k0F, Assembler::kNone, 0x10, into, 0, static_cast<int>(x.index));  // vmovups
            return into;
        }
        const int reg = into >= 0 ? into : temporary();
        switch (x.kind) {
            case TileOperand::Scalar: broadcast(reg, x.value); break;
            case TileOperand::Band: load_samples(reg, x.index); break;
            case TileOperand::Table: {
                const int index = temporary(), mask = temporary();
                as_.vex_rm(Assembler::k0F38, Assembler::k66, 0x33, index, 0,
                           Mem{band_registers_.at(plan_.tables[x.index].band), RAX, 2});
                as_.vex_rr(Assembler::k0F, Assembler::k66, 0x76, mask, mask, mask);  // vpcmpeqd: every lane
                as_.vex_rm(Assembler::k0F38, Assembler::k66, 0x92, reg, mask,
                           Mem{table_registers_.at(x.index), index, 4});  // vgatherdps
                release(index);
                release(mask);
                break;
            }
            case TileOperand::Leaf: {
                const TileLeaf& leaf = plan_.leaves[x.index];
                const int a = value(leaf.a, reg), b = value(leaf.b);
                arithmetic(leaf.kind, reg, a, b);
                release(b);
                break;
            }
            default: throw NotGenerated{};
        }
        return reg;
    }

    void arithmetic(ExprOpKind kind, int dst, int a, int b) {
        switch (kind) {
            case ExprOpKind::Add: as_.vex_rr(Assembler::k0F, Assembler::kNone, 0x58, dst, a, b); break;
            case ExprOpKind::Mul: as_.vex_rr(Assembler::k0F, Assembler::kNone, 0x59, dst, a, b); break;
            case ExprOpKind::Sub: as_.vex_rr(Assembler::k0F, Assembler::kNone, 0x5C, dst, a, b); break;
            case ExprOpKind::Div: {  // a / (b + DENOM_EPSILON), the sum rounded first
                const int divisor = temporary();
                broadcast(divisor, DENOM_EPSILON);
                as_.vex_rr(Assembler::k0F, Assembler::kNone, 0x58, divisor, b, divisor);
                as_.vex_rr(Assembler::k0F, Assembler::kNone, 0x5E, dst, a, divisor);
                release(divisor);
                break;
            }
            default: throw NotGenerated{};  // pow calls the C library: the tile evaluator's
        }
    }

    void operation(const TileOp& op) {
        const int dst = static_cast<int>(op.dst);
        const ExprOpInfo& info = info_of(op.kind);
        if (info.pops == 0) {  // a copy of operand a
            value(op.a, dst);
        } else if (info.pops == 2) {
            const int a = value(op.a), b = value(op.b);
            arithmetic(op.kind, dst, a, b);
            release(a);
            release(b);
        } else {
            const int a = value(op.a);
            if (op.kind == ExprOpKind::Sqrt) {
                as_.vex_rr(Assembler::k0F, Assembler::kNone, 0x51, dst, 0, a);  // vsqrtps
            } else if (op.kind == ExprOpKind::Neg || op.kind == ExprOpKind::Abs) {
                const bool neg = op.kind == ExprOpKind::Neg;
                const int mask = temporary();
                broadcast(mask, std::bit_cast<float>(neg ? 0x80000000u : 0x7FFFFFFFu));
                as_.vex_rr(Assembler::k0F, Assembler::kNone, neg ? 0x57 : 0x54, dst, a, mask);  // vxorps, vandps
                release(mask);
            } else {
                throw NotGenerated{};
            }
            release(a);
        }
    }

    const TilePlan& plan_;
    Assembler as_;
    std::vector<float>& constants_;
    std::map<uint32_t, int> band_registers_, table_registers_;
    size_t sources_ = 0;
    uint32_t temporaries_ = 0;  // bit k: ymm(12 + k) in use
};

}  // namespace

bool generate_x86_64(const TilePlan& plan, std::vector<uint8_t>& code, std::vector<float>& constants,
                     std::vector<uint32_t>& bands_read) {
    try {
        Generator generator(plan, code, constants);
        generator.generate();
        bands_read = generator.bands_read();
        return true;
    } catch (const NotGenerated&) {
        return false;
    }
}

}  // namespace kelvane
