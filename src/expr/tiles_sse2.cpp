// The tile evaluator compiled for the sse2 target (4 lanes).
#include <immintrin.h>  // the intrinsics of frame/lanes_x86.inc

#define KELVANE_LANES 4
#define KELVANE_TARGET kSse2
#define KELVANE_TARGET_NAME "sse2"
#include "expr/tiles_impl.inc"
