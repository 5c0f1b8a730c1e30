// Argument conversion by kind.
#include "module/convert.hpp"

#include "module/failure.hpp"

#include <algorithm>

namespace kelvane {
namespace {

std::string type_qualname(PyObject* obj) {
    const char* fallback = "<failed to extract type name>";
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString((PyObject*)Py_TYPE(obj), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return fallback;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!utf8) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(utf8, size);
}

bool is_2d_array_of(PyObject* obj, int type_num) {
    ensure_numpy_api();
    if (!PyArray_Check(obj)) return false;
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != 2) return false;
    PyArray_Descr* native = PyArray_DescrFromType(type_num);
    PyArray_Descr* have = PyArray_DESCR(arr);
    bool same = have == native || PyArray_EquivTypes(have, native);
    Py_DECREF(native);
    return same;
}

template <class Byte>
StridedView<Byte> view_of(const ArrayRef& a) {
    PyArrayObject* arr = a.array();
    StridedView<Byte> v;
    v.data = reinterpret_cast<Byte*>(PyArray_DATA(arr));
    v.rows = PyArray_DIMS(arr)[0];
    v.cols = PyArray_DIMS(arr)[1];
    v.row_stride = PyArray_STRIDES(arr)[0];
    v.col_stride = PyArray_STRIDES(arr)[1];
    return v;
}

}  // namespace

void refuse_conversion(PyObject* obj, const char* target) {
    throw ErrorValue{ErrorKind::TypeError,
                     "'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'"};
}

ArrayRef convert_band_array(PyObject* obj) {
    if (!is_2d_array_of(obj, NPY_USHORT)) refuse_conversion(obj, "PyArray<T, D>");
    return ArrayRef{OwnedRef::borrow(obj)};
}

ArrayRef convert_output_array(PyObject* obj) {
    if (!is_2d_array_of(obj, NPY_FLOAT)) refuse_conversion(obj, "PyArray<T, D>");
    return ArrayRef{OwnedRef::borrow(obj)};
}

float convert_float(PyObject* obj) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw_pending_python_error();
    return static_cast<float>(value);  // round to nearest; out of range becomes an infinity
}

uint32_t convert_count(PyObject* obj) {
    OwnedRef index;
    if (!PyLong_Check(obj)) {
        index = OwnedRef::steal(PyNumber_Index(obj));
        if (!index) throw_pending_python_error();
        obj = index.get();
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending_python_error();
    if (value > UINT32_MAX) {
        throw ErrorValue{ErrorKind::OverflowError, "out of range integral type conversion attempted"};
    }
    return static_cast<uint32_t>(value);
}

std::string convert_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) refuse_conversion(obj, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) throw_pending_python_error();
    return std::string(utf8, size);
}

std::vector<OwnedRef> convert_object_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) throw ErrorValue{ErrorKind::TypeError, "Can't extract `str` to `Vec`"};
    if (!PySequence_Check(obj)) refuse_conversion(obj, "Sequence");
    std::vector<OwnedRef> items;
    // The length only reserves room, and only up to a bound: a __len__ that
    // lies (huge, or failing) must leave the items iterated to decide.
    constexpr Py_ssize_t kReservedItems = 4096;
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) PyErr_Clear();
    items.reserve(static_cast<size_t>(std::clamp<Py_ssize_t>(size, 0, kReservedItems)));
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(obj));
    if (!iterator) throw_pending_python_error();
    while (PyObject* item = PyIter_Next(iterator.get())) items.push_back(OwnedRef::steal(item));
    if (PyErr_Occurred()) throw_pending_python_error();
    return items;
}

std::vector<ArrayRef> convert_band_sequence(PyObject* obj) {
    std::vector<OwnedRef> items = convert_object_sequence(obj);
    std::vector<ArrayRef> bands;
    bands.reserve(items.size());
    for (OwnedRef& item : items) {
        if (!is_2d_array_of(item.get(), NPY_USHORT)) refuse_conversion(item.get(), "PyArray<T, D>");
        bands.push_back(ArrayRef{std::move(item)});
    }
    return bands;
}

BandView band_view(const ArrayRef& a) { return view_of<const std::byte>(a); }
OutView out_view(const ArrayRef& a) { return view_of<std::byte>(a); }

}  // namespace kelvane
