// The index kernels compiled for the avx512 target (16 lanes).
#include <immintrin.h>  // the intrinsics of frame/lanes_x86.inc

#define KELVANE_LANES 16
#define KELVANE_TARGET kAvx512
#define KELVANE_TARGET_NAME "avx512"
#include "indices/index_kernels_impl.inc"
