// The fixed spectral-index functions: convert, check shapes, hold, compute, release.
#include "module/index_functions.hpp"

#include "indices/index_kernels.hpp"
#include "module/call_frame.hpp"
#include "module/convert.hpp"
#include "module/holds.hpp"
#include "module/output_memory.hpp"
#include "module/par_for_each_pixel.hpp"
#include "module/shape_check.hpp"

#include <array>

namespace kelvane {
namespace {

constexpr Signature kNormalizedDifferenceInplace{"calculate_normalized_difference_inplace",
                                                 {"band_a", "band_b", "out_buffer"}};
constexpr Signature kRatioInplace{"calculate_ratio_inplace", {"band_a", "band_b", "out_buffer"}};
constexpr Signature kAdjustedDifferenceInplace{"calculate_adjusted_difference_inplace",
                                               {"band_a", "band_b", "l", "out_buffer"}};
constexpr Signature kEviInplace{"calculate_evi_inplace", {"nir", "red", "blue", "g", "c1", "c2", "l", "out_buffer"}};
constexpr Signature kNormalizedDifference{"calculate_normalized_difference", {"band_a", "band_b"}};

// The in-place routine every index function shares, after conversion.
template <size_t Bands>
void compute_index(BlockFn kernel, IndexParams params, const std::array<ArrayRef, Bands>& bands, const ArrayRef& out) {
    std::array<Shape, Bands + 1> shapes;
    for (size_t k = 0; k < Bands; ++k) shapes[k] = Shape{bands[k].rows(), bands[k].cols()};
    shapes[Bands] = Shape{out.rows(), out.cols()};
    check_shapes(shapes.data(), shapes.size());
    CallHolds holds(CallHolds::ReleaseOrder::Reverse);
    for (const ArrayRef& band : bands) holds.hold_read(band);
    holds.hold_write(out);

    OutView out_v = out_view(out);
    params.streaming_stores = streams_output(out_v);
    BandView band_v[Bands];
    for (size_t k = 0; k < Bands; ++k) band_v[k] = band_view(bands[k]);
    // These kernels cannot fail, so views that all go backwards may be walked forwards.
    walk_forwards(out_v, band_v, Bands);
    PixelZip zip = PixelZip::of(out_v);
    for (const BandView& v : band_v) zip.add(v);
    // Three bands and ten operations cost about twice two bands and four.
    par_for_each_pixel(zip, kernel, &params, KernelTraits{false, Bands == 3 ? 2 : 1});
}

template <size_t Bands, class Arguments>
std::array<ArrayRef, Bands> convert_bands(const Arguments& a) {
    std::array<ArrayRef, Bands> bands;
    for (size_t k = 0; k < Bands; ++k) bands[k] = a.convert(k, convert_band_array);
    return bands;
}

// An in-place index function: its bands, then its scalars (the IndexParams
// members, in parameter order), then out_buffer.
template <const auto& Sig, BlockFn IndexKernelTable::*Kernel, size_t Bands, float IndexParams::*... Scalars>
PyObject* index_inplace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame(Sig, args, nargs, kwnames, [](const auto& a) {
        const std::array<ArrayRef, Bands> bands = convert_bands<Bands>(a);
        IndexParams params;
        size_t next = Bands;
        ((params.*Scalars = a.convert(next++, convert_float)), ...);
        ArrayRef out = a.convert(next, convert_output_array);
        compute_index(index_kernels().*Kernel, params, bands, out);
        Py_INCREF(Py_None);
        return Py_None;
    });
}

PyObject* py_calculate_normalized_difference(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    return call_frame(kNormalizedDifference, args, nargs, kwnames, [](const auto& a) {
        const std::array<ArrayRef, 2> bands = convert_bands<2>(a);
        // Every element is written before the caller can see the array (and on
        // failure it is dropped unseen), so it need not be zeroed first.
        ArrayRef out{new_output_array(bands[0].rows(), bands[0].cols())};
        compute_index(index_kernels().normalized_difference, IndexParams{}, bands, out);
        return out.object.release();
    });
}

}  // namespace

const ModuleFunction kNormalizedDifferenceInplaceFunction{
    kNormalizedDifferenceInplace,
    &index_inplace<kNormalizedDifferenceInplace, &IndexKernelTable::normalized_difference, 2>};
const ModuleFunction kRatioInplaceFunction{kRatioInplace, &index_inplace<kRatioInplace, &IndexKernelTable::ratio, 2>};
const ModuleFunction kAdjustedDifferenceInplaceFunction{
    kAdjustedDifferenceInplace,
    &index_inplace<kAdjustedDifferenceInplace, &IndexKernelTable::adjusted_difference, 2, &IndexParams::l>};
const ModuleFunction kEviInplaceFunction{
    kEviInplace, &index_inplace<kEviInplace, &IndexKernelTable::evi, 3, &IndexParams::g, &IndexParams::c1,
                                &IndexParams::c2, &IndexParams::l>};
const ModuleFunction kNormalizedDifferenceFunction{kNormalizedDifference, &py_calculate_normalized_difference};

}  // namespace kelvane
