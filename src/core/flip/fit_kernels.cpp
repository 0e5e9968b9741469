#include "core/flip/fit_kernels.hpp"
#include "core/util/target_region.hpp"

// GCC 12 reports the deliberately undefined lanes inside its own AVX-512 intrinsics as "maybe
// uninitialized" (or plainly "uninitialized"); the warning says nothing about this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
// The vector instances of the always-inlined arithmetic template pass GNU vectors by value; GCC notes
// that this ABI changed in version 4.6, which matters only for calls that are never made.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

// Kernels of the tensor fit.
//
// Logarithm. A positive normal double x = 2^k * z with z in [kLow, 2 * kLow), kLow = 0.703125; the
// top four fraction bits of x - kLow (as integers) select one of 16 buckets of z. Per bucket the
// table holds invc, close to 1 / (bucket centre) and rounded to 21 significant bits, and ln(1 / invc)
// split into a head that is a multiple of 2^-43 and a tail. Then
//
//   ln x = k * ln 2 + ln(1 / invc) + log1p(r),   r = z * invc - 1.
//
// Because the inputs are widened float32 values (24 significant bits), z * invc is exact and so is
// the subtraction (Sterbenz), so r carries no rounding error; |r| <= 2^-5. log1p(r) is its Taylor
// series to r^12 (truncation below 2^-10 of a unit in the last place of the result), evaluated in
// Estrin's scheme. k * ln2_hi + head is exact (both are multiples of 2^-43 and |k| <= 150), its sum
// with r is carried as an exact double-double, and the small terms are added last, so the only
// sizeable error is the final rounding plus the rounding inside the series: measured against 80-bit
// logl over every float32 input above the floor, at most 0.538 ULP, with about 1 result in 4,000 not
// the nearest double (the worst cases lie just around 1, where the series is largest relative to the
// result). kLow puts 1.0 exactly at the centre of its bucket, whose invc is 1 and whose head and
// tail are 0: near 1 the result is r + log1p's tail with no cancellation. The result is almost always the correctly rounded logarithm, so it can differ from
// a C library's log in the last bit for some inputs; using this kernel makes the fit independent of
// the C library. Sixteen buckets keep the whole table in six AVX-512 registers.
//
// The arithmetic is written once (log_from_parts) for doubles and GNU vectors of doubles, so the
// scalar, SSE2, AVX2 and AVX-512 paths do the same IEEE operations in the same order and give
// identical bits (the build does not contract multiply-adds); they differ only in how they split x
// and fetch the table entries.

namespace dirsieve {
namespace {

constexpr int kBits = 4;
constexpr int kSize = 1 << kBits;
// Bits of kLow: 1.0 minus 9.5 buckets of 2^48 units.
constexpr std::uint64_t kOff = 0x3ff0000000000000ULL - (9ULL << 48) - (1ULL << 47);
constexpr double kLn2Hi = 0x1.62e42fefa3800p-1;  // multiple of 2^-43
constexpr double kLn2Lo = 0x1.ef35793c76730p-45;  // ln 2 - kLn2Hi
constexpr double kFloor = 1e-6;
// ln(1e-6) rounded to nearest.
constexpr double kLogFloor = -0x1.ba18a998fffap+3;
constexpr double kInf = std::numeric_limits<double>::infinity();

// Per bucket i: invc = 1 / (centre of bucket i) rounded to 21 significant bits, where the centre is
// the double with bits kOff + i * 2^48 + 2^47; head = -ln(invc) rounded to a multiple of 2^-43; tail
// = -ln(invc) - head rounded to double. The logarithms were evaluated once with 60 significant
// decimal digits and are written out here, so the kernel does not depend on any C library's
// logarithm at run time. Bucket 9 holds 1.0 at its centre: invc 1, head and tail 0.
struct alignas(32) Entry {
  double invc;
  double head;
  double tail;
  double unused = 0.0;  // pads an entry to one 32-byte load
};

constexpr Entry kTable[kSize] = {
    {0x1.642c8p+0, -0x1.522ad0738ap-2, -0x1.d7ce0ad74385dp-46},
    {0x1.55555p+0, -0x1.269611134d8p-2, -0x1.9278369621117p-46},
    {0x1.47ae1p+0, -0x1.f991aacb3bp-3, -0x1.a5f6487119f7bp-49},
    {0x1.3b13bp+0, -0x1.a93ecbc8aep-3, 0x1.972435100cc14p-45},
    {0x1.2f685p+0, -0x1.5bf422b544p-3, 0x1.57811d91ef704p-45},
    {0x1.24925p+0, -0x1.117918227ep-3, 0x1.21086a1d2fa96p-45},
    {0x1.1a7b9p+0, -0x1.93358dd594p-4, 0x1.65d48685ac935p-46},
    {0x1.11111p+0, -0x1.08597b59e4p-4, 0x1.9e5dd715ee582p-46},
    {0x1.08421p+0, -0x1.0415c89e74p-5, -0x1.011c05c9c81fep-47},
    {0x1p+0, 0x0p+0, 0x0p+0},
    {0x1.e1e1ep-1, 0x1.f0a32c0118p-5, -0x1.c599e828be3e6p-45},
    {0x1.c71c7p-1, 0x1.e27086e2bp-4, -0x1.9342c2a455591p-45},
    {0x1.af287p-1, 0x1.5ff2f30a79p-3, 0x1.58f21c51d7d85p-45},
    {0x1.9999ap-1, 0x1.c8ff5c79aap-3, -0x1.de53e4d28b97bp-47},
    {0x1.86186p-1, 0x1.1675cebaba8p-2, -0x1.d1fc6322d5399p-46},
    {0x1.745d1p-1, 0x1.4618d021c6p-2, 0x1.e27d15e5e284fp-46},
};

// Taylor coefficients of (log1p(r) - r) / r^2: -1/2, 1/3, ..., -1/12.
constexpr double kC0 = -0.5;
constexpr double kC1 = 1.0 / 3.0;
constexpr double kC2 = -0.25;
constexpr double kC3 = 0.2;
constexpr double kC4 = -1.0 / 6.0;
constexpr double kC5 = 1.0 / 7.0;
constexpr double kC6 = -0.125;
constexpr double kC7 = 1.0 / 9.0;
constexpr double kC8 = -0.1;
constexpr double kC9 = 1.0 / 11.0;
constexpr double kC10 = -1.0 / 12.0;

#include "core/flip/log_arithmetic.inc"  // the logarithm for doubles and SSE2 vectors

#if defined(__x86_64__) || defined(__i386__)
// Floats ahead of the current position at which the fused kernels prefetch each row.
constexpr std::size_t kPrefetchAhead = 64;

// A prefetch never faults, so running past a row's end is harmless; the address is formed as an
// integer so that no pointer beyond the row is ever computed.
inline void prefetch_ahead(const float* p) {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + kPrefetchAhead * sizeof(float)),
                     0, 3);
}

// The same templates again for each wider instruction set, compiled for it.
namespace avx2 {
DIRSIEVE_TARGET_BEGIN_AVX2
#include "core/flip/log_arithmetic.inc"
#include "core/flip/fit_group.inc"
DIRSIEVE_TARGET_END
}  // namespace avx2
namespace avx512 {
DIRSIEVE_TARGET_BEGIN_AVX512
#include "core/flip/log_arithmetic.inc"
#include "core/flip/fit_group.inc"
DIRSIEVE_TARGET_END
}  // namespace avx512
#endif

double log_scalar(double x) {
  if (!(x > kFloor)) return kLogFloor;
  if (x == kInf) return kInf;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t tmp = bits - kOff;
  const auto k = static_cast<double>(static_cast<std::int64_t>(tmp) >> 52);
  const std::size_t i = (tmp >> (52 - kBits)) & (kSize - 1);
  const double z = std::bit_cast<double>(bits - (tmp & (std::uint64_t{0xfff} << 52)));
  const Entry& e = kTable[i];
  return log_from_parts(z, k, e.invc, e.head, e.tail);
}

#if defined(__SSE2__)
// Two lanes; x must be finite and greater than the floor in both (the caller substitutes 1.0).
inline __m128d log2_lanes(__m128d x) {
  const __m128i bits = _mm_castpd_si128(x);
  const __m128i tmp = _mm_sub_epi64(bits, _mm_set1_epi64x(static_cast<long long>(kOff)));
  // k = tmp >> 52 (arithmetic) from the high 32-bit halves; |k| is small.
  const __m128i k32 = _mm_srai_epi32(_mm_shuffle_epi32(tmp, _MM_SHUFFLE(3, 1, 3, 1)), 20);
  const __m128d k = _mm_cvtepi32_pd(k32);
  const __m128i iz =
      _mm_sub_epi64(bits, _mm_and_si128(tmp, _mm_set1_epi64x(static_cast<long long>(std::uint64_t{0xfff} << 52))));
  const __m128d z = _mm_castsi128_pd(iz);
  const __m128i idx = _mm_srli_epi64(tmp, 52 - kBits);
  const auto i0 = static_cast<std::size_t>(_mm_cvtsi128_si64(idx)) & (kSize - 1);
  const auto i1 = static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(idx, idx))) & (kSize - 1);
  const Entry& e0 = kTable[i0];
  const Entry& e1 = kTable[i1];
  const __m128d invc = _mm_set_pd(e1.invc, e0.invc);
  const __m128d head = _mm_set_pd(e1.head, e0.head);
  const __m128d tail = _mm_set_pd(e1.tail, e0.tail);
  return log_from_parts(z, k, invc, head, tail);
}

inline __m128d select(__m128d mask, __m128d a, __m128d b) {
  return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}
#endif


#if defined(__x86_64__) || defined(__i386__)
#define DIRSIEVE_FIT_AVX2 1
// Four lanes. k comes from the unsigned top twelve bits of tmp (as a double, exactly) minus 4096 when
// the sign bit is set: the same integer value as the arithmetic shift.
__attribute__((target("avx2"), always_inline)) inline __m256d log4_avx2(const float* in) {
  const __m256d floor = _mm256_set1_pd(kFloor);
  const __m256d inf = _mm256_set1_pd(kInf);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d log_floor = _mm256_set1_pd(kLogFloor);
  const __m256i off = _mm256_set1_epi64x(static_cast<long long>(kOff));
  const __m256i top = _mm256_set1_epi64x(static_cast<long long>(std::uint64_t{0xfff} << 52));
  const __m256i two52_bits = _mm256_set1_epi64x(0x4330000000000000LL);
  const __m256d two52 = _mm256_set1_pd(0x1p52);
  const __m256d half_range = _mm256_set1_pd(2048.0);
  const __m256d range = _mm256_set1_pd(4096.0);
  const __m256i index_mask = _mm256_set1_epi64x(kSize - 1);
  const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(in));
  const __m256d above = _mm256_cmp_pd(x, floor, _CMP_GT_OQ);  // false for NaN
  const __m256d is_inf = _mm256_cmp_pd(x, inf, _CMP_EQ_OQ);
  const __m256d regular = _mm256_andnot_pd(is_inf, above);
  const __m256d xs = _mm256_blendv_pd(one, x, regular);

  const __m256i bits = _mm256_castpd_si256(xs);
  const __m256i tmp = _mm256_sub_epi64(bits, off);
  const __m256i top_bits = _mm256_or_si256(_mm256_srli_epi64(tmp, 52), two52_bits);
  const __m256d u = _mm256_sub_pd(_mm256_castsi256_pd(top_bits), two52);
  const __m256d k = _mm256_sub_pd(u, _mm256_and_pd(_mm256_cmp_pd(u, half_range, _CMP_GE_OQ), range));
  const __m256d z = _mm256_castsi256_pd(_mm256_sub_epi64(bits, _mm256_and_si256(tmp, top)));
  const __m256i idx = _mm256_and_si256(_mm256_srli_epi64(tmp, 52 - kBits), index_mask);
  // One aligned 32-byte load per lane, transposed into invc / head / tail.
  const __m128i idx_lo = _mm256_castsi256_si128(idx);
  const __m128i idx_hi = _mm256_extracti128_si256(idx, 1);
  const __m256d e0 = _mm256_load_pd(&kTable[_mm_cvtsi128_si64(idx_lo)].invc);
  const __m256d e1 = _mm256_load_pd(&kTable[_mm_extract_epi64(idx_lo, 1)].invc);
  const __m256d e2 = _mm256_load_pd(&kTable[_mm_cvtsi128_si64(idx_hi)].invc);
  const __m256d e3 = _mm256_load_pd(&kTable[_mm_extract_epi64(idx_hi, 1)].invc);
  const __m256d even01 = _mm256_unpacklo_pd(e0, e1);  // invc0 invc1 | tail0 tail1
  const __m256d odd01 = _mm256_unpackhi_pd(e0, e1);   // head0 head1 | pad
  const __m256d even23 = _mm256_unpacklo_pd(e2, e3);
  const __m256d odd23 = _mm256_unpackhi_pd(e2, e3);
  const __m256d invc = _mm256_permute2f128_pd(even01, even23, 0x20);
  const __m256d tail = _mm256_permute2f128_pd(even01, even23, 0x31);
  const __m256d head = _mm256_permute2f128_pd(odd01, odd23, 0x20);

  const __m256d y = avx2::log_from_parts(z, k, invc, head, tail);
  return _mm256_blendv_pd(_mm256_blendv_pd(log_floor, inf, is_inf), y, regular);
}

__attribute__((target("avx2"))) void log_signals_avx2(const float* in, std::size_t n, double* out) {
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) _mm256_storeu_pd(out + j, log4_avx2(in + j));
  _mm256_zeroupper();
  for (; j < n; ++j) out[j] = log_scalar(static_cast<double>(in[j]));
}

// The table in AVX-512 registers, eight entries per register.
struct Table512 {
  __m512d invc_lo, invc_hi, head_lo, head_hi, tail_lo, tail_hi;
};

__attribute__((target("avx512f"), always_inline)) inline Table512 load_table512() {
  alignas(64) double column[3][kSize];
  for (int i = 0; i < kSize; ++i) {
    column[0][i] = kTable[i].invc;
    column[1][i] = kTable[i].head;
    column[2][i] = kTable[i].tail;
  }
  return {_mm512_load_pd(column[0]), _mm512_load_pd(column[0] + 8), _mm512_load_pd(column[1]),
          _mm512_load_pd(column[1] + 8), _mm512_load_pd(column[2]), _mm512_load_pd(column[2] + 8)};
}

// Eight lanes. AVX-512 has the arithmetic shift and the exact int64 to double conversion, so k is
// formed directly, and a two-register permute fetches each entry from the table in registers.
__attribute__((target("avx512f,avx512dq"), always_inline)) inline __m512d log8_avx512(const float* in,
                                                                                      const Table512& t) {
  const __m512d floor = _mm512_set1_pd(kFloor);
  const __m512d inf = _mm512_set1_pd(kInf);
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d log_floor = _mm512_set1_pd(kLogFloor);
  const __m512i off = _mm512_set1_epi64(static_cast<long long>(kOff));
  const __m512i top = _mm512_set1_epi64(static_cast<long long>(std::uint64_t{0xfff} << 52));
  const __m512d x = _mm512_cvtps_pd(_mm256_loadu_ps(in));
  const __mmask8 above = _mm512_cmp_pd_mask(x, floor, _CMP_GT_OQ);  // false for NaN
  const __mmask8 is_inf = _mm512_cmp_pd_mask(x, inf, _CMP_EQ_OQ);
  const __mmask8 regular = static_cast<__mmask8>(above & ~is_inf);
  const __m512d xs = _mm512_mask_blend_pd(regular, one, x);

  const __m512i bits = _mm512_castpd_si512(xs);
  const __m512i tmp = _mm512_sub_epi64(bits, off);
  const __m512d k = _mm512_cvtepi64_pd(_mm512_srai_epi64(tmp, 52));
  const __m512d z = _mm512_castsi512_pd(_mm512_sub_epi64(bits, _mm512_and_si512(tmp, top)));
  // The permute reads the low four bits of each lane: the bucket index.
  const __m512i idx = _mm512_srli_epi64(tmp, 52 - kBits);
  const __m512d invc = _mm512_permutex2var_pd(t.invc_lo, idx, t.invc_hi);
  const __m512d head = _mm512_permutex2var_pd(t.head_lo, idx, t.head_hi);
  const __m512d tail = _mm512_permutex2var_pd(t.tail_lo, idx, t.tail_hi);

  const __m512d y = avx512::log_from_parts(z, k, invc, head, tail);
  const __m512d special = _mm512_mask_blend_pd(is_inf, log_floor, inf);
  return _mm512_mask_blend_pd(regular, special, y);
}

__attribute__((target("avx512f,avx512dq"))) void log_signals_avx512(const float* in, std::size_t n, double* out) {
  const Table512 table = load_table512();
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) _mm512_storeu_pd(out + j, log8_avx512(in + j, table));
  _mm256_zeroupper();
  log_signals_avx2(in + j, n - j, out + j);
}
#endif

void log_signals_baseline(const float* in, std::size_t n, double* out) {
  std::size_t j = 0;
#if defined(__SSE2__)
  const __m128d floor = _mm_set1_pd(kFloor);
  const __m128d inf = _mm_set1_pd(kInf);
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d log_floor = _mm_set1_pd(kLogFloor);
  for (; j + 2 <= n; j += 2) {
    const __m128d x = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + j))));
    const __m128d above = _mm_cmpgt_pd(x, floor);  // false for NaN
    const __m128d is_inf = _mm_cmpeq_pd(x, inf);
    const __m128d regular = _mm_andnot_pd(is_inf, above);
    const __m128d y = log2_lanes(select(regular, x, one));
    _mm_storeu_pd(out + j, select(regular, y, select(is_inf, inf, log_floor)));
  }
#endif
  for (; j < n; ++j) out[j] = log_scalar(static_cast<double>(in[j]));
}

// coef[c * stride + j] = sum over design rows k, in row order starting from zero, of
// pt[k * 6 + c] * logs[k * stride + j], for j < n. Every path below does exactly these IEEE operations
// per voxel (separate multiply and add, no fused multiply-add), so they all give the same bits; only
// the number of voxels handled side by side differs.
void accumulate_scalar(const double* pt, std::size_t n_rows, const double* logs, std::size_t stride,
                       std::size_t from, std::size_t n, double* coef) {
  for (std::size_t j = from; j < n; ++j) {
    double acc[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < n_rows; ++k) {
      const double y = logs[k * stride + j];
      for (std::size_t c = 0; c < 6; ++c) acc[c] = acc[c] + pt[k * 6 + c] * y;
    }
    for (std::size_t c = 0; c < 6; ++c) coef[c * stride + j] = acc[c];
  }
}


// The fused form of log_signals followed by accumulate_coefficients: the signal of voxel j in design
// row k is rows[k][j]. Same operations, same order, same bits; the logarithms never leave registers.
void fit_scalar(const float* const* rows, std::size_t n_rows, const double* pt, std::size_t from, std::size_t n,
                double* coef, std::size_t stride) {
  for (std::size_t j = from; j < n; ++j) {
    double acc[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < n_rows; ++k) {
      const double y = log_scalar(static_cast<double>(rows[k][j]));
      for (std::size_t c = 0; c < 6; ++c) acc[c] = acc[c] + pt[k * 6 + c] * y;
    }
    for (std::size_t c = 0; c < 6; ++c) coef[c * stride + j] = acc[c];
  }
}

#if defined(__x86_64__) || defined(__i386__)

struct Log4 {
  __attribute__((target("avx2"), always_inline)) __m256d operator()(const float* in) const { return log4_avx2(in); }
};

struct Log8 {
  Table512 table;
  __attribute__((target("avx512f,avx512dq"), always_inline)) __m512d operator()(const float* in) const {
    return log8_avx512(in, table);
  }
};

__attribute__((target("avx2"))) void fit_avx2(const float* const* rows, std::size_t n_rows, const double* pt,
                                              std::size_t from, std::size_t n, double* coef, std::size_t stride) {
  std::size_t j = from;
  for (; j + 4 <= n; j += 4) avx2::fit_group<__m256d>(rows, n_rows, pt, j, coef, stride, Log4{});
  _mm256_zeroupper();
  fit_scalar(rows, n_rows, pt, j, n, coef, stride);
}

__attribute__((target("avx512f,avx512dq"))) void fit_avx512(const float* const* rows, std::size_t n_rows,
                                                            const double* pt, std::size_t n, double* coef,
                                                            std::size_t stride) {
  const Log8 log{load_table512()};
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) avx512::fit_group<__m512d>(rows, n_rows, pt, j, coef, stride, log);
  _mm256_zeroupper();
  fit_avx2(rows, n_rows, pt, j, n, coef, stride);  // the last few voxels
}
#endif

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void accumulate_avx2(const double* pt, std::size_t n_rows, const double* logs,
                                                     std::size_t stride, std::size_t n, double* coef) {
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    __m256d acc[6];
    for (auto& a : acc) a = _mm256_setzero_pd();
    for (std::size_t k = 0; k < n_rows; ++k) {
      const __m256d y = _mm256_loadu_pd(logs + k * stride + j);
      const double* row = pt + k * 6;
      for (std::size_t c = 0; c < 6; ++c) acc[c] = _mm256_add_pd(acc[c], _mm256_mul_pd(_mm256_set1_pd(row[c]), y));
    }
    for (std::size_t c = 0; c < 6; ++c) _mm256_storeu_pd(coef + c * stride + j, acc[c]);
  }
  _mm256_zeroupper();  // leave no dirty upper halves behind for the SSE code that follows
  accumulate_scalar(pt, n_rows, logs, stride, j, n, coef);
}

#endif

#if defined(__SSE2__)
void accumulate_sse2(const double* pt, std::size_t n_rows, const double* logs, std::size_t stride, std::size_t n,
                     double* coef) {
  std::size_t j = 0;
  for (; j + 2 <= n; j += 2) {
    __m128d acc[6];
    for (auto& a : acc) a = _mm_setzero_pd();
    for (std::size_t k = 0; k < n_rows; ++k) {
      const __m128d y = _mm_loadu_pd(logs + k * stride + j);
      const double* row = pt + k * 6;
      for (std::size_t c = 0; c < 6; ++c) acc[c] = _mm_add_pd(acc[c], _mm_mul_pd(_mm_set1_pd(row[c]), y));
    }
    for (std::size_t c = 0; c < 6; ++c) _mm_storeu_pd(coef + c * stride + j, acc[c]);
  }
  accumulate_scalar(pt, n_rows, logs, stride, j, n, coef);
}
#endif

bool avx512_available() {
#if defined(DIRSIEVE_FIT_AVX2)
  static const bool available = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  return available;
#else
  return false;
#endif
}

bool avx2_available() {
#if defined(DIRSIEVE_FIT_AVX2)
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
#else
  return false;
#endif
}


}  // namespace

bool kernel_path_available(KernelPath path) {
  switch (path) {
    case KernelPath::kPortable:
      return true;
    case KernelPath::kSse2:
#if defined(__SSE2__)
      return true;
#else
      return false;
#endif
    case KernelPath::kAvx2:
      return avx2_available();
    case KernelPath::kAvx512:
      return avx512_available();
  }
  return false;
}

KernelPath widest_kernel_path() {
  if (avx512_available()) return KernelPath::kAvx512;
  if (avx2_available()) return KernelPath::kAvx2;
#if defined(__SSE2__)
  return KernelPath::kSse2;
#else
  return KernelPath::kPortable;
#endif
}

void log_signals(KernelPath path, const float* in, std::size_t n, double* out) {
  switch (path) {
    case KernelPath::kAvx512:
#if defined(DIRSIEVE_FIT_AVX2)
      if (avx512_available()) {
        log_signals_avx512(in, n, out);
        return;
      }
#endif
      [[fallthrough]];
    case KernelPath::kAvx2:
#if defined(DIRSIEVE_FIT_AVX2)
      if (avx2_available()) {
        log_signals_avx2(in, n, out);
        return;
      }
#endif
      [[fallthrough]];
    case KernelPath::kSse2:
      log_signals_baseline(in, n, out);
      return;
    case KernelPath::kPortable:
      for (std::size_t j = 0; j < n; ++j) out[j] = log_scalar(static_cast<double>(in[j]));
      return;
  }
}

void log_signals(const float* in, std::size_t n, double* out) {
  static const KernelPath path = widest_kernel_path();
  log_signals(path, in, n, out);
}

void accumulate_coefficients(KernelPath path, const double* pt, std::size_t n_rows, const double* logs,
                             std::size_t stride, std::size_t n, double* coef) {
  switch (path) {
    case KernelPath::kAvx512:  // the separate product has no wider path: the fit uses the fused kernel
    case KernelPath::kAvx2:
#if defined(DIRSIEVE_FIT_AVX2)
      if (avx2_available()) {
        accumulate_avx2(pt, n_rows, logs, stride, n, coef);
        return;
      }
#endif
      [[fallthrough]];
    case KernelPath::kSse2:
#if defined(__SSE2__)
      accumulate_sse2(pt, n_rows, logs, stride, n, coef);
      return;
#else
      [[fallthrough]];
#endif
    case KernelPath::kPortable:
      accumulate_scalar(pt, n_rows, logs, stride, 0, n, coef);
      return;
  }
}

void fit_coefficients(KernelPath path, const float* const* rows, std::size_t n_rows, const double* pt,
                      std::size_t n, double* coef, std::size_t stride) {
#if defined(DIRSIEVE_FIT_AVX2)
  if (path == KernelPath::kAvx512 && avx512_available()) {
    fit_avx512(rows, n_rows, pt, n, coef, stride);
    return;
  }
  if ((path == KernelPath::kAvx512 || path == KernelPath::kAvx2) && avx2_available()) {
    fit_avx2(rows, n_rows, pt, 0, n, coef, stride);
    return;
  }
#endif
  (void)path;
  fit_scalar(rows, n_rows, pt, 0, n, coef, stride);
}

void fit_coefficients(const float* const* rows, std::size_t n_rows, const double* pt, std::size_t n, double* coef,
                      std::size_t stride) {
  static const KernelPath path = widest_kernel_path();
  fit_coefficients(path, rows, n_rows, pt, n, coef, stride);
}

void accumulate_coefficients(const double* pt, std::size_t n_rows, const double* logs, std::size_t stride,
                             std::size_t n, double* coef) {
  static const KernelPath path = widest_kernel_path();
  accumulate_coefficients(path, pt, n_rows, logs, stride, n, coef);
}

}  // namespace dirsieve
