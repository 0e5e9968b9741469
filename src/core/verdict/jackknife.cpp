#include "core/verdict/jackknife.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace dirsieve {

BlockEstimate block_jackknife(const std::vector<double>& values, const std::vector<std::uint64_t>& block) {
  BlockEstimate out;
  const std::size_t n = std::min(values.size(), block.size());
  out.count = n;
  if (n == 0) {
    out.standard_error = std::numeric_limits<double>::quiet_NaN();
    return out;
  }

  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) total += values[i];
  out.mean = total / static_cast<double>(n);

  // Per-block sums and counts, blocks in ascending id, values within a block in index order.
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return block[a] < block[b]; });
  std::vector<double> sums;
  std::vector<double> counts;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = order[k];
    if (k == 0 || block[i] != block[order[k - 1]]) {
      sums.push_back(0.0);
      counts.push_back(0.0);
    }
    sums.back() += values[i];
    counts.back() += 1.0;
  }
  const std::size_t b = sums.size();
  out.blocks = b;
  if (b < 2) {
    out.standard_error = std::numeric_limits<double>::quiet_NaN();
    return out;
  }

  // The mean with each block left out, then the spread of those means.
  std::vector<double> left_out(b);
  double left_out_total = 0.0;
  for (std::size_t j = 0; j < b; ++j) {
    left_out[j] = (total - sums[j]) / (static_cast<double>(n) - counts[j]);
    left_out_total += left_out[j];
  }
  const double left_out_mean = left_out_total / static_cast<double>(b);
  double squares = 0.0;
  for (double m : left_out) squares += (m - left_out_mean) * (m - left_out_mean);
  const double bf = static_cast<double>(b);
  out.standard_error = std::sqrt((bf - 1.0) / bf * squares);

  if (out.standard_error > 0.0) {
    out.z = out.mean / out.standard_error;
  } else if (out.mean != 0.0) {
    out.z = std::copysign(kCertainZ, out.mean);
  }
  return out;
}

}  // namespace dirsieve
