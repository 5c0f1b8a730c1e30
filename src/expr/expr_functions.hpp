// The Python entry points of band math: compile_expr and execute_expr_inplace.
#pragma once

#include "module/py_ref.hpp"

namespace kelvane {

PyObject* py_compile_expr(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_execute_expr_inplace(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

}  // namespace kelvane
