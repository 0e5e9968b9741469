// Element-wise conversion of raw voxel arrays to float32. Private to the volumes unit.
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

// Reverses the byte order of `count` elements of `element_size` bytes (1, 2, 4 or 8) in place.
void swap_bytes_in_place(std::uint8_t* data, std::uint64_t count, std::size_t element_size);

// Converts `count` elements of a supported integer or float64 datatype (native byte order)
// to the nearest float32 each, then applies the scaling.
void convert_to_float(int datatype, const std::uint8_t* src, std::uint64_t count, float* dst,
                      const Scaling& scaling);

// Applies the scaling to float32 values in place.
void scale_in_place(float* data, std::uint64_t count, const Scaling& scaling);

}  // namespace dirsieve::volumes_detail
