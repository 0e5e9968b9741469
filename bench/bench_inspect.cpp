// Times the scheme analysis of a 3-shell, 300-direction table (analyze_scheme + add_scheme_notes).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/scheme/notes.hpp"
#include "core/util/clock.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Golden-spiral directions on the half-sphere, rotated per shell so shells do not share axes.
std::vector<dirsieve::Vec3> spread(std::size_t n, double twist) {
  std::vector<dirsieve::Vec3> out;
  const double golden = kPi * (3.0 - std::sqrt(5.0));
  for (std::size_t k = 0; k < n; ++k) {
    const double z = 1.0 - (static_cast<double>(k) + 0.5) / static_cast<double>(n);
    const double r = std::sqrt(1.0 - z * z);
    const double phi = golden * static_cast<double>(k) + twist;
    out.push_back({r * std::cos(phi), r * std::sin(phi), z});
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
  std::vector<dirsieve::Vec3> dirs;
  std::vector<double> bvals;
  const double levels[3] = {1000.0, 2000.0, 3000.0};
  for (int s = 0; s < 3; ++s) {
    const auto shell = spread(100, 0.3 * s);
    for (std::size_t k = 0; k < shell.size(); ++k) {
      if (k % 20 == 0) {
        dirs.push_back({0.0, 0.0, 0.0});
        bvals.push_back(0.0);
      }
      dirs.push_back(shell[k]);
      bvals.push_back(levels[s] + static_cast<double>(k % 3) - 1.0);
    }
  }
  auto table = dirsieve::GradientTable::make(dirs, bvals);
  if (!table.ok()) return 1;

  dirsieve::AuditOptions options;
  std::size_t notes = 0;
  // Warm-up call, also a sanity check of the result.
  {
    dirsieve::Report report = dirsieve::analyze_scheme(*table, {}, options);
    if (!dirsieve::add_scheme_notes(report, false).ok() || report.angular->shells.size() != 3) return 1;
  }
  dirsieve::Stopwatch watch;
  for (int i = 0; i < iterations; ++i) {
    dirsieve::Report report = dirsieve::analyze_scheme(*table, {}, options);
    if (!dirsieve::add_scheme_notes(report, false).ok()) return 1;
    notes += report.notes.size();
  }
  const double seconds = watch.seconds();
  std::printf("bench_inspect: %zu volumes, %d iterations, %.4f ms per call (notes %zu)\n", bvals.size(), iterations,
              1e3 * seconds / iterations, notes / static_cast<std::size_t>(iterations > 0 ? iterations : 1));
  return 0;
}
