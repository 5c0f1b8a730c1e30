// Access to NumPy's C interface, set up lazily at the first array check.
#pragma once

#include "module/py_ref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kelvane_ARRAY_API
#ifndef KELVANE_NUMPY_API_DEFINITION
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace kelvane {

// Reads NumPy's "_ARRAY_API" capsule on first use; an internal failure if it
// cannot be reached. Called with the interpreter lock held.
void ensure_numpy_api();

}  // namespace kelvane
