// Conversion of Python arguments by kind, and views of converted arrays.
// Refusals throw ErrorValue (TypeError / OverflowError) or PythonError; the call
// frame adds the parameter's name.
#pragma once

#include "module/numpy_api.hpp"
#include "module/py_ref.hpp"
#include "base/views.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace kelvane {

// A converted array argument: a reference to the very NumPy array object.
struct ArrayRef {
    OwnedRef object;
    PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(object.get()); }
    int64_t rows() const { return PyArray_DIMS(array())[0]; }
    int64_t cols() const { return PyArray_DIMS(array())[1]; }
};

ArrayRef convert_band_array(PyObject* obj);
ArrayRef convert_output_array(PyObject* obj);
float convert_float(PyObject* obj);
uint32_t convert_count(PyObject* obj);
std::string convert_text(PyObject* obj);
std::vector<OwnedRef> convert_object_sequence(PyObject* obj);
std::vector<ArrayRef> convert_band_sequence(PyObject* obj);

// The "'T' object cannot be converted to 'X'" refusal.
[[noreturn]] void refuse_conversion(PyObject* obj, const char* target);
[[noreturn]] inline void refuse_conversion_to_list(PyObject* obj) { refuse_conversion(obj, "PyList"); }

// Views are formed only once the array's holds are granted.
BandView band_view(const ArrayRef& a);
OutView out_view(const ArrayRef& a);

}  // namespace kelvane
