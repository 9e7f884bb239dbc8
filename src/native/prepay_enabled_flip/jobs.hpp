// The method tables of the module's two classes, in class-namespace order.
#pragma once

#include "function.hpp"

namespace pef {

std::span<const MethodSpec> flip_job_methods();      // PrepayEnabledFlipJob
std::span<const MethodSpec> flip_all_job_methods();  // PrepayEnabledFlipAllJob

}  // namespace pef
