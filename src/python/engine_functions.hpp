// The function table of dirsieve._engine.
#pragma once

#include <vector>

#include "python/functions.hpp"

namespace dirsieve::python {

const std::vector<ModuleFunction>& engine_functions();

}  // namespace dirsieve::python
