// The Python entry points of the fixed spectral indices.
#pragma once

#include "module/py_ref.hpp"

namespace kelvane {

PyObject* py_calculate_normalized_difference_inplace(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_calculate_ratio_inplace(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_calculate_adjusted_difference_inplace(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_calculate_evi_inplace(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_calculate_normalized_difference(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace kelvane
