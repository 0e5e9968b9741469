#include "core/flip/coherence.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include "core/flip/candidates.hpp"

namespace dirsieve {
// Bounding box of the WM voxels. A corner outside it is outside the mask, so the corner lookup table
// needs only the box, not the whole grid.
struct ScoringBox {
  double lo[3];
  double end[3];
  std::size_t stride[3];
  std::size_t size;
};

namespace {

constexpr double kTiny = 1e-9;
// WM voxels per piece of the parallel fold.
constexpr std::size_t kFoldGrain = 512;

double dot(const Vec3& a, const Vec3& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }
double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }

// Key whose signed integer order is the IEEE-754 total order of the doubles.
std::int64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::int64_t>(value);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

struct Tally {
  double sum = 0.0;
  std::uint64_t valid = 0;
  std::uint64_t attempted = 0;
};

// Trilinear interpolation of the direction field at `point`; `corner(index)` gives the direction of a
// grid voxel that may serve as a corner (in the mask, with a non-negligible direction), or nullptr.
template <class Corner>
std::optional<Vec3> interpolate_impl(const Corner& corner, const std::array<std::size_t, 3>& dims,
                                     const Vec3& point, const Vec3& centre) {
  // Per axis: the two corner weights, whether each corner coordinate lies inside the grid (tested in
  // floating point, so far-away or non-finite points never reach an integer conversion) and its
  // contribution to the voxel index.
  double weights[3][2];
  bool inside[3][2];
  std::size_t offset[3][2];
  const std::size_t stride[3] = {dims[1] * dims[2], dims[2], 1};
  for (int a = 0; a < 3; ++a) {
    const double base = std::floor(point[a]);
    const double f = point[a] - base;
    weights[a][0] = 1.0 - f;
    weights[a][1] = f;
    const double size = static_cast<double>(dims[a]);
    for (int d = 0; d < 2; ++d) {
      const double c = base + d;
      inside[a][d] = c >= 0.0 && c < size;
      offset[a][d] = inside[a][d] ? static_cast<std::size_t>(c) * stride[a] : 0;
    }
  }

  // The three sums live in registers (separate scalars): the same additions in the same order as a
  // Vec3 accumulator, without a store/reload per corner.
  double acc0 = 0.0;
  double acc1 = 0.0;
  double acc2 = 0.0;
  double total = 0.0;
  for (int dx = 0; dx < 2; ++dx) {
    for (int dy = 0; dy < 2; ++dy) {
      const double wxy = weights[0][dx] * weights[1][dy];
      for (int dz = 0; dz < 2; ++dz) {
        const double w = wxy * weights[2][dz];
        if (!(w > 0.0)) continue;
        if (!(inside[0][dx] && inside[1][dy] && inside[2][dz])) continue;
        const std::size_t index = offset[0][dx] + offset[1][dy] + offset[2][dz];
        const Vec3* found = corner(index);
        if (found == nullptr) continue;
        const Vec3& c = *found;
        // -1.0 when u.c < 0, else 1.0, chosen without a branch (the sign of u.c is a coin toss:
        // fitted eigenvectors come with arbitrary signs).
        const std::uint64_t negative = dot(centre, c) < 0.0 ? 1 : 0;
        const double sign = std::bit_cast<double>(std::bit_cast<std::uint64_t>(1.0) | (negative << 63));
        acc0 += w * (sign * c[0]);
        acc1 += w * (sign * c[1]);
        acc2 += w * (sign * c[2]);
        total += w;
      }
    }
  }
  if (!(total > 0.0)) return std::nullopt;
  const Vec3 mean{acc0 / total, acc1 / total, acc2 / total};
  const double length = norm(mean);
  if (!(length >= kTiny)) return std::nullopt;
  return Vec3{mean[0] / length, mean[1] / length, mean[2] / length};
}

// The transformed direction of one WM voxel for the candidate being scored.
struct alignas(32) FieldEntry {
  Vec3 c;
  // All ones when the voxel may serve as an interpolation corner (transformed direction at least 1e-9
  // long), else zero.
  std::uint64_t usable;
};

std::uint64_t all_or_none(bool b) { return b ? ~std::uint64_t{0} : 0; }

// Two lanes: lane 0 the forward sample of a voxel, lane 1 its backward one. Every lane operation is
// the scalar IEEE operation of interpolate_impl, so each lane has the bits of a scalar evaluation.
using Pair = double __attribute__((vector_size(16)));
using PairBits = std::int64_t __attribute__((vector_size(16)));

Pair splat(double v) { return Pair{v, v}; }
PairBits bits(Pair v) { return reinterpret_cast<PairBits>(v); }
Pair value(PairBits v) { return reinterpret_cast<Pair>(v); }

// The pair's blend of b where `take` is set, a elsewhere.
Pair select(PairBits take, Pair b, Pair a) { return value((bits(b) & take) | (bits(a) & ~take)); }

Pair pair_sqrt(Pair v) {
#if defined(__SSE2__)
  return _mm_sqrt_pd(v);
#else
  return Pair{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

struct PairDirection {
  Pair dir[3];
  PairBits ok;  // all ones where the lane's sample is valid
};

// interpolate_impl for both samples of the WM voxel with transformed direction `centre`, over the WM
// field through the box table: the same corners, the same operations in the same order. `slot` maps a
// box voxel to its FieldEntry; voxels outside the mask map to an entry that is never usable.
// With `Finite` (no field entry holds an infinite or NaN component) a rejected corner is not skipped
// but adds 0 * (finite) to each sum: a sum that starts at +0 and only ever adds can never be -0, so
// adding a zero leaves it unchanged to the bit. Otherwise each sum keeps its old value where the
// corner is rejected.
template <bool Finite, class Slot>
PairDirection interpolate_pair(const FieldEntry* field, const Slot* slot, const ScoringBox& box, const Pair point[3],
                               const Vec3& centre) {
  Pair weights[3][2];
  PairBits inside[3][2];
  std::size_t offset[2][3][2];  // [lane][axis][corner]
  for (int a = 0; a < 3; ++a) {
    const Pair base{std::floor(point[a][0]), std::floor(point[a][1])};
    const Pair f = point[a] - base;
    weights[a][0] = splat(1.0) - f;
    weights[a][1] = f;
    for (int d = 0; d < 2; ++d) {
      const Pair c = base + splat(static_cast<double>(d));
      const PairBits in = (c >= splat(box.lo[a])) & (c < splat(box.end[a]));
      inside[a][d] = in;
      // Only an inside coordinate is converted to an integer; the others use offset 0, which stays
      // inside the table and is masked out.
      for (int lane = 0; lane < 2; ++lane)
        offset[lane][a][d] = static_cast<std::size_t>(in[lane] != 0 ? c[lane] - box.lo[a] : 0.0) * box.stride[a];
    }
  }

  const Pair u0 = splat(centre[0]);
  const Pair u1 = splat(centre[1]);
  const Pair u2 = splat(centre[2]);
  const PairBits one = bits(splat(1.0));
  const PairBits sign_bit = bits(splat(-0.0));
  Pair acc0 = splat(0.0);
  Pair acc1 = splat(0.0);
  Pair acc2 = splat(0.0);
  Pair total = splat(0.0);
#pragma GCC unroll 2
  for (int dx = 0; dx < 2; ++dx) {
#pragma GCC unroll 2
    for (int dy = 0; dy < 2; ++dy) {
      const Pair wxy = weights[0][dx] * weights[1][dy];
      const PairBits inside_xy = inside[0][dx] & inside[1][dy];
      const std::size_t xy0 = offset[0][0][dx] + offset[0][1][dy];
      const std::size_t xy1 = offset[1][0][dx] + offset[1][1][dy];
#pragma GCC unroll 2
      for (int dz = 0; dz < 2; ++dz) {
        const Pair w = wxy * weights[2][dz];
        const FieldEntry& e0 = field[slot[xy0 + offset[0][2][dz]]];
        const FieldEntry& e1 = field[slot[xy1 + offset[1][2][dz]]];
        const PairBits usable{static_cast<std::int64_t>(e0.usable), static_cast<std::int64_t>(e1.usable)};
        const PairBits take = inside_xy & inside[2][dz] & usable & (w > splat(0.0));
        const Pair c0{e0.c[0], e1.c[0]};
        const Pair c1{e0.c[1], e1.c[1]};
        const Pair c2{e0.c[2], e1.c[2]};
        // -1.0 where u.c < 0, else 1.0 (the sign of u.c is a coin toss: fitted eigenvectors come
        // with arbitrary signs).
        const Pair sign = value(one | (((u0 * c0 + u1 * c1) + u2 * c2 < splat(0.0)) & sign_bit));
        if constexpr (Finite) {
          const Pair wt = value(bits(w) & take);
          acc0 += wt * (sign * c0);
          acc1 += wt * (sign * c1);
          acc2 += wt * (sign * c2);
          total += wt;
        } else {
          acc0 = select(take, acc0 + w * (sign * c0), acc0);
          acc1 = select(take, acc1 + w * (sign * c1), acc1);
          acc2 = select(take, acc2 + w * (sign * c2), acc2);
          total = select(take, total + w, total);
        }
      }
    }
  }
  PairDirection out;
  out.ok = total > splat(0.0);
  const Pair m0 = acc0 / total;
  const Pair m1 = acc1 / total;
  const Pair m2 = acc2 / total;
  const Pair squared = (m0 * m0 + m1 * m1) + m2 * m2;
  const Pair length = pair_sqrt(squared);
  out.ok &= length >= splat(kTiny);
  out.dir[0] = m0 / length;
  out.dir[1] = m1 / length;
  out.dir[2] = m2 / length;
  return out;
}

// The least double whose square root is at least 1e-9: as sqrt is correctly rounded, hence monotonic,
// norm(v) >= 1e-9 exactly when dot(v, v) >= this (and neither holds for NaN).
double least_square_of_tiny() {
  static const double least = [] {
    double t = kTiny * kTiny;
    while (std::sqrt(t) < kTiny) t = std::nextafter(t, std::numeric_limits<double>::infinity());
    while (std::sqrt(std::nextafter(t, 0.0)) >= kTiny) t = std::nextafter(t, 0.0);
    return t;
  }();
  return least;
}

// The candidate's field: per WM voxel, the fitted direction if that is below 1e-9 in length, else the
// transformed one; whether it may serve as a corner (not below 1e-9) and whether the voxel is sampled
// (not below 1e-9 or NaN). Returns whether every component is finite.
bool transform_field(const Mat3& m, const Vec3* v1, const std::uint8_t* tiny, std::size_t n, double tiny_squared,
                     FieldEntry* field, std::uint8_t* sampled) {
  const double m00 = m[0][0], m01 = m[0][1], m02 = m[0][2];
  const double m10 = m[1][0], m11 = m[1][1], m12 = m[1][2];
  const double m20 = m[2][0], m21 = m[2][1], m22 = m[2][2];
  std::uint64_t non_finite = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double g0 = v1[i][0];
    const double g1 = v1[i][1];
    const double g2 = v1[i][2];
    double c0 = g0;
    double c1 = g1;
    double c2 = g2;
    if (tiny[i] == 0) {
      // dirsieve::apply, spelled out.
      c0 = (m00 * g0 + m01 * g1) + m02 * g2;
      c1 = (m10 * g0 + m11 * g1) + m12 * g2;
      c2 = (m20 * g0 + m21 * g1) + m22 * g2;
    }
    const double squared = (c0 * c0 + c1 * c1) + c2 * c2;
    FieldEntry& e = field[i];
    e.c[0] = c0;
    e.c[1] = c1;
    e.c[2] = c2;
    e.usable = all_or_none(squared >= tiny_squared);
    sampled[i] = squared < tiny_squared ? 0 : 1;
    // A component is infinite or NaN when its exponent bits are all set.
    constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL;
    non_finite |= ((std::bit_cast<std::uint64_t>(c0) & kExponent) == kExponent) |
                  ((std::bit_cast<std::uint64_t>(c1) & kExponent) == kExponent) |
                  ((std::bit_cast<std::uint64_t>(c2) & kExponent) == kExponent);
  }
  return non_finite == 0;
}

Tally combine(Tally a, const Tally& b) {
  a.sum += b.sum;
  a.valid += b.valid;
  a.attempted += b.attempted;
  return a;
}

// The tally of WM voxels [begin, end), in list order.
// With `per_voxel`, each voxel's own sum of |u.w| over its valid samples is also stored there (list order).
template <bool Finite, class Slot>
Tally fold_piece(const FieldEntry* field, const std::uint8_t* sampled, const Vec3* points, const Slot* slot,
                 const ScoringBox& box, const Vec3& step, std::size_t begin, std::size_t end, double* per_voxel,
                 std::size_t stride = 1) {
  double sum = 0.0;
  std::uint64_t valid = 0;
  std::uint64_t attempted = 0;
  // With a stride, only every stride-th WM voxel is a centre (the others still serve as corners).
  const std::size_t first = stride == 1 ? begin : (begin + stride - 1) / stride * stride;
  for (std::size_t i = first; i < end; i += stride) {
    if (sampled[i] == 0) {
      if (per_voxel != nullptr) per_voxel[i] = 0.0;
      continue;
    }
    const Vec3& u = field[i].c;
    attempted += 2;
    const double x = points[i][0];
    const double y = points[i][1];
    const double z = points[i][2];
    const Pair point[3] = {Pair{x + step[0] * u[0], x - step[0] * u[0]},
                           Pair{y + step[1] * u[1], y - step[1] * u[1]},
                           Pair{z + step[2] * u[2], z - step[2] * u[2]}};
    const PairDirection w = interpolate_pair<Finite>(field, slot, box, point, u);
    const Pair along = (splat(u[0]) * w.dir[0] + splat(u[1]) * w.dir[1]) + splat(u[2]) * w.dir[2];
    // Forward sample first, then backward.
    const bool ok_forward = w.ok[0] != 0;
    const bool ok_backward = w.ok[1] != 0;
    const double along_forward = along[0];
    const double along_backward = along[1];
    if (ok_forward) {
      sum += std::fabs(along_forward);
      ++valid;
    }
    if (ok_backward) {
      sum += std::fabs(along_backward);
      ++valid;
    }
    if (per_voxel != nullptr)
      per_voxel[i] = (ok_forward ? std::fabs(along_forward) : 0.0) + (ok_backward ? std::fabs(along_backward) : 0.0);
  }
  return Tally{sum, valid, attempted};
}

struct Scratch {
  std::vector<FieldEntry> field;
  std::vector<std::uint8_t> sampled;
};

}  // namespace

std::optional<Vec3> interpolate_direction(const std::vector<Vec3>& field, const std::vector<std::uint8_t>& mask,
                                          const std::array<std::size_t, 3>& dims, const Vec3& point,
                                          const Vec3& centre) {
  const auto corner = [&](std::size_t index) -> const Vec3* {
    const bool usable = index < mask.size() && index < field.size() && mask[index] && norm(field[index]) >= kTiny;
    return usable ? &field[index] : nullptr;
  };
  return interpolate_impl(corner, dims, point, centre);
}

// The WM voxels of one sample, the bounding box of the mask and its corner table.
struct CoherenceScorer::Layout {
  std::vector<std::array<std::size_t, 3>> coord;
  std::vector<Vec3> point;
  ScoringBox box{};
  // ScoringBox voxel -> WM list position; n_wm (the never-usable stand-in) outside the mask. 32-bit slots
  // halve the table; a WM list too long for them (beyond any real image) uses full-width ones.
  std::vector<std::uint32_t> slot32;
  std::vector<std::size_t> slot64;
};

namespace {

// Applies `work(slots)` to whichever corner table the layout holds.
template <class Work>
decltype(auto) with_slots(const CoherenceScorer::Layout& layout, Work&& work) {
  if (layout.slot64.empty()) return work(layout.slot32.data());
  return work(layout.slot64.data());
}

// The tally of one candidate's field, folded in the fixed tree of parallel_deterministic_reduce over
// blocked_range(0, n_wm, kFoldGrain): a range longer than the grain splits at its middle, each piece starts
// from an empty tally and the left result is joined with the right one. The tally depends neither on the
// thread count nor on the scheduling.
template <class Slot>
Tally fold_field(const CoherenceScorer::Layout& layout, const Slot* slot, const FieldEntry* field,
                 const std::uint8_t* sampled, bool finite, const Vec3& step, double* per_voxel,
                 std::size_t stride = 1) {
  const std::size_t n_wm = layout.coord.size();
  const auto fold = [&](auto finite_tag) {
    constexpr bool kFinite = decltype(finite_tag)::value;
    const auto tree = [&](const auto& self, std::size_t begin, std::size_t end) -> Tally {
      if (end - begin <= kFoldGrain) {
        return fold_piece<kFinite>(field, sampled, layout.point.data(), slot, layout.box, step, begin, end,
                                   per_voxel, stride);
      }
      const std::size_t middle = begin + (end - begin) / 2;
      const Tally left = self(self, begin, middle);
      return combine(left, self(self, middle, end));
    };
    return tree(tree, 0, n_wm);
  };
  return finite ? fold(std::true_type{}) : fold(std::false_type{});
}

std::vector<std::uint8_t> tiny_flags(const std::vector<Vec3>& v1) {
  std::vector<std::uint8_t> tiny(v1.size());
  for (std::size_t i = 0; i < v1.size(); ++i) tiny[i] = norm(v1[i]) < kTiny ? 1 : 0;
  return tiny;
}

}  // namespace

CoherenceScorer::CoherenceScorer(const TensorFit& fit, const WhiteMatterSample& sample) {
  auto geometry = std::make_shared<Layout>();
  Layout& l = *geometry;
  // Every index below stays inside the grid and inside each per-voxel sequence, even for a malformed fit
  // whose sequences are shorter than its grid.
  const std::size_t n_voxels = fit.dims[0] * fit.dims[1] * fit.dims[2];
  const std::size_t ny = fit.dims[1];
  const std::size_t nz = fit.dims[2];
  const std::size_t n_mask = std::min({n_voxels, sample.mask.size(), fit.v1.size()});

  for (std::size_t v = 0; v < n_mask; ++v) {
    if (!sample.mask[v]) continue;
    l.coord.push_back({v / (ny * nz), (v / nz) % ny, v % nz});
    v1_.push_back(fit.v1[v]);
  }
  const std::size_t n_wm = l.coord.size();
  tiny_ = tiny_flags(v1_);
  l.point.resize(n_wm);
  for (std::size_t i = 0; i < n_wm; ++i)
    for (int a = 0; a < 3; ++a) l.point[i][a] = static_cast<double>(l.coord[i][a]);
  layout_ = geometry;
  if (n_wm == 0) return;

  std::size_t first[3];
  std::size_t extent[3];
  for (int a = 0; a < 3; ++a) {
    std::size_t lo = l.coord[0][a];
    std::size_t hi = lo;
    for (const auto& p : l.coord) {
      lo = std::min(lo, p[a]);
      hi = std::max(hi, p[a]);
    }
    first[a] = lo;
    extent[a] = hi - lo + 1;
    l.box.lo[a] = static_cast<double>(lo);
    l.box.end[a] = static_cast<double>(hi + 1);
  }
  l.box.stride[0] = extent[1] * extent[2];
  l.box.stride[1] = extent[2];
  l.box.stride[2] = 1;
  l.box.size = extent[0] * extent[1] * extent[2];
  const auto fill = [&](auto& slot) {
    using Slot = typename std::remove_reference_t<decltype(slot)>::value_type;
    slot.assign(l.box.size, static_cast<Slot>(n_wm));
    for (std::size_t i = 0; i < n_wm; ++i) {
      const auto& p = l.coord[i];
      slot[(p[0] - first[0]) * l.box.stride[0] + (p[1] - first[1]) * l.box.stride[1] + (p[2] - first[2])] =
          static_cast<Slot>(i);
    }
  };
  if (n_wm < std::numeric_limits<std::uint32_t>::max()) {
    fill(l.slot32);
  } else {
    fill(l.slot64);
  }
}

CoherenceScorer::CoherenceScorer(std::shared_ptr<const Layout> geometry, std::vector<Vec3> v1)
    : layout_(std::move(geometry)), v1_(std::move(v1)) {
  // A direction list of the wrong length would index past the layout: keep exactly one per WM voxel.
  v1_.resize(layout_->coord.size(), Vec3{0.0, 0.0, 0.0});
  tiny_ = tiny_flags(v1_);
}

CoherenceScorer::CoherenceScorer(CoherenceScorer&&) noexcept = default;
CoherenceScorer& CoherenceScorer::operator=(CoherenceScorer&&) noexcept = default;
CoherenceScorer::~CoherenceScorer() = default;

CoherenceScorer CoherenceScorer::with_directions(std::vector<Vec3> v1) const {
  return CoherenceScorer(layout_, std::move(v1));
}

const std::vector<std::array<std::size_t, 3>>& CoherenceScorer::coordinates() const { return layout_->coord; }

std::vector<CoherenceScorer::Score> CoherenceScorer::score(const std::vector<Mat3>& transforms, const Vec3& step,
                                                           const Mat3& frame_map, std::size_t centre_stride) const {
  if (centre_stride == 0) centre_stride = 1;
  const Layout& l = *layout_;
  const std::size_t n_wm = l.coord.size();
  std::vector<Tally> tallies(transforms.size());
  if (n_wm > 0) {
    const double tiny_squared = least_square_of_tiny();
    tbb::enumerable_thread_specific<Scratch> scratch;
    // One task per transform, each folding its WM voxels alone.
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, transforms.size(), 1),
        [&](const tbb::blocked_range<std::size_t>& range) {
          Scratch& local = scratch.local();
          local.field.resize(n_wm + 1);
          local.sampled.resize(n_wm);
          FieldEntry* field = local.field.data();
          std::uint8_t* sampled = local.sampled.data();
          for (std::size_t k = range.begin(); k != range.end(); ++k) {
            const Mat3 composite = multiply(frame_map, transforms[k]);
            const bool finite =
                transform_field(composite, v1_.data(), tiny_.data(), n_wm, tiny_squared, field, sampled);
            field[n_wm] = FieldEntry{Vec3{0.0, 0.0, 0.0}, 0};
            tallies[k] = with_slots(l, [&](const auto* slot) {
              return fold_field(l, slot, field, sampled, finite, step, nullptr, centre_stride);
            });
          }
        },
        tbb::simple_partitioner{});
  }
  std::vector<Score> out(transforms.size());
  for (std::size_t k = 0; k < transforms.size(); ++k) {
    if (tallies[k].attempted == 0) continue;
    out[k].coherence = tallies[k].sum / static_cast<double>(tallies[k].attempted);
    out[k].n_samples = tallies[k].valid;
  }
  return out;
}

std::vector<RankedCandidate> CoherenceScorer::rank(const Vec3& step, const Mat3& frame_map) const {
  const auto& candidates = generate_candidates();

  // A candidate sign-equivalent to an earlier one has its score; the others are scored.
  std::vector<std::size_t> source(candidates.size());
  std::vector<std::size_t> computed_index(candidates.size(), 0);
  std::vector<Mat3> transforms;
  for (std::size_t ci = 0; ci < candidates.size(); ++ci) {
    source[ci] = ci;
    for (std::size_t earlier = 0; earlier < ci; ++earlier) {
      if (sign_equivalent(candidates[earlier].matrix, candidates[ci].matrix)) {
        source[ci] = source[earlier];
        break;
      }
    }
    if (source[ci] == ci) {
      computed_index[ci] = transforms.size();
      transforms.push_back(candidates[ci].matrix);
    }
  }
  const std::vector<Score> scored = score(transforms, step, frame_map);

  std::vector<RankedCandidate> scores;
  scores.reserve(candidates.size());
  for (std::size_t ci = 0; ci < candidates.size(); ++ci) {
    const CandidateTransform& candidate = candidates[ci];
    const Score& s = scored[computed_index[source[ci]]];
    scores.push_back(RankedCandidate{candidate.label, candidate.matrix, candidate.is_identity, s.coherence, s.n_samples});
  }

  std::stable_sort(scores.begin(), scores.end(), [](const RankedCandidate& a, const RankedCandidate& b) {
    return total_order_key(a.coherence) > total_order_key(b.coherence);
  });
  return scores;
}

void CoherenceScorer::voxel_scores(const Mat3& transform, const Vec3& step, const Mat3& frame_map,
                                   std::vector<double>& sums, std::vector<std::uint8_t>& sampled) const {
  const Layout& l = *layout_;
  const std::size_t n_wm = l.coord.size();
  sums.assign(n_wm, 0.0);
  sampled.assign(n_wm, 0);
  if (n_wm == 0) return;
  std::vector<FieldEntry> field(n_wm + 1);
  const bool finite = transform_field(multiply(frame_map, transform), v1_.data(), tiny_.data(), n_wm,
                                      least_square_of_tiny(), field.data(), sampled.data());
  field[n_wm] = FieldEntry{Vec3{0.0, 0.0, 0.0}, 0};
  // Each piece writes its own voxels' sums; the tallies are not needed here.
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_wm, kFoldGrain), [&](const tbb::blocked_range<std::size_t>& r) {
    with_slots(l, [&](const auto* slot) {
      if (finite) {
        return fold_piece<true>(field.data(), sampled.data(), l.point.data(), slot, l.box, step, r.begin(), r.end(),
                                sums.data());
      }
      return fold_piece<false>(field.data(), sampled.data(), l.point.data(), slot, l.box, step, r.begin(), r.end(),
                               sums.data());
    });
  });
}

std::vector<RankedCandidate> score_candidates(const TensorFit& fit, const WhiteMatterSample& sample, double step,
                                              const Mat3& frame_map) {
  return CoherenceScorer(fit, sample).rank(Vec3{step, step, step}, frame_map);
}

JsonValue to_json(const RankedCandidate& entry) {
  JsonValue out = JsonValue::object();
  out.add("label", entry.label);
  out.add("matrix", json_mat3(entry.matrix));
  out.add("is_identity", entry.is_identity);
  out.add("coherence", entry.coherence);
  out.add("n_samples", entry.n_samples);
  return out;
}

}  // namespace dirsieve
