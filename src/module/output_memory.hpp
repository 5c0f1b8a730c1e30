// The memory of the arrays that the allocating functions return.
#pragma once

#include "module/py_ref.hpp"

#include <cstdint>

namespace kelvane {

// A new C-ordered 2-D float32 array whose elements are not initialised: the
// caller writes every one before anybody can see the array. Raises the
// failed-interpreter-call failure when NumPy cannot make it. Called with the
// interpreter lock held.
OwnedRef new_output_array(int64_t rows, int64_t cols);

}  // namespace kelvane
