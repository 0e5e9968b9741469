// Element-wise conversion of raw voxel arrays to float32. Private to the volumes unit.
//
// The conversions run on the worker pool of the calling task arena, in fixed stretches of
// elements; each element's arithmetic is independent of the stretch it falls in and of the
// instruction set used, so the result is the same to the bit on every path and thread count.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dirsieve::volumes_detail {

// Scaling as applied to every converted value: v * slope + inter in float32, or none.
struct Scaling {
  bool enabled = false;
  float slope = 1.0f;
  float inter = 0.0f;
};

// The scaling a header asks for. A zero slope means unscaled; a non-finite slope or
// intercept counts as 0 (unscaled images are commonly written with a NaN slope).
Scaling scaling_from_header(float scl_slope, float scl_inter);

// Which compiled kernels a conversion uses: the widest the processor runs, or the baseline ones
// (a choice for tests; both give the same bits).
enum class ConvertKernels { Widest, Baseline };

// Converts `count` elements of a supported datatype stored at `src` to the nearest float32 each,
// then applies the scaling. With `swapped` the elements are in the other byte order and `src` is
// reversed in place on the way. `src` must be aligned to the element size.
void convert_to_float(int datatype, std::uint8_t* src, bool swapped, std::uint64_t count, float* dst,
                      const Scaling& scaling, ConvertKernels kernels = ConvertKernels::Widest);

// For float32 voxels that start `shift` bytes into `data` (a multiple of 4 or not): moves the
// `count` values down to the start of `data`, reversing their byte order when `swapped`, and
// applies the scaling in place.
void finish_floats_in_place(float* data, std::size_t shift, bool swapped, std::uint64_t count,
                            const Scaling& scaling, ConvertKernels kernels = ConvertKernels::Widest);

}  // namespace dirsieve::volumes_detail
