// The tile evaluator compiled for the scalar target (1 lane).
#define KELVANE_LANES 1
#define KELVANE_TARGET kScalar
#define KELVANE_TARGET_NAME "scalar"
#include "expr/tiles_impl.inc"
