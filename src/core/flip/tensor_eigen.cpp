#include "core/flip/tensor_eigen.hpp"
#include "core/util/target_region.hpp"

// GCC 12 reports the deliberately undefined lanes inside its own AVX-512 intrinsics as "maybe
// uninitialized" (or plainly "uninitialized"); the warning says nothing about this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DIRSIEVE_EIGEN_X86 1
#endif

// The solver is written once (tensor_eigen_lanes.inc) and instantiated per instruction set, each
// copy in its own namespace and compiled for its own target, over a lane type of IEEE operations:
// plain doubles, two AVX2 registers (8 tensors) or two AVX-512 registers (16 tensors; two registers
// rather than one so that the long chain of dependent divisions and square roots of one rotation
// overlaps with the other half).

namespace dirsieve {
namespace {

namespace scalar {
struct Lanes {
  using V = double;
  using M = bool;
  static constexpr std::size_t kWidth = 1;
  static V load(const double* p) { return *p; }
  static void store(double* p, V v) { *p = v; }
  static V set(double x) { return x; }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V mul(V a, V b) { return a * b; }
  static V div(V a, V b) { return a / b; }
  static V sqrt(V a) { return std::sqrt(a); }
  static V abs(V a) { return std::fabs(a); }
  static V neg(V a) { return -a; }
  static V max(V a, V b) { return a > b ? a : b; }  // the x86 max: b unless a > b
  static M lt(V a, V b) { return a < b; }
  static M gt(V a, V b) { return a > b; }
  static M eq(V a, V b) { return a == b; }
  static M both(M a, M b) { return a && b; }
  static V select(M m, V t, V f) { return m ? t : f; }
  static void store_mask(std::uint8_t* p, M m) { *p = m ? 1 : 0; }
};
#include "core/flip/tensor_eigen_lanes.inc"
}  // namespace scalar

#if defined(DIRSIEVE_EIGEN_X86)
namespace avx2 {
DIRSIEVE_TARGET_BEGIN_AVX2
struct Lanes {
  struct V {
    __m256d lo, hi;
  };
  using M = V;
  static constexpr std::size_t kWidth = 8;
  static V load(const double* p) { return {_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)}; }
  static void store(double* p, V v) {
    _mm256_storeu_pd(p, v.lo);
    _mm256_storeu_pd(p + 4, v.hi);
  }
  static V set(double x) { return {_mm256_set1_pd(x), _mm256_set1_pd(x)}; }
  static V add(V a, V b) { return {_mm256_add_pd(a.lo, b.lo), _mm256_add_pd(a.hi, b.hi)}; }
  static V sub(V a, V b) { return {_mm256_sub_pd(a.lo, b.lo), _mm256_sub_pd(a.hi, b.hi)}; }
  static V mul(V a, V b) { return {_mm256_mul_pd(a.lo, b.lo), _mm256_mul_pd(a.hi, b.hi)}; }
  static V div(V a, V b) { return {_mm256_div_pd(a.lo, b.lo), _mm256_div_pd(a.hi, b.hi)}; }
  static V sqrt(V a) { return {_mm256_sqrt_pd(a.lo), _mm256_sqrt_pd(a.hi)}; }
  static V abs(V a) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    return {_mm256_andnot_pd(sign, a.lo), _mm256_andnot_pd(sign, a.hi)};
  }
  static V neg(V a) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    return {_mm256_xor_pd(sign, a.lo), _mm256_xor_pd(sign, a.hi)};
  }
  static V max(V a, V b) { return {_mm256_max_pd(a.lo, b.lo), _mm256_max_pd(a.hi, b.hi)}; }
  static M lt(V a, V b) { return {_mm256_cmp_pd(a.lo, b.lo, _CMP_LT_OQ), _mm256_cmp_pd(a.hi, b.hi, _CMP_LT_OQ)}; }
  static M gt(V a, V b) { return {_mm256_cmp_pd(a.lo, b.lo, _CMP_GT_OQ), _mm256_cmp_pd(a.hi, b.hi, _CMP_GT_OQ)}; }
  static M eq(V a, V b) { return {_mm256_cmp_pd(a.lo, b.lo, _CMP_EQ_OQ), _mm256_cmp_pd(a.hi, b.hi, _CMP_EQ_OQ)}; }
  static M both(M a, M b) { return {_mm256_and_pd(a.lo, b.lo), _mm256_and_pd(a.hi, b.hi)}; }
  static V select(M m, V t, V f) { return {_mm256_blendv_pd(f.lo, t.lo, m.lo), _mm256_blendv_pd(f.hi, t.hi, m.hi)}; }
  static void store_mask(std::uint8_t* p, M m) {
    const int bits = _mm256_movemask_pd(m.lo) | (_mm256_movemask_pd(m.hi) << 4);
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>((bits >> i) & 1);
  }
};
#include "core/flip/tensor_eigen_lanes.inc"
DIRSIEVE_TARGET_END
}  // namespace avx2

namespace avx512 {
DIRSIEVE_TARGET_BEGIN_AVX512
struct Lanes {
  struct V {
    __m512d lo, hi;
  };
  struct M {
    __mmask8 lo, hi;
  };
  static constexpr std::size_t kWidth = 16;
  static V load(const double* p) { return {_mm512_loadu_pd(p), _mm512_loadu_pd(p + 8)}; }
  static void store(double* p, V v) {
    _mm512_storeu_pd(p, v.lo);
    _mm512_storeu_pd(p + 8, v.hi);
  }
  static V set(double x) { return {_mm512_set1_pd(x), _mm512_set1_pd(x)}; }
  static V add(V a, V b) { return {_mm512_add_pd(a.lo, b.lo), _mm512_add_pd(a.hi, b.hi)}; }
  static V sub(V a, V b) { return {_mm512_sub_pd(a.lo, b.lo), _mm512_sub_pd(a.hi, b.hi)}; }
  static V mul(V a, V b) { return {_mm512_mul_pd(a.lo, b.lo), _mm512_mul_pd(a.hi, b.hi)}; }
  static V div(V a, V b) { return {_mm512_div_pd(a.lo, b.lo), _mm512_div_pd(a.hi, b.hi)}; }
  static V sqrt(V a) { return {_mm512_sqrt_pd(a.lo), _mm512_sqrt_pd(a.hi)}; }
  static V abs(V a) { return {_mm512_abs_pd(a.lo), _mm512_abs_pd(a.hi)}; }
  static V neg(V a) {
    const __m512d sign = _mm512_set1_pd(-0.0);
    return {_mm512_xor_pd(sign, a.lo), _mm512_xor_pd(sign, a.hi)};
  }
  static V max(V a, V b) { return {_mm512_max_pd(a.lo, b.lo), _mm512_max_pd(a.hi, b.hi)}; }
  static M lt(V a, V b) {
    return {_mm512_cmp_pd_mask(a.lo, b.lo, _CMP_LT_OQ), _mm512_cmp_pd_mask(a.hi, b.hi, _CMP_LT_OQ)};
  }
  static M gt(V a, V b) {
    return {_mm512_cmp_pd_mask(a.lo, b.lo, _CMP_GT_OQ), _mm512_cmp_pd_mask(a.hi, b.hi, _CMP_GT_OQ)};
  }
  static M eq(V a, V b) {
    return {_mm512_cmp_pd_mask(a.lo, b.lo, _CMP_EQ_OQ), _mm512_cmp_pd_mask(a.hi, b.hi, _CMP_EQ_OQ)};
  }
  static M both(M a, M b) { return {static_cast<__mmask8>(a.lo & b.lo), static_cast<__mmask8>(a.hi & b.hi)}; }
  static V select(M m, V t, V f) { return {_mm512_mask_blend_pd(m.lo, f.lo, t.lo), _mm512_mask_blend_pd(m.hi, f.hi, t.hi)}; }
  static void store_mask(std::uint8_t* p, M m) {
    const unsigned bits = static_cast<unsigned>(m.lo) | (static_cast<unsigned>(m.hi) << 8);
    for (int i = 0; i < 16; ++i) p[i] = static_cast<std::uint8_t>((bits >> i) & 1u);
  }
};
#include "core/flip/tensor_eigen_lanes.inc"
DIRSIEVE_TARGET_END
}  // namespace avx512
#endif

TensorBatchIn advanced(const TensorBatchIn& in, std::size_t done) {
  return {in.coef + done, in.stride, in.n - done};
}

TensorBatchOut advanced(const TensorBatchOut& out, std::size_t done) {
  return {out.v1x + done, out.v1y + done, out.v1z + done, out.fa + done, out.valid + done};
}

void run_scalar(const TensorBatchIn& in, const TensorBatchOut& out) { scalar::decompose_run<scalar::Lanes>(in, out); }

}  // namespace

void decompose_tensors(KernelPath path, const TensorBatchIn& in, const TensorBatchOut& out) {
  std::size_t done = 0;
#if defined(DIRSIEVE_EIGEN_X86)
  if (path == KernelPath::kAvx512 && kernel_path_available(KernelPath::kAvx512)) {
    done = avx512::decompose_run<avx512::Lanes>(in, out);
  }
  if ((path == KernelPath::kAvx512 || path == KernelPath::kAvx2) && kernel_path_available(KernelPath::kAvx2)) {
    done += avx2::decompose_run<avx2::Lanes>(advanced(in, done), advanced(out, done));
  }
#endif
  run_scalar(advanced(in, done), advanced(out, done));
}

void decompose_tensors(const TensorBatchIn& in, const TensorBatchOut& out) {
  static const KernelPath path = widest_kernel_path();
  decompose_tensors(path, in, out);
}

}  // namespace dirsieve
