#include "core/volumes/convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <nifti1.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "core/util/target_region.hpp"
#include "core/volumes/nifti_reader.hpp"

namespace dirsieve::volumes_detail {

namespace {

namespace base {
#include "core/volumes/convert_kernels.inc"
}  // namespace base

#if defined(__x86_64__) || defined(__i386__)
#define DIRSIEVE_CONVERT_AVX2 1
// The same kernels compiled for AVX2, used when the processor has it.
namespace avx2 {
DIRSIEVE_TARGET_BEGIN_AVX2
#include "core/volumes/convert_kernels.inc"
DIRSIEVE_TARGET_END
}  // namespace avx2
#endif

bool use_avx2(ConvertKernels kernels) {
#if defined(DIRSIEVE_CONVERT_AVX2)
  static const bool available = __builtin_cpu_supports("avx2");
  return available && kernels == ConvertKernels::Widest;
#else
  (void)kernels;
  return false;
#endif
}

// Elements per task: large enough to amortise scheduling, small enough that a stretch's source
// stays in cache between the swap and the conversion and that both workers get many stretches.
constexpr std::size_t kStretch = std::size_t{1} << 16;

std::size_t stretch_count(std::size_t n) { return (n + kStretch - 1) / kStretch; }

// Calls job(first, last) for every stretch [first, last) of [0, n), spread over the current arena.
template <class Job>
void for_each_stretch(std::size_t n, const Job& job) {
  const std::size_t stretches = stretch_count(n);
  if (stretches <= 1) {
    if (n > 0) job(std::size_t{0}, n);
    return;
  }
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, stretches, 1),
      [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t s = range.begin(); s != range.end(); ++s) {
          job(s * kStretch, std::min(n, (s + 1) * kStretch));
        }
      },
      tbb::simple_partitioner{});
}

void finish_float_stretch(float* data, bool swapped, std::size_t n, const Scaling& scaling, bool wide) {
#if defined(DIRSIEVE_CONVERT_AVX2)
  if (wide) return avx2::finish_float_stretch(data, swapped, n, scaling);
#endif
  (void)wide;
  base::finish_float_stretch(data, swapped, n, scaling);
}

}  // namespace

Scaling scaling_from_header(float scl_slope, float scl_inter) {
  Scaling scaling;
  float slope = std::isfinite(scl_slope) ? scl_slope : 0.0f;
  if (slope == 0.0f) return scaling;
  scaling.enabled = true;
  scaling.slope = slope;
  scaling.inter = std::isfinite(scl_inter) ? scl_inter : 0.0f;
  return scaling;
}

void convert_to_float(int datatype, std::uint8_t* src, bool swapped, std::uint64_t count, float* dst,
                      const Scaling& scaling, ConvertKernels kernels) {
  const std::size_t n = static_cast<std::size_t>(count);
  const std::size_t width = element_size_of(datatype);
  if (width == 0) return;  // rejected when the header was read
  const bool wide = use_avx2(kernels);
  for_each_stretch(n, [&](std::size_t first, std::size_t last) {
    std::uint8_t* s = src + first * width;
#if defined(DIRSIEVE_CONVERT_AVX2)
    if (wide) return avx2::convert_stretch(datatype, s, swapped, last - first, dst + first, scaling);
#endif
    base::convert_stretch(datatype, s, swapped, last - first, dst + first, scaling);
  });
  (void)wide;
}

void finish_floats_in_place(float* data, std::size_t shift, bool swapped, std::uint64_t count,
                            const Scaling& scaling, ConvertKernels kernels) {
  const std::size_t n = static_cast<std::size_t>(count);
  const bool wide = use_avx2(kernels);
  if (!swapped && !scaling.enabled && shift == 0) return;
  auto* bytes = reinterpret_cast<std::uint8_t*>(data);
  const std::size_t stretches = stretch_count(n);
  // Stretch s moves its values from [shift + 4 first, shift + 4 last) down to [4 first, 4 last).
  // The part of that source at or past 4 last belongs to the destination of later stretches, so it
  // is set aside first; then every stretch can move at once. When that part would be large (a
  // big offset), one plain move comes first instead.
  std::vector<std::uint8_t> set_aside;
  if (shift > 0) {
    bool in_stretches = shift <= kStretch * sizeof(float) && stretches * shift <= n * sizeof(float) / 16 + 4096;
    if (in_stretches) {
      try {
        set_aside.resize(stretches * shift);
      } catch (const std::bad_alloc&) {
        in_stretches = false;
      }
    }
    if (!in_stretches) {
      std::memmove(bytes, bytes + shift, n * sizeof(float));
      shift = 0;
    }
  }
  if (shift == 0) {
    for_each_stretch(n, [&](std::size_t first, std::size_t last) {
      finish_float_stretch(data + first, swapped, last - first, scaling, wide);
    });
    return;
  }
  auto source_past_end = [&](std::size_t first, std::size_t last) {
    // [begin, 4 last + shift): the stretch's source bytes at or past its destination's end.
    const std::size_t begin = std::max(last * sizeof(float), first * sizeof(float) + shift);
    return std::pair{begin, last * sizeof(float) + shift - begin};
  };
  for_each_stretch(n, [&](std::size_t first, std::size_t last) {
    const auto [begin, length] = source_past_end(first, last);
    std::memcpy(set_aside.data() + (first / kStretch) * shift, bytes + begin, length);
  });
  for_each_stretch(n, [&](std::size_t first, std::size_t last) {
    const auto [begin, length] = source_past_end(first, last);
    const std::size_t stretch_bytes = (last - first) * sizeof(float);
    std::uint8_t* destination = bytes + first * sizeof(float);
    std::memmove(destination, destination + shift, stretch_bytes - length);
    std::memcpy(destination + stretch_bytes - length, set_aside.data() + (first / kStretch) * shift, length);
    finish_float_stretch(data + first, swapped, last - first, scaling, wide);
  });
}

}  // namespace dirsieve::volumes_detail
