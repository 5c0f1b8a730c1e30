// The tile evaluator compiled for the neon target (4 lanes of Advanced SIMD, aarch64's baseline).
#include <arm_neon.h>  // the intrinsics of frame/lanes_neon.inc

#define KELVANE_LANES 4
#define KELVANE_TARGET kNeon
#define KELVANE_TARGET_NAME "neon"
#include "expr/tiles_impl.inc"
