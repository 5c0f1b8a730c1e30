// The guard that all arrays of a fixed-index call have one shape.
#pragma once

#include "base/errors.hpp"

#include <cstdint>
#include <initializer_list>

namespace kelvane {

struct Shape {
    int64_t rows;
    int64_t cols;
};

// The first shape is the reference; throws ValueError naming the first index
// whose shape differs.
void check_shapes(std::initializer_list<Shape> shapes);

}  // namespace kelvane
