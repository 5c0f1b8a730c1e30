// The fixed spectral-index functions: convert, check shapes, hold, compute, release.
#include "module/index_functions.hpp"

#include "module/shape_check.hpp"
#include "module/par_for_each_pixel.hpp"
#include "indices/index_kernels.hpp"
#include "module/call_frame.hpp"
#include "module/convert.hpp"
#include "module/holds.hpp"

#include <initializer_list>

namespace kelvane {
namespace {

constexpr Signature kNormalizedDifferenceInplace{"calculate_normalized_difference_inplace",
                                                 {"band_a", "band_b", "out_buffer"}};
constexpr Signature kRatioInplace{"calculate_ratio_inplace", {"band_a", "band_b", "out_buffer"}};
constexpr Signature kAdjustedDifferenceInplace{"calculate_adjusted_difference_inplace",
                                               {"band_a", "band_b", "l", "out_buffer"}};
constexpr Signature kEviInplace{"calculate_evi_inplace", {"nir", "red", "blue", "g", "c1", "c2", "l", "out_buffer"}};
constexpr Signature kNormalizedDifference{"calculate_normalized_difference", {"band_a", "band_b"}};

Shape shape_of(const ArrayRef& a) { return Shape{a.rows(), a.cols()}; }

// The in-place routine every index function shares, after conversion.
void compute_index(BlockFn kernel, IndexParams params, std::initializer_list<const ArrayRef*> bands,
                   const ArrayRef& out) {
    if (bands.size() == 2) {
        check_shapes({shape_of(*bands.begin()[0]), shape_of(*bands.begin()[1]), shape_of(out)});
    } else {
        check_shapes({shape_of(*bands.begin()[0]), shape_of(*bands.begin()[1]), shape_of(*bands.begin()[2]),
                      shape_of(out)});
    }
    CallHolds holds(CallHolds::ReleaseOrder::Reverse);
    for (const ArrayRef* band : bands) holds.hold_read(*band);
    holds.hold_write(out);

    OutView out_v = out_view(out);
    params.streaming_stores = streams_output(out_v);
    BandView band_v[3];
    size_t num_bands = 0;
    for (const ArrayRef* band : bands) band_v[num_bands++] = band_view(*band);
    // These kernels cannot fail, so views that all go backwards may be walked forwards.
    walk_forwards(out_v, band_v, num_bands);
    PixelZip zip = PixelZip::of(out_v);
    for (size_t k = 0; k < num_bands; ++k) zip.add(band_v[k]);
    // Three bands and ten operations cost about twice two bands and four.
    par_for_each_pixel(zip, kernel, &params, KernelTraits{false, bands.size() == 3 ? 2 : 1});
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject* py_calculate_normalized_difference_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames) {
    return call_frame(kNormalizedDifferenceInplace, args, nargs, kwnames, [](const auto& a) {
        ArrayRef band_a = a.convert(0, convert_band_array);
        ArrayRef band_b = a.convert(1, convert_band_array);
        ArrayRef out = a.convert(2, convert_output_array);
        compute_index(index_kernels().normalized_difference, IndexParams{}, {&band_a, &band_b}, out);
        return none();
    });
}

PyObject* py_calculate_ratio_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame(kRatioInplace, args, nargs, kwnames, [](const auto& a) {
        ArrayRef band_a = a.convert(0, convert_band_array);
        ArrayRef band_b = a.convert(1, convert_band_array);
        ArrayRef out = a.convert(2, convert_output_array);
        compute_index(index_kernels().ratio, IndexParams{}, {&band_a, &band_b}, out);
        return none();
    });
}

PyObject* py_calculate_adjusted_difference_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) {
    return call_frame(kAdjustedDifferenceInplace, args, nargs, kwnames, [](const auto& a) {
        ArrayRef band_a = a.convert(0, convert_band_array);
        ArrayRef band_b = a.convert(1, convert_band_array);
        IndexParams params;
        params.l = a.convert(2, convert_float);
        ArrayRef out = a.convert(3, convert_output_array);
        compute_index(index_kernels().adjusted_difference, params, {&band_a, &band_b}, out);
        return none();
    });
}

PyObject* py_calculate_evi_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame(kEviInplace, args, nargs, kwnames, [](const auto& a) {
        ArrayRef nir = a.convert(0, convert_band_array);
        ArrayRef red = a.convert(1, convert_band_array);
        ArrayRef blue = a.convert(2, convert_band_array);
        IndexParams params;
        params.g = a.convert(3, convert_float);
        params.c1 = a.convert(4, convert_float);
        params.c2 = a.convert(5, convert_float);
        params.l = a.convert(6, convert_float);
        ArrayRef out = a.convert(7, convert_output_array);
        compute_index(index_kernels().evi, params, {&nir, &red, &blue}, out);
        return none();
    });
}

PyObject* py_calculate_normalized_difference(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    return call_frame(kNormalizedDifference, args, nargs, kwnames, [](const auto& a) {
        ArrayRef band_a = a.convert(0, convert_band_array);
        ArrayRef band_b = a.convert(1, convert_band_array);
        npy_intp dims[2] = {band_a.rows(), band_a.cols()};
        // Every element is written before the caller can see the array (and on
        // failure it is dropped unseen), so it need not be zeroed first.
        ArrayRef out{OwnedRef::steal(expect_object(PyArray_EMPTY(2, dims, NPY_FLOAT, 0)))};
        compute_index(index_kernels().normalized_difference, IndexParams{}, {&band_a, &band_b}, out);
        return out.object.release();
    });
}

}  // namespace

const ModuleFunction kNormalizedDifferenceInplaceFunction{kNormalizedDifferenceInplace,
                                                          &py_calculate_normalized_difference_inplace};
const ModuleFunction kRatioInplaceFunction{kRatioInplace, &py_calculate_ratio_inplace};
const ModuleFunction kAdjustedDifferenceInplaceFunction{kAdjustedDifferenceInplace,
                                                        &py_calculate_adjusted_difference_inplace};
const ModuleFunction kEviInplaceFunction{kEviInplace, &py_calculate_evi_inplace};
const ModuleFunction kNormalizedDifferenceFunction{kNormalizedDifference, &py_calculate_normalized_difference};

}  // namespace kelvane
