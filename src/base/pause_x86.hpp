// The x86 spin-wait hint, for the pool's spinning workers.
#pragma once

namespace kelvane {

inline void cpu_pause_x86() { __builtin_ia32_pause(); }

}  // namespace kelvane
