// The Python entry points of band math: compile_expr and execute_expr_inplace.
#pragma once

#include "module/call_frame.hpp"

namespace kelvane {

extern const ModuleFunction kCompileExprFunction;
extern const ModuleFunction kExecuteExprInplaceFunction;

}  // namespace kelvane
