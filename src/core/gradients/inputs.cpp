#include "core/gradients/inputs.hpp"

#include "core/gradients/fsl_format.hpp"
#include "core/gradients/grad_format.hpp"

namespace dirsieve {

bool gradient_inputs_complete(const std::optional<std::string>& bvec, const std::optional<std::string>& bval,
                              const std::optional<std::string>& grad) {
  return grad.has_value() || (bvec.has_value() && bval.has_value());
}

Result<GradientInputs> resolve_gradient_inputs(const std::optional<std::string>& bvec,
                                               const std::optional<std::string>& bval,
                                               const std::optional<std::string>& grad) {
  GradientInputs inputs;
  if (grad) {
    DS_TRY_ASSIGN(inputs.table, read_grad_file(*grad));
    DS_TRY_ASSIGN(InputRecord record, make_input_record(*grad));
    inputs.records.push_back(std::move(record));
    inputs.format = GradientFormat::Mrtrix;
    return inputs;
  }
  DS_TRY_ASSIGN(inputs.table, read_fsl_pair(*bvec, *bval));
  DS_TRY_ASSIGN(InputRecord bvec_record, make_input_record(*bvec));
  DS_TRY_ASSIGN(InputRecord bval_record, make_input_record(*bval));
  inputs.records.push_back(std::move(bvec_record));
  inputs.records.push_back(std::move(bval_record));
  return inputs;
}

}  // namespace dirsieve
