// Choosing between a bvec/bval pair and a grad file, and the input records of the report.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/report/input_record.hpp"

namespace dirsieve {

struct GradientInputs {
  GradientTable table;
  std::vector<InputRecord> records;  // grad: one; FSL: bvec then bval
  GradientFormat format = GradientFormat::Fsl;
};

// True when the arguments name a grad file or a complete bvec/bval pair.
bool gradient_inputs_complete(const std::optional<std::string>& bvec, const std::optional<std::string>& bval,
                              const std::optional<std::string>& grad);

// Precondition: gradient_inputs_complete. The records are built only after the table was read.
Result<GradientInputs> resolve_gradient_inputs(const std::optional<std::string>& bvec,
                                               const std::optional<std::string>& bval,
                                               const std::optional<std::string>& grad);

}  // namespace dirsieve
