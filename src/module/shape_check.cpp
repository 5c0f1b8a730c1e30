// Shape validation.
#include "module/shape_check.hpp"

#include <string>

namespace kelvane {
namespace {

std::string format_shape(const Shape& s) {
    return "[" + std::to_string(s.rows) + ", " + std::to_string(s.cols) + "]";
}

}  // namespace

void check_shapes(std::initializer_list<Shape> shapes) {
    const Shape& reference = *shapes.begin();
    size_t index = 0;
    for (const Shape& s : shapes) {
        if (index > 0 && (s.rows != reference.rows || s.cols != reference.cols)) {
            throw ErrorValue{ErrorKind::ValueError, "Shape mismatch at index " + std::to_string(index) +
                                                        ": expected " + format_shape(reference) +
                                                        ", got " + format_shape(s)};
        }
        ++index;
    }
}

}  // namespace kelvane
