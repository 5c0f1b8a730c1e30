// The guard that all arrays of a fixed-index call have one shape.
#pragma once

#include "base/errors.hpp"

#include <cstdint>
#include <cstddef>

namespace kelvane {

struct Shape {
    int64_t rows;
    int64_t cols;
};

// The first shape is the reference; throws ValueError naming the first index
// whose shape differs.
void check_shapes(const Shape* shapes, size_t count);

}  // namespace kelvane
