// Synthetic diffusion phantom for the flip-detection tests and benchmark: an ellipsoidal brain with three
// ring-shaped fiber bundles, one in each coordinate plane, tensor signals and Rician noise.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/util/matrix.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve::phantom {

struct PhantomSpec {
  std::size_t nx = 32;
  std::size_t ny = 32;
  std::size_t nz = 32;
  int n_b0 = 3;
  int n_directions = 32;
  double bval = 1000.0;
  double second_bval = 0.0;   // when positive, every other direction is acquired at this b-value instead
  double s0 = 1000.0;
  double snr = 30.0;          // s0 / noise sigma; 0 disables noise
  double background = 0.0;    // b0 signal outside the brain (before noise)
  double ring_radius = 0.25;  // bundle geometry, as fractions of the smallest grid size
  double tube_radius = 0.05;
  std::uint64_t seed = 1;
  Mat4 affine{{{2.0, 0.0, 0.0, 0.0}, {0.0, 2.0, 0.0, 0.0}, {0.0, 0.0, 2.0, 0.0}, {0.0, 0.0, 0.0, 1.0}}};
  // Maps a direction of the generated (true) table onto the voxel axes; must be orthonormal.
  Mat3 frame_map = identity3();
};

struct Phantom {
  DwiVolume dwi;
  GradientTable table;              // the true table, in the frame of `frame_map`
  std::vector<Vec3> fiber;          // true fiber direction in voxel axes, voxel order; zero outside bundles
};

// Deterministic normal deviates (splitmix64 + Box-Muller), independent of the standard library.
class NormalSource {
 public:
  explicit NormalSource(std::uint64_t seed) : state_(seed) {}
  double next() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    double u1 = uniform();
    while (u1 <= 0.0) u1 = uniform();
    const double u2 = uniform();
    const double radius = std::sqrt(-2.0 * std::log(u1));
    const double angle = 6.283185307179586 * u2;
    spare_ = radius * std::sin(angle);
    has_spare_ = true;
    return radius * std::cos(angle);
  }

 private:
  double uniform() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
  }
  std::uint64_t state_;
  double spare_ = 0.0;
  bool has_spare_ = false;
};

// Unit directions spread over a hemisphere (spiral).
inline std::vector<Vec3> spiral_directions(int n) {
  std::vector<Vec3> out;
  const double golden = 2.399963229728653;
  for (int i = 0; i < n; ++i) {
    const double z = 1.0 - (i + 0.5) / n;
    const double r = std::sqrt(1.0 - z * z);
    const double phi = golden * i;
    out.push_back({r * std::cos(phi), r * std::sin(phi), z});
  }
  return out;
}

// Fiber direction at voxel (x, y, z), or zero outside every bundle.
inline Vec3 fiber_direction(const PhantomSpec& spec, double x, double y, double z) {
  const double c[3] = {(spec.nx - 1) / 2.0, (spec.ny - 1) / 2.0, (spec.nz - 1) / 2.0};
  const double smallest = static_cast<double>(std::min(spec.nx, std::min(spec.ny, spec.nz)));
  const double ring_radius = spec.ring_radius * smallest;
  const double tube_radius = spec.tube_radius * smallest;
  const double offset = 0.12 * smallest;
  // Ring k lies in the plane spanned by axes (i, j), normal to axis a, shifted along a.
  struct Ring {
    int i, j, a;
  };
  const Ring rings[3] = {{0, 1, 2}, {0, 2, 1}, {1, 2, 0}};
  const double shift[3] = {offset, -offset, offset};
  const double p[3] = {x, y, z};
  Vec3 best{0.0, 0.0, 0.0};
  double best_distance = tube_radius;
  for (int k = 0; k < 3; ++k) {
    double d[3];
    for (int ax = 0; ax < 3; ++ax) d[ax] = p[ax] - c[ax];
    d[rings[k].a] -= shift[k];
    const double rho = std::sqrt(d[rings[k].i] * d[rings[k].i] + d[rings[k].j] * d[rings[k].j]);
    if (rho < 1e-9) continue;
    const double distance = std::hypot(rho - ring_radius, d[rings[k].a]);
    if (distance < best_distance) {
      best_distance = distance;
      best = {0.0, 0.0, 0.0};
      best[rings[k].i] = -d[rings[k].j] / rho;
      best[rings[k].j] = d[rings[k].i] / rho;
    }
  }
  return best;
}

inline Phantom make_phantom(const PhantomSpec& spec) {
  const std::size_t nx = spec.nx, ny = spec.ny, nz = spec.nz;
  const std::size_t n_voxels = nx * ny * nz;

  // The true table: b0s first, then the shell; directions generated in voxel axes and expressed in the
  // table's frame through the inverse (transpose) of the frame map.
  std::vector<Vec3> voxel_dirs;
  std::vector<Vec3> table_dirs;
  std::vector<double> bvals;
  for (int i = 0; i < spec.n_b0; ++i) {
    voxel_dirs.push_back({0.0, 0.0, 0.0});
    table_dirs.push_back({0.0, 0.0, 0.0});
    bvals.push_back(i == 1 ? 5.0 : 0.0);
  }
  const Mat3 inverse = transpose(spec.frame_map);
  int k = 0;
  for (const Vec3& g : spiral_directions(spec.n_directions)) {
    voxel_dirs.push_back(g);
    table_dirs.push_back(dirsieve::apply(inverse, g));
    const double shell = spec.second_bval > 0.0 && k % 2 == 1 ? spec.second_bval : spec.bval;
    bvals.push_back(shell + 5.0 * ((k % 3) - 1));
    ++k;
  }
  const std::size_t nt = bvals.size();

  Phantom out;
  out.table = GradientTable::make(table_dirs, bvals).value();
  out.fiber.assign(n_voxels, Vec3{0.0, 0.0, 0.0});
  DwiVolume& dwi = out.dwi;
  dwi.dims = {nx, ny, nz, nt};
  dwi.volume_count = nt;
  for (int a = 0; a < 3; ++a) {
    const double col = std::sqrt(spec.affine[0][a] * spec.affine[0][a] + spec.affine[1][a] * spec.affine[1][a] +
                                 spec.affine[2][a] * spec.affine[2][a]);
    dwi.voxel_sizes[a] = col;
  }
  dwi.affine = spec.affine;
  dwi.data.assign(n_voxels * nt, 0.0f);

  NormalSource noise(spec.seed);
  const double sigma = spec.snr > 0.0 ? spec.s0 / spec.snr : 0.0;
  const double c[3] = {(nx - 1) / 2.0, (ny - 1) / 2.0, (nz - 1) / 2.0};
  const double semi[3] = {0.44 * nx, 0.42 * ny, 0.40 * nz};
  for (std::size_t z = 0; z < nz; ++z) {
    for (std::size_t y = 0; y < ny; ++y) {
      for (std::size_t x = 0; x < nx; ++x) {
        const double q[3] = {(x - c[0]) / semi[0], (y - c[1]) / semi[1], (z - c[2]) / semi[2]};
        const bool brain = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] <= 1.0;
        const Vec3 e = brain ? fiber_direction(spec, x, y, z) : Vec3{0.0, 0.0, 0.0};
        const bool wm = e[0] != 0.0 || e[1] != 0.0 || e[2] != 0.0;
        out.fiber[(x * ny + y) * nz + z] = e;
        const double s0 = brain ? spec.s0 : spec.background;
        const double para = wm ? 1.7e-3 : (brain ? 0.8e-3 : 3.0e-3);
        const double perp = wm ? 0.3e-3 : para;
        for (std::size_t t = 0; t < nt; ++t) {
          const Vec3& g = voxel_dirs[t];
          const double along = (g[0] * e[0] + g[1] * e[1]) + g[2] * e[2];
          const double adc = perp + (para - perp) * along * along;
          const double b = (g[0] == 0.0 && g[1] == 0.0 && g[2] == 0.0) ? 0.0 : bvals[t];
          const double clean = s0 * std::exp(-b * adc);
          double s = clean;
          if (sigma > 0.0) {
            const double re = clean + sigma * noise.next();
            const double im = sigma * noise.next();
            s = std::sqrt(re * re + im * im);
          }
          dwi.data[((t * nz + z) * ny + y) * nx + x] = static_cast<float>(s);
        }
      }
    }
  }
  return out;
}

// The table with every direction replaced by m * direction.
inline GradientTable transform_table(const GradientTable& table, const Mat3& m) {
  std::vector<Vec3> dirs;
  for (const Vec3& g : table.directions()) dirs.push_back(dirsieve::apply(m, g));
  return GradientTable::make(dirs, table.bvals()).value();
}

}  // namespace dirsieve::phantom
