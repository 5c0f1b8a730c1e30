// The Python entry points of the fixed spectral indices.
#pragma once

#include "module/call_frame.hpp"

namespace kelvane {

extern const ModuleFunction kNormalizedDifferenceInplaceFunction;
extern const ModuleFunction kRatioInplaceFunction;
extern const ModuleFunction kAdjustedDifferenceInplaceFunction;
extern const ModuleFunction kEviInplaceFunction;
extern const ModuleFunction kNormalizedDifferenceFunction;

}  // namespace kelvane
