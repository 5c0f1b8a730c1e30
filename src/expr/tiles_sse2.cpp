// The tile evaluator compiled for the sse2 target (4 lanes).
#define KELVANE_LANES 4
#define KELVANE_TARGET kSse2
#define KELVANE_TARGET_NAME "sse2"
#include "expr/tiles_impl.inc"
