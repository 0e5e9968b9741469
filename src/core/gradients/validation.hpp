// Checks of the inputs beyond what the readers require, with messages that name the file, the row or
// column and the counts: what the engine runs on every table before and after reading it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/gradients/inputs.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

// The path names an existing regular file (following links): a folder, a FIFO, a device or a socket is
// refused without being opened, so nothing blocks on it. `role` names it in messages ("bvec file", "DWI").
Result<void> check_input_file(const std::string& path, std::string_view role);

// The layout of the gradient files, read as text before the table is parsed: a grad file has exactly four
// values a row; a bvec file is 3 rows of N or N rows of 3; a bval file is one row (or one column); the
// direction and b-value counts agree. An FSL file given as grad, or a grad file as bvec, is named as such.
Result<void> check_gradient_layout(const std::optional<std::string>& bvec, const std::optional<std::string>& bval,
                                   const std::optional<std::string>& grad);

// The values of a table that was read: b-values finite and not negative, direction components finite.
Result<void> check_gradient_values(const GradientInputs& inputs);

// All of the above, then the table: the reading the engine does.
Result<GradientInputs> read_checked_gradient_inputs(const std::optional<std::string>& bvec,
                                                    const std::optional<std::string>& bval,
                                                    const std::optional<std::string>& grad);

}  // namespace dirsieve
