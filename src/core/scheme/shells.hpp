// Shell clustering of b-values and the report's `shells` object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/util/json.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

struct Shell {
  double nominal_b = 0.0;
  double mean_b = 0.0;
  double min_b = 0.0;
  double max_b = 0.0;
  std::uint64_t count = 0;
  std::vector<std::size_t> indices;
  bool is_b0 = false;
};

struct B0Summary {
  std::uint64_t count = 0;
  std::vector<std::size_t> indices;
  std::vector<std::size_t> spacings;
};

struct SchemeSummary {
  double b0_threshold = 0.0;
  double tolerance = 0.0;
  std::vector<Shell> shells;
  B0Summary b0;
  std::vector<std::size_t> non_integer_bvals;
};

std::vector<Shell> cluster_shells(const std::vector<double>& bvals, double b0_threshold, double tolerance);
SchemeSummary summarize_scheme(const GradientTable& table, double b0_threshold, double tolerance);
// The non-b0 shell nearest `requested` (or 1000); fails with the no-flip-shell error.
Result<Shell> select_working_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance,
                                   std::optional<double> requested);

JsonValue to_json(const SchemeSummary& summary);

}  // namespace dirsieve
