// Shape validation.
#include "module/shape_check.hpp"

#include <string>

namespace kelvane {
namespace {

std::string format_shape(const Shape& s) {
    return "[" + std::to_string(s.rows) + ", " + std::to_string(s.cols) + "]";
}

}  // namespace

void check_shapes(const Shape* shapes, size_t count) {
    const Shape& reference = shapes[0];
    for (size_t index = 1; index < count; ++index) {
        const Shape& s = shapes[index];
        if (s.rows != reference.rows || s.cols != reference.cols) {
            throw ErrorValue{ErrorKind::ValueError, "Shape mismatch at index " + std::to_string(index) +
                                                        ": expected " + format_shape(reference) +
                                                        ", got " + format_shape(s)};
        }
    }
}

}  // namespace kelvane
