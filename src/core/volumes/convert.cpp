#include "core/volumes/convert.hpp"

#include <cmath>

#include <nifti1.h>

namespace dirsieve::volumes_detail {

namespace {

// Every pass runs over whole blocks of 16 elements with a fixed inner trip count and
// leaves the rest to a scalar tail: at -O2 the compiler only vectorises loops that need no
// epilogue, and these passes are the bulk of an image load.
constexpr std::size_t kBlock = 16;

template <class T>
void convert_unscaled(const T* __restrict src, float* __restrict dst, std::size_t n) {
  const std::size_t blocks = n / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    const T* s = src + b * kBlock;
    float* d = dst + b * kBlock;
    for (std::size_t k = 0; k < kBlock; ++k) d[k] = static_cast<float>(s[k]);
  }
  for (std::size_t i = blocks * kBlock; i < n; ++i) dst[i] = static_cast<float>(src[i]);
}

template <class T>
void convert_scaled(const T* __restrict src, float* __restrict dst, std::size_t n, float slope, float inter) {
  const std::size_t blocks = n / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    const T* s = src + b * kBlock;
    float* d = dst + b * kBlock;
    for (std::size_t k = 0; k < kBlock; ++k) d[k] = static_cast<float>(s[k]) * slope + inter;
  }
  for (std::size_t i = blocks * kBlock; i < n; ++i) dst[i] = static_cast<float>(src[i]) * slope + inter;
}

template <class T>
void convert_typed(const std::uint8_t* src, std::size_t n, float* dst, const Scaling& scaling) {
  const T* typed = reinterpret_cast<const T*>(src);
  if (scaling.enabled) {
    convert_scaled(typed, dst, n, scaling.slope, scaling.inter);
  } else {
    convert_unscaled(typed, dst, n);
  }
}

void swap16(std::uint16_t* __restrict p, std::size_t n) {
  const std::size_t blocks = n / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    std::uint16_t* q = p + b * kBlock;
    for (std::size_t k = 0; k < kBlock; ++k) q[k] = __builtin_bswap16(q[k]);
  }
  for (std::size_t i = blocks * kBlock; i < n; ++i) p[i] = __builtin_bswap16(p[i]);
}

// Swapping the bytes of each half and then the halves keeps both passes vectorisable.
void swap32(std::uint32_t* __restrict p, std::size_t n) {
  swap16(reinterpret_cast<std::uint16_t*>(p), 2 * n);
  const std::size_t blocks = n / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    std::uint32_t* q = p + b * kBlock;
    for (std::size_t k = 0; k < kBlock; ++k) q[k] = (q[k] << 16) | (q[k] >> 16);
  }
  for (std::size_t i = blocks * kBlock; i < n; ++i) p[i] = (p[i] << 16) | (p[i] >> 16);
}

void swap64(std::uint64_t* __restrict p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) p[i] = __builtin_bswap64(p[i]);
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

void swap_bytes_in_place(std::uint8_t* data, std::uint64_t count, std::size_t element_size) {
  const std::size_t n = static_cast<std::size_t>(count);
  switch (element_size) {
    case 2:
      swap16(reinterpret_cast<std::uint16_t*>(data), n);
      break;
    case 4:
      swap32(reinterpret_cast<std::uint32_t*>(data), n);
      break;
    case 8:
      swap64(reinterpret_cast<std::uint64_t*>(data), n);
      break;
    default:
      break;  // single bytes have no order
  }
}

void convert_to_float(int datatype, const std::uint8_t* src, std::uint64_t count, float* dst,
                      const Scaling& scaling) {
  const std::size_t n = static_cast<std::size_t>(count);
  switch (datatype) {
    case DT_UINT8:
      convert_typed<std::uint8_t>(src, n, dst, scaling);
      break;
    case DT_INT8:
      convert_typed<std::int8_t>(src, n, dst, scaling);
      break;
    case DT_INT16:
      convert_typed<std::int16_t>(src, n, dst, scaling);
      break;
    case DT_UINT16:
      convert_typed<std::uint16_t>(src, n, dst, scaling);
      break;
    case DT_INT32:
      convert_typed<std::int32_t>(src, n, dst, scaling);
      break;
    case DT_UINT32:
      convert_typed<std::uint32_t>(src, n, dst, scaling);
      break;
    case DT_INT64:
      convert_typed<std::int64_t>(src, n, dst, scaling);
      break;
    case DT_UINT64:
      convert_typed<std::uint64_t>(src, n, dst, scaling);
      break;
    case DT_FLOAT64:
      convert_typed<double>(src, n, dst, scaling);
      break;
    case DT_FLOAT32:
      convert_typed<float>(src, n, dst, scaling);
      break;
    default:
      break;  // rejected when the header was read
  }
}

void scale_in_place(float* data, std::uint64_t count, const Scaling& scaling) {
  if (!scaling.enabled) return;
  const std::size_t n = static_cast<std::size_t>(count);
  const float slope = scaling.slope;
  const float inter = scaling.inter;
  const std::size_t blocks = n / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    float* d = data + b * kBlock;
    for (std::size_t k = 0; k < kBlock; ++k) d[k] = d[k] * slope + inter;
  }
  for (std::size_t i = blocks * kBlock; i < n; ++i) data[i] = data[i] * slope + inter;
}

}  // namespace dirsieve::volumes_detail
