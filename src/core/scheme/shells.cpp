#include "core/scheme/shells.hpp"

#include <algorithm>
#include <cmath>

#include "core/util/rounding.hpp"

namespace dirsieve {

namespace {

Shell build_shell(const std::vector<double>& bvals, std::vector<std::size_t> members, bool is_b0) {
  std::sort(members.begin(), members.end());
  Shell shell;
  double sum = 0.0;
  double lo = bvals[members.front()];
  double hi = lo;
  for (std::size_t index : members) {
    const double b = bvals[index];
    sum += b;
    lo = std::min(lo, b);
    hi = std::max(hi, b);
  }
  shell.mean_b = sum / static_cast<double>(members.size());
  shell.nominal_b = round_half_away(shell.mean_b);
  shell.min_b = lo;
  shell.max_b = hi;
  shell.count = members.size();
  shell.indices = std::move(members);
  shell.is_b0 = is_b0;
  return shell;
}

std::vector<std::size_t> b0_indices(const std::vector<double>& bvals, double b0_threshold) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < bvals.size(); ++i) {
    if (bvals[i] <= b0_threshold) out.push_back(i);
  }
  return out;
}

}  // namespace

std::vector<Shell> cluster_shells(const std::vector<double>& bvals, double b0_threshold, double tolerance) {
  std::vector<Shell> shells;
  std::vector<std::size_t> b0 = b0_indices(bvals, b0_threshold);
  if (!b0.empty()) shells.push_back(build_shell(bvals, std::move(b0), true));

  // NaN b-values fail both tests, so the sort below only ever compares ordinary numbers.
  std::vector<std::size_t> weighted;
  for (std::size_t i = 0; i < bvals.size(); ++i) {
    if (bvals[i] > b0_threshold) weighted.push_back(i);
  }
  std::stable_sort(weighted.begin(), weighted.end(),
                   [&bvals](std::size_t a, std::size_t b) { return bvals[a] < bvals[b]; });

  std::vector<std::size_t> current;
  double reference = 0.0;
  for (std::size_t index : weighted) {
    const double b = bvals[index];
    if (current.empty()) {
      reference = b;
    } else if (b > (1.0 + tolerance) * reference) {
      shells.push_back(build_shell(bvals, std::move(current), false));
      current.clear();
      reference = b;
    }
    current.push_back(index);
  }
  if (!current.empty()) shells.push_back(build_shell(bvals, std::move(current), false));
  return shells;
}

SchemeSummary summarize_scheme(const GradientTable& table, double b0_threshold, double tolerance) {
  const std::vector<double>& bvals = table.bvals();
  SchemeSummary summary;
  summary.b0_threshold = b0_threshold;
  summary.tolerance = tolerance;
  summary.shells = cluster_shells(bvals, b0_threshold, tolerance);

  summary.b0.indices = b0_indices(bvals, b0_threshold);
  summary.b0.count = summary.b0.indices.size();
  for (std::size_t k = 1; k < summary.b0.indices.size(); ++k) {
    summary.b0.spacings.push_back(summary.b0.indices[k] - summary.b0.indices[k - 1]);
  }

  for (std::size_t i = 0; i < bvals.size(); ++i) {
    // Infinities give NaN here and are not listed, like NaN b-values.
    if (std::fabs(bvals[i] - round_half_away(bvals[i])) > 0.001) summary.non_integer_bvals.push_back(i);
  }
  return summary;
}

Result<Shell> select_working_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance,
                                   std::optional<double> requested) {
  const double target = requested.value_or(1000.0);
  std::vector<Shell> shells = cluster_shells(bvals, b0_threshold, tolerance);
  const Shell* best = nullptr;
  double best_distance = 0.0;
  for (const Shell& shell : shells) {
    if (shell.is_b0) continue;
    const double distance = std::fabs(shell.nominal_b - target);
    if (best == nullptr || distance < best_distance) {
      best = &shell;
      best_distance = distance;
    }
  }
  if (best == nullptr) return CoreError::no_flip_shell();
  return *best;
}

JsonValue to_json(const SchemeSummary& summary) {
  JsonValue shells = JsonValue::array();
  for (const Shell& shell : summary.shells) {
    shells.push(JsonValue::object()
                    .add("nominal_b", shell.nominal_b)
                    .add("mean_b", shell.mean_b)
                    .add("min_b", shell.min_b)
                    .add("max_b", shell.max_b)
                    .add("count", shell.count)
                    .add("indices", json_array_of(shell.indices))
                    .add("is_b0", shell.is_b0));
  }
  JsonValue b0 = JsonValue::object()
                     .add("count", summary.b0.count)
                     .add("indices", json_array_of(summary.b0.indices))
                     .add("spacings", json_array_of(summary.b0.spacings));
  return JsonValue::object()
      .add("b0_threshold", summary.b0_threshold)
      .add("tolerance", summary.tolerance)
      .add("shells", std::move(shells))
      .add("b0", std::move(b0))
      .add("non_integer_bvals", json_array_of(summary.non_integer_bvals));
}

}  // namespace dirsieve
