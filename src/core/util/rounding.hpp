#pragma once

#include <cmath>

namespace dirsieve {

// Nearest integer, halves away from zero (std::round's rule), as a double.
inline double round_half_away(double value) { return std::round(value); }

}  // namespace dirsieve
