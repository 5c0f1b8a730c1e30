// The index kernels compiled for the avx2 target (8 lanes).
#include <immintrin.h>  // the intrinsics of frame/lanes_x86.inc

#define KELVANE_LANES 8
#define KELVANE_TARGET kAvx2
#define KELVANE_TARGET_NAME "avx2"
#include "indices/index_kernels_impl.inc"
