#include "core/flip/fit_kernels.hpp"

// GCC 12 reports the deliberately undefined lanes inside its own AVX-512 intrinsics as "maybe
// uninitialized" (or plainly "uninitialized"); the warning says nothing about this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <bit>
#include <cstdint>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

// Kernels of the tensor fit.
//
// Logarithm. A positive normal double x = 2^k * z with z in [kLow, 2 * kLow), kLow = 0.705078125;
// the top seven fraction bits of x - kLow (as integers) select one of 128 buckets of z. Per bucket
// the table holds invc, close to 1 / (bucket centre) and rounded to 21 significant bits, and
// ln(1 / invc) split into a head that is a multiple of 2^-43 and a tail. Then
//
//   ln x = k * ln 2 + ln(1 / invc) + log1p(r),   r = z * invc - 1.
//
// Because the inputs are widened float32 values (24 significant bits), z * invc is exact and so is
// the subtraction (Sterbenz), so r carries no rounding error; |r| < 2^-8 + 2^-20. log1p(r) is its
// Taylor series to r^8 (truncation below 2^-72 absolute), evaluated in Estrin's scheme.
// k * ln2_hi + head is exact (both are multiples of 2^-43 and |k| <= 150), its sum with r is carried
// as an exact double-double, and the small terms are added last, so the only sizeable error is the
// final rounding: at most 0.5 ULP plus a tiny fraction (measured over every float32 input above the
// floor: at most 0.502 ULP). kLow puts 1.0 exactly at the centre of its bucket, whose invc is 1 and
// whose head and tail are 0: near 1 the result is r + log1p's tail with no cancellation. The result
// is almost always the correctly rounded logarithm, so it can differ from a C library's log in the
// last bit for some inputs (glibc's, for instance, on about 1 in 20000 float32 values); using this
// kernel makes the fit independent of the C library.
//
// Every step is a plain IEEE double operation, done in the same order by the AVX2, SSE2 and scalar
// paths, so all give identical bits (the build does not contract multiply-adds).

namespace dirsieve {
namespace {

constexpr int kBits = 7;
constexpr int kSize = 1 << kBits;
// Bits of kLow: 1.0 minus 75.5 buckets of 2^45 units.
constexpr std::uint64_t kOff = 0x3ff0000000000000ULL - (75ULL << 45) - (1ULL << 44);
constexpr double kLn2Hi = 0x1.62e42fefa3800p-1;  // multiple of 2^-43
constexpr double kLn2Lo = 0x1.ef35793c76730p-45;  // ln 2 - kLn2Hi
constexpr double kFloor = 1e-6;
// ln(1e-6) rounded to nearest.
constexpr double kLogFloor = -0x1.ba18a998fffap+3;
constexpr double kInf = std::numeric_limits<double>::infinity();

// Per bucket i: invc = 1 / (centre of bucket i) rounded to 21 significant bits, where the centre is
// the double with bits kOff + i * 2^45 + 2^44; head = -ln(invc) rounded to a multiple of 2^-43; tail
// = -ln(invc) - head rounded to double. The logarithms were evaluated once in 64-bit-mantissa
// precision (error below 2^-70 relative) and are written out here, so the kernel does not depend on
// any C library's logarithm at run time. Bucket 75 holds 1.0 at its centre: invc 1, head and tail 0.
struct alignas(32) Entry {
  double invc;
  double head;
  double tail;
  double unused = 0.0;  // pads an entry to one 32-byte load
};

constexpr Entry kTable[kSize] = {
    {0x1.6a13dp+0, -0x1.630038f3aa8p-2, -0x1.e08dcp-45},
    {0x1.68168p+0, -0x1.5d5bd9f596p-2, 0x1.e0b28p-47},
    {0x1.661ecp+0, -0x1.57bf623c8dp-2, 0x1.ae424p-47},
    {0x1.642c8p+0, -0x1.522ad0738ap-2, -0x1.d7ce2p-46},
    {0x1.623fap+0, -0x1.4c9df461728p-2, -0x1.3eddcp-47},
    {0x1.60581p+0, -0x1.4718caa71cp-2, -0x1.b6864p-46},
    {0x1.5e75cp+0, -0x1.419b4f3d5e8p-2, 0x1.15bc8p-47},
    {0x1.5c988p+0, -0x1.3c251f7333p-2, -0x1.03b56p-46},
    {0x1.5ac05p+0, -0x1.36b663abe1p-2, 0x1.f5332p-46},
    {0x1.58ed2p+0, -0x1.314f151d36p-2, 0x1.df27bp-45},
    {0x1.571edp+0, -0x1.2beefc8dc9p-2, -0x1.2b3fap-45},
    {0x1.55555p+0, -0x1.269611134d8p-2, -0x1.92784p-46},
    {0x1.53909p+0, -0x1.21444910eb8p-2, 0x1.4bc2p-47},
    {0x1.51d08p+0, -0x1.1bf99a35a68p-2, -0x1.ba6edp-45},
    {0x1.5015p+0, -0x1.16b5c8bacf8p-2, -0x1.a9acep-45},
    {0x1.4e5e1p+0, -0x1.1178f9227ep-2, -0x1.1cef2p-45},
    {0x1.4cab9p+0, -0x1.0c42edb616p-2, 0x1.560e8p-46},
    {0x1.4afd7p+0, -0x1.07139884d58p-2, 0x1.25064p-45},
    {0x1.4953ap+0, -0x1.01eaeae26c8p-2, 0x1.ab88cp-46},
    {0x1.47ae1p+0, -0x1.f991aacb3bp-3, -0x1.a5f68p-49},
    {0x1.460ccp+0, -0x1.ef5af44ddp-3, 0x1.fe21p-47},
    {0x1.446f8p+0, -0x1.e530c7fe71p-3, 0x1.8b7b78p-45},
    {0x1.42d66p+0, -0x1.db13cc0d49p-3, 0x1.e832bp-45},
    {0x1.41414p+0, -0x1.d103772656p-3, 0x1.c4a7ep-47},
    {0x1.3fb01p+0, -0x1.c6ffa2ef01p-3, 0x1.8cd1dp-46},
    {0x1.3e22dp+0, -0x1.bd088e83bdp-3, -0x1.7503cp-45},
    {0x1.3c996p+0, -0x1.b31daa75bdp-3, 0x1.c7163p-45},
    {0x1.3b13bp+0, -0x1.a93ecbc8aep-3, 0x1.97243p-45},
    {0x1.3991cp+0, -0x1.9f6c2e7089p-3, -0x1.4804d8p-45},
    {0x1.38138p+0, -0x1.95a5a5cf7p-3, -0x1.3f228p-47},
    {0x1.3698ep+0, -0x1.8beb03b39p-3, 0x1.8cd54p-47},
    {0x1.3521dp+0, -0x1.823c18551ap-3, -0x1.deddcp-46},
    {0x1.33ae4p+0, -0x1.7898b25444p-3, -0x1.b3cf78p-45},
    {0x1.323e3p+0, -0x1.6f0109b756p-3, -0x1.bea72p-45},
    {0x1.30d19p+0, -0x1.6574eb68c1p-3, -0x1.9cd8bp-46},
    {0x1.2f685p+0, -0x1.5bf422b544p-3, 0x1.578118p-45},
    {0x1.2e026p+0, -0x1.527e794a1bp-3, -0x1.59fd2p-46},
    {0x1.2c9fbp+0, -0x1.4913b7333bp-3, -0x1.1fde4p-47},
    {0x1.2b405p+0, -0x1.3fb47dd992p-3, -0x1.efa5p-46},
    {0x1.29e41p+0, -0x1.365fb90159p-3, 0x1.2dd06p-47},
    {0x1.288bp+0, -0x1.2d1608c868p-3, -0x1.f3adcp-48},
    {0x1.27351p+0, -0x1.23d731a49cp-3, 0x1.bf5b8p-47},
    {0x1.25e22p+0, -0x1.1aa286e23fp-3, 0x1.1b8e4p-46},
    {0x1.24925p+0, -0x1.117918227ep-3, 0x1.210868p-45},
    {0x1.23456p+0, -0x1.08595659e3p-3, 0x1.e4efp-48},
    {0x1.21fb8p+0, -0x1.fe89839dbcp-4, 0x1.8d355p-47},
    {0x1.20b47p+0, -0x1.ec738d30a2p-4, 0x1.e39688p-45},
    {0x1.1f704p+0, -0x1.da72063842p-4, -0x1.c449f4p-45},
    {0x1.1e2efp+0, -0x1.c8854b1bc4p-4, -0x1.69ba38p-46},
    {0x1.1cf07p+0, -0x1.b6acd2dad6p-4, 0x1.f2c3fcp-45},
    {0x1.1bb4ap+0, -0x1.a4e72a0b1cp-4, 0x1.4b4adcp-45},
    {0x1.1a7b9p+0, -0x1.93358dd594p-4, 0x1.65d488p-46},
    {0x1.19454p+0, -0x1.819856f40cp-4, -0x1.350384p-45},
    {0x1.18118p+0, -0x1.700d20aeacp-4, -0x1.83d2p-50},
    {0x1.16e07p+0, -0x1.5e9611d978p-4, 0x1.5a40a8p-46},
    {0x1.15b1ep+0, -0x1.4d30bdd206p-4, -0x1.f18bbp-45},
    {0x1.1485fp+0, -0x1.3bdf4d7d1ep-4, -0x1.c1f5ecp-45},
    {0x1.135c8p+0, -0x1.2aa03a4472p-4, 0x1.1b6e8cp-45},
    {0x1.12359p+0, -0x1.1973d41466p-4, 0x1.7435d4p-45},
    {0x1.11111p+0, -0x1.08597b59e4p-4, 0x1.9e5dd8p-46},
    {0x1.0fefp+0, -0x1.eea2fc006cp-5, 0x1.1089fp-46},
    {0x1.0ecf5p+0, -0x1.ccb670ddd8p-5, -0x1.44f0c8p-46},
    {0x1.0db21p+0, -0x1.aaefd30fbp-5, 0x1.3d9cacp-46},
    {0x1.0c971p+0, -0x1.894a0949f8p-5, -0x1.cb334ep-45},
    {0x1.0b7e7p+0, -0x1.67c9752d4cp-5, 0x1.842fcp-47},
    {0x1.0a681p+0, -0x1.466ad942ep-5, 0x1.c7a738p-45},
    {0x1.0953fp+0, -0x1.252ec4f8dp-5, -0x1.8db358p-46},
    {0x1.08421p+0, -0x1.0415c89e74p-5, -0x1.011c08p-47},
    {0x1.07326p+0, -0x1.c63d06c148p-6, -0x1.514c64p-45},
    {0x1.0624ep+0, -0x1.8493028c88p-6, -0x1.dcf45ep-45},
    {0x1.05198p+0, -0x1.432ab2598p-6, -0x1.881398p-47},
    {0x1.04104p+0, -0x1.0205258938p-6, 0x1.4dc5bp-45},
    {0x1.03092p+0, -0x1.8246da388p-7, -0x1.3468868p-45},
    {0x1.02041p+0, -0x1.010547588p-7, 0x1.99ed22p-47},
    {0x1.0101p+0, -0x1.007f55958p-8, -0x1.066afccp-45},
    {0x1p+0, 0x0p+0, 0x0p+0},
    {0x1.fc08p-1, 0x1.fdfaa6b12p-8, 0x1.9e23c68p-46},
    {0x1.f81f8p-1, 0x1.fc0b0b0fcp-7, 0x1.f8f3e8p-49},
    {0x1.f4466p-1, 0x1.7b90e87d6p-6, -0x1.daeab8p-45},
    {0x1.f07c2p-1, 0x1.f82990e78p-6, 0x1.9c0268p-45},
    {0x1.ecc08p-1, 0x1.39e82b9fecp-5, 0x1.cfd48p-48},
    {0x1.e9132p-1, 0x1.774537633p-5, -0x1.b73b9ep-45},
    {0x1.e573ap-1, 0x1.b42eab1198p-5, 0x1.da2c36p-45},
    {0x1.e1e1ep-1, 0x1.f0a32c0118p-5, -0x1.c599e8p-45},
    {0x1.de5d6p-1, 0x1.1653e8ea3ap-4, -0x1.01a2ep-45},
    {0x1.dae6p-1, 0x1.341db961bep-4, -0x1.8bdb5p-46},
    {0x1.d77b6p-1, 0x1.51b0a1f062p-4, -0x1.cf4b6p-47},
    {0x1.d41d4p-1, 0x1.6f0d38ae56p-4, 0x1.79737cp-45},
    {0x1.d0cb6p-1, 0x1.8c341f631ap-4, 0x1.517adp-47},
    {0x1.cd856p-1, 0x1.a9271fa4aep-4, 0x1.56ca8p-49},
    {0x1.ca4b4p-1, 0x1.c5e4bcf5bep-4, 0x1.b162ap-45},
    {0x1.c71c8p-1, 0x1.e26ff6e2b2p-4, -0x1.a342d8p-45},
    {0x1.c3f9p-1, 0x1.fec8831dc2p-4, -0x1.98aad8p-45},
    {0x1.c0e08p-1, 0x1.0d779fcd0ap-3, 0x1.4cb31p-46},
    {0x1.bdd2cp-1, 0x1.1b728b52f7p-3, -0x1.edeb8p-46},
    {0x1.bacfap-1, 0x1.2954eb82p-3, 0x1.ccd2e8p-45},
    {0x1.b7d6cp-1, 0x1.371fd401e9p-3, 0x1.7077cp-48},
    {0x1.b4e82p-1, 0x1.44d2a0ccb8p-3, -0x1.fb304p-48},
    {0x1.b2036p-1, 0x1.526e713a1bp-3, 0x1.6828b8p-45},
    {0x1.af286p-1, 0x1.5ff33f0a7ap-3, 0x1.3c8cp-51},
    {0x1.ac57p-1, 0x1.6d6106719dp-3, 0x1.2e46bp-46},
    {0x1.a98fp-1, 0x1.7ab860210ep-3, 0x1.048dep-46},
    {0x1.a6d02p-1, 0x1.87f9eb520dp-3, -0x1.059bf8p-45},
    {0x1.a41a4p-1, 0x1.9525b1cf45p-3, 0x1.bd1d9p-45},
    {0x1.a16d4p-1, 0x1.a23bbffe2bp-3, 0x1.59c65p-45},
    {0x1.9ec8ep-1, 0x1.af3cc2e80dp-3, -0x1.f249cp-45},
    {0x1.9c2d2p-1, 0x1.bc283042dap-3, -0x1.d6359p-45},
    {0x1.9999ap-1, 0x1.c8ff5c79aap-3, -0x1.de53ep-47},
    {0x1.970e4p-1, 0x1.d5c264b4fdp-3, 0x1.aaae2p-46},
    {0x1.948bp-1, 0x1.e270c6e2b1p-3, -0x1.068558p-45},
    {0x1.920fcp-1, 0x1.ef0aa2bdc6p-3, 0x1.969478p-45},
    {0x1.8f9c2p-1, 0x1.fb9162d5e4p-3, 0x1.9d46ap-46},
    {0x1.8d302p-1, 0x1.040246cb4dp-2, 0x1.76ad7p-45},
    {0x1.8acbap-1, 0x1.0a3227273ap-2, -0x1.9d507p-45},
    {0x1.886e6p-1, 0x1.1058bd1ae48p-2, 0x1.70cc5p-45},
    {0x1.86186p-1, 0x1.1675cebaba8p-2, -0x1.d1fc6p-46},
    {0x1.83c98p-1, 0x1.1c8976169ap-2, -0x1.1e822p-45},
    {0x1.81818p-1, 0x1.229423bcf78p-2, 0x1.85a24p-46},
    {0x1.7f406p-1, 0x1.2895a0bde88p-2, -0x1.5c214p-46},
    {0x1.7d06p-1, 0x1.2e8e0bae128p-2, -0x1.67b2p-45},
    {0x1.7ad22p-1, 0x1.347ddb2988p-2, -0x1.5354ep-45},
    {0x1.78a4cp-1, 0x1.3a64db56948p-2, 0x1.b1c74p-46},
    {0x1.767dcp-1, 0x1.40432f686bp-2, 0x1.e2debp-45},
    {0x1.745d2p-1, 0x1.4618a421c6p-2, 0x1.a13e8p-45},
    {0x1.72428p-1, 0x1.4be60f5778p-2, -0x1.cb925p-45},
    {0x1.702ep-1, 0x1.51aae872df8p-2, 0x1.1684fp-45},
    {0x1.6e1f8p-1, 0x1.5767577456p-2, -0x1.2eaep-48},
    {0x1.6c16cp-1, 0x1.5d1bdff5808p-2, 0x1.ea50ap-46},
};

// Taylor coefficients of (log1p(r) - r) / r^2: -1/2, 1/3, -1/4, 1/5, -1/6, 1/7, -1/8.
constexpr double kC0 = -0.5;
constexpr double kC1 = 1.0 / 3.0;
constexpr double kC2 = -0.25;
constexpr double kC3 = 0.2;
constexpr double kC4 = -1.0 / 6.0;
constexpr double kC5 = 1.0 / 7.0;
constexpr double kC6 = -0.125;

// log1p(r) - r for |r| < 2^-8, as r^2 * P(r) with P evaluated in Estrin's scheme (short dependency
// chains): P = ((c0 + r c1) + r^2 (c2 + r c3)) + r^4 ((c4 + r c5) + r^2 c6).
inline double tail_series(double r) {
  const double r2 = r * r;
  const double r4 = r2 * r2;
  const double a = kC0 + r * kC1;
  const double b = kC2 + r * kC3;
  const double c = kC4 + r * kC5;
  const double d = c + r2 * kC6;
  const double e = a + r2 * b;
  return r2 * (e + r4 * d);
}

double log_scalar(double x) {
  if (!(x > kFloor)) return kLogFloor;
  if (x == kInf) return kInf;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t tmp = bits - kOff;
  const auto k = static_cast<double>(static_cast<std::int64_t>(tmp) >> 52);
  const std::size_t i = (tmp >> (52 - kBits)) & (kSize - 1);
  const double z = std::bit_cast<double>(bits - (tmp & (std::uint64_t{0xfff} << 52)));
  const Entry& e = kTable[i];
  const double r = z * e.invc - 1.0;
  const double w = k * kLn2Hi + e.head;
  const double hi = w + r;
  const double bb = hi - w;
  const double lo = (w - (hi - bb)) + (r - bb);
  const double small = tail_series(r) + (k * kLn2Lo + e.tail);
  return hi + (lo + small);
}

#if defined(__SSE2__)
inline __m128d tail_series2(__m128d r) {
  const __m128d r2 = _mm_mul_pd(r, r);
  const __m128d r4 = _mm_mul_pd(r2, r2);
  const __m128d a = _mm_add_pd(_mm_set1_pd(kC0), _mm_mul_pd(r, _mm_set1_pd(kC1)));
  const __m128d b = _mm_add_pd(_mm_set1_pd(kC2), _mm_mul_pd(r, _mm_set1_pd(kC3)));
  const __m128d c = _mm_add_pd(_mm_set1_pd(kC4), _mm_mul_pd(r, _mm_set1_pd(kC5)));
  const __m128d d = _mm_add_pd(c, _mm_mul_pd(r2, _mm_set1_pd(kC6)));
  const __m128d e = _mm_add_pd(a, _mm_mul_pd(r2, b));
  return _mm_mul_pd(r2, _mm_add_pd(e, _mm_mul_pd(r4, d)));
}

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
  const __m128d r = _mm_sub_pd(_mm_mul_pd(z, invc), _mm_set1_pd(1.0));
  const __m128d w = _mm_add_pd(_mm_mul_pd(k, _mm_set1_pd(kLn2Hi)), head);
  const __m128d hi = _mm_add_pd(w, r);
  const __m128d bb = _mm_sub_pd(hi, w);
  const __m128d lo = _mm_add_pd(_mm_sub_pd(w, _mm_sub_pd(hi, bb)), _mm_sub_pd(r, bb));
  const __m128d small = _mm_add_pd(tail_series2(r), _mm_add_pd(_mm_mul_pd(k, _mm_set1_pd(kLn2Lo)), tail));
  return _mm_add_pd(hi, _mm_add_pd(lo, small));
}

inline __m128d select(__m128d mask, __m128d a, __m128d b) {
  return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}
#endif


#if defined(__x86_64__) || defined(__i386__)
#define DIRSIEVE_FIT_AVX2 1
// Four lanes, the same operations as log2_lanes / log_scalar. k comes from the unsigned top twelve bits
// of tmp (as a double, exactly) minus 4096 when the sign bit is set: the same integer value.
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

  const __m256d r = _mm256_sub_pd(_mm256_mul_pd(z, invc), one);
  const __m256d r2 = _mm256_mul_pd(r, r);
  const __m256d r4 = _mm256_mul_pd(r2, r2);
  const __m256d pa = _mm256_add_pd(_mm256_set1_pd(kC0), _mm256_mul_pd(r, _mm256_set1_pd(kC1)));
  const __m256d pb = _mm256_add_pd(_mm256_set1_pd(kC2), _mm256_mul_pd(r, _mm256_set1_pd(kC3)));
  const __m256d pc = _mm256_add_pd(_mm256_set1_pd(kC4), _mm256_mul_pd(r, _mm256_set1_pd(kC5)));
  const __m256d pd = _mm256_add_pd(pc, _mm256_mul_pd(r2, _mm256_set1_pd(kC6)));
  const __m256d pe = _mm256_add_pd(pa, _mm256_mul_pd(r2, pb));
  const __m256d p = _mm256_mul_pd(r2, _mm256_add_pd(pe, _mm256_mul_pd(r4, pd)));
  const __m256d w = _mm256_add_pd(_mm256_mul_pd(k, _mm256_set1_pd(kLn2Hi)), head);
  const __m256d hi = _mm256_add_pd(w, r);
  const __m256d bb = _mm256_sub_pd(hi, w);
  const __m256d lo = _mm256_add_pd(_mm256_sub_pd(w, _mm256_sub_pd(hi, bb)), _mm256_sub_pd(r, bb));
  const __m256d small = _mm256_add_pd(p, _mm256_add_pd(_mm256_mul_pd(k, _mm256_set1_pd(kLn2Lo)), tail));
  const __m256d y = _mm256_add_pd(hi, _mm256_add_pd(lo, small));
  return _mm256_blendv_pd(_mm256_blendv_pd(log_floor, inf, is_inf), y, regular);
}

__attribute__((target("avx2"))) void log_signals_avx2(const float* in, std::size_t n, double* out) {
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) _mm256_storeu_pd(out + j, log4_avx2(in + j));
  _mm256_zeroupper();
  for (; j < n; ++j) out[j] = log_scalar(static_cast<double>(in[j]));
}

// Eight lanes, the same operations again. AVX-512 has the arithmetic shift and the exact int64 to
// double conversion, so k is formed directly. The table is read as in the four-lane path: one 32-byte
// load per lane (cheaper than gathers), transposed.
__attribute__((target("avx512f,avx512dq"), always_inline)) inline __m512d log8_avx512(const float* in) {
  const __m512d floor = _mm512_set1_pd(kFloor);
  const __m512d inf = _mm512_set1_pd(kInf);
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d log_floor = _mm512_set1_pd(kLogFloor);
  const __m512i off = _mm512_set1_epi64(static_cast<long long>(kOff));
  const __m512i top = _mm512_set1_epi64(static_cast<long long>(std::uint64_t{0xfff} << 52));
  const __m512i index_mask = _mm512_set1_epi64(kSize - 1);
  const __m512d x = _mm512_cvtps_pd(_mm256_loadu_ps(in));
  const __mmask8 above = _mm512_cmp_pd_mask(x, floor, _CMP_GT_OQ);  // false for NaN
  const __mmask8 is_inf = _mm512_cmp_pd_mask(x, inf, _CMP_EQ_OQ);
  const __mmask8 regular = static_cast<__mmask8>(above & ~is_inf);
  const __m512d xs = _mm512_mask_blend_pd(regular, one, x);

  const __m512i bits = _mm512_castpd_si512(xs);
  const __m512i tmp = _mm512_sub_epi64(bits, off);
  const __m512d k = _mm512_cvtepi64_pd(_mm512_srai_epi64(tmp, 52));
  const __m512d z = _mm512_castsi512_pd(_mm512_sub_epi64(bits, _mm512_and_si512(tmp, top)));
  const __m512i idx = _mm512_and_si512(_mm512_srli_epi64(tmp, 52 - kBits), index_mask);
  alignas(64) std::uint64_t lane[8];
  _mm512_store_si512(lane, idx);
  __m256d invc4[2], head4[2], tail4[2];
  for (int h = 0; h < 2; ++h) {
    const __m256d e0 = _mm256_load_pd(&kTable[lane[4 * h]].invc);
    const __m256d e1 = _mm256_load_pd(&kTable[lane[4 * h + 1]].invc);
    const __m256d e2 = _mm256_load_pd(&kTable[lane[4 * h + 2]].invc);
    const __m256d e3 = _mm256_load_pd(&kTable[lane[4 * h + 3]].invc);
    const __m256d even01 = _mm256_unpacklo_pd(e0, e1);
    const __m256d odd01 = _mm256_unpackhi_pd(e0, e1);
    const __m256d even23 = _mm256_unpacklo_pd(e2, e3);
    const __m256d odd23 = _mm256_unpackhi_pd(e2, e3);
    invc4[h] = _mm256_permute2f128_pd(even01, even23, 0x20);
    tail4[h] = _mm256_permute2f128_pd(even01, even23, 0x31);
    head4[h] = _mm256_permute2f128_pd(odd01, odd23, 0x20);
  }
  const __m512d invc = _mm512_insertf64x4(_mm512_castpd256_pd512(invc4[0]), invc4[1], 1);
  const __m512d head = _mm512_insertf64x4(_mm512_castpd256_pd512(head4[0]), head4[1], 1);
  const __m512d tail = _mm512_insertf64x4(_mm512_castpd256_pd512(tail4[0]), tail4[1], 1);

  const __m512d r = _mm512_sub_pd(_mm512_mul_pd(z, invc), one);
  const __m512d r2 = _mm512_mul_pd(r, r);
  const __m512d r4 = _mm512_mul_pd(r2, r2);
  const __m512d pa = _mm512_add_pd(_mm512_set1_pd(kC0), _mm512_mul_pd(r, _mm512_set1_pd(kC1)));
  const __m512d pb = _mm512_add_pd(_mm512_set1_pd(kC2), _mm512_mul_pd(r, _mm512_set1_pd(kC3)));
  const __m512d pc = _mm512_add_pd(_mm512_set1_pd(kC4), _mm512_mul_pd(r, _mm512_set1_pd(kC5)));
  const __m512d pd = _mm512_add_pd(pc, _mm512_mul_pd(r2, _mm512_set1_pd(kC6)));
  const __m512d pe = _mm512_add_pd(pa, _mm512_mul_pd(r2, pb));
  const __m512d p = _mm512_mul_pd(r2, _mm512_add_pd(pe, _mm512_mul_pd(r4, pd)));
  const __m512d w = _mm512_add_pd(_mm512_mul_pd(k, _mm512_set1_pd(kLn2Hi)), head);
  const __m512d hi = _mm512_add_pd(w, r);
  const __m512d bb = _mm512_sub_pd(hi, w);
  const __m512d lo = _mm512_add_pd(_mm512_sub_pd(w, _mm512_sub_pd(hi, bb)), _mm512_sub_pd(r, bb));
  const __m512d small = _mm512_add_pd(p, _mm512_add_pd(_mm512_mul_pd(k, _mm512_set1_pd(kLn2Lo)), tail));
  const __m512d y = _mm512_add_pd(hi, _mm512_add_pd(lo, small));
  const __m512d special = _mm512_mask_blend_pd(is_inf, log_floor, inf);
  return _mm512_mask_blend_pd(regular, special, y);
}

__attribute__((target("avx512f,avx512dq"))) void log_signals_avx512(const float* in, std::size_t n, double* out) {
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) _mm512_storeu_pd(out + j, log8_avx512(in + j));
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
// Floats ahead of the current position at which the fused kernels prefetch each row (a prefetch never
// faults, so running past a row's end is harmless).
constexpr std::size_t kPrefetchAhead = 64;

__attribute__((target("avx2"))) void fit_avx2(const float* const* rows, std::size_t n_rows, const double* pt,
                                              std::size_t from, std::size_t n, double* coef, std::size_t stride) {
  std::size_t j = from;
  for (; j + 4 <= n; j += 4) {
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0;
    const bool line_start = (j & 15) == 0;
    for (std::size_t k = 0; k < n_rows; ++k) {
      if (line_start) _mm_prefetch(reinterpret_cast<const char*>(rows[k] + j + kPrefetchAhead), _MM_HINT_T0);
      const __m256d y = log4_avx2(rows[k] + j);
      const double* row = pt + k * 6;
      a0 = _mm256_add_pd(a0, _mm256_mul_pd(_mm256_set1_pd(row[0]), y));
      a1 = _mm256_add_pd(a1, _mm256_mul_pd(_mm256_set1_pd(row[1]), y));
      a2 = _mm256_add_pd(a2, _mm256_mul_pd(_mm256_set1_pd(row[2]), y));
      a3 = _mm256_add_pd(a3, _mm256_mul_pd(_mm256_set1_pd(row[3]), y));
      a4 = _mm256_add_pd(a4, _mm256_mul_pd(_mm256_set1_pd(row[4]), y));
      a5 = _mm256_add_pd(a5, _mm256_mul_pd(_mm256_set1_pd(row[5]), y));
    }
    _mm256_storeu_pd(coef + j, a0);
    _mm256_storeu_pd(coef + stride + j, a1);
    _mm256_storeu_pd(coef + 2 * stride + j, a2);
    _mm256_storeu_pd(coef + 3 * stride + j, a3);
    _mm256_storeu_pd(coef + 4 * stride + j, a4);
    _mm256_storeu_pd(coef + 5 * stride + j, a5);
  }
  _mm256_zeroupper();
  fit_scalar(rows, n_rows, pt, j, n, coef, stride);
}

__attribute__((target("avx512f,avx512dq"))) void fit_avx512(const float* const* rows, std::size_t n_rows,
                                                            const double* pt, std::size_t n, double* coef,
                                                            std::size_t stride) {
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    // Six named accumulators stay in registers (an array ends up on the stack).
    __m512d a0 = _mm512_setzero_pd(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0;
    const bool line_start = (j & 15) == 0;
    for (std::size_t k = 0; k < n_rows; ++k) {
      // Dozens of rows are read side by side, more streams than the hardware prefetcher follows:
      // announce the same rows a few cache lines ahead.
      if (line_start) _mm_prefetch(reinterpret_cast<const char*>(rows[k] + j + kPrefetchAhead), _MM_HINT_T0);
      const __m512d y = log8_avx512(rows[k] + j);
      const double* row = pt + k * 6;
      a0 = _mm512_add_pd(a0, _mm512_mul_pd(_mm512_set1_pd(row[0]), y));
      a1 = _mm512_add_pd(a1, _mm512_mul_pd(_mm512_set1_pd(row[1]), y));
      a2 = _mm512_add_pd(a2, _mm512_mul_pd(_mm512_set1_pd(row[2]), y));
      a3 = _mm512_add_pd(a3, _mm512_mul_pd(_mm512_set1_pd(row[3]), y));
      a4 = _mm512_add_pd(a4, _mm512_mul_pd(_mm512_set1_pd(row[4]), y));
      a5 = _mm512_add_pd(a5, _mm512_mul_pd(_mm512_set1_pd(row[5]), y));
    }
    _mm512_storeu_pd(coef + j, a0);
    _mm512_storeu_pd(coef + stride + j, a1);
    _mm512_storeu_pd(coef + 2 * stride + j, a2);
    _mm512_storeu_pd(coef + 3 * stride + j, a3);
    _mm512_storeu_pd(coef + 4 * stride + j, a4);
    _mm512_storeu_pd(coef + 5 * stride + j, a5);
  }
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

__attribute__((target("avx512f"))) void accumulate_avx512(const double* pt, std::size_t n_rows, const double* logs,
                                                         std::size_t stride, std::size_t n, double* coef) {
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    __m512d acc[6];
    for (auto& a : acc) a = _mm512_setzero_pd();
    for (std::size_t k = 0; k < n_rows; ++k) {
      const __m512d y = _mm512_loadu_pd(logs + k * stride + j);
      const double* row = pt + k * 6;
      for (std::size_t c = 0; c < 6; ++c) acc[c] = _mm512_add_pd(acc[c], _mm512_mul_pd(_mm512_set1_pd(row[c]), y));
    }
    for (std::size_t c = 0; c < 6; ++c) _mm512_storeu_pd(coef + c * stride + j, acc[c]);
  }
  _mm256_zeroupper();
  // The remaining voxels, four and then one at a time, with the same operations.
  accumulate_avx2(pt, n_rows, logs + j, stride, n - j, coef + j);
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

KernelPath widest_path() {
  if (avx512_available()) return KernelPath::kAvx512;
  if (avx2_available()) return KernelPath::kAvx2;
#if defined(__SSE2__)
  return KernelPath::kSse2;
#else
  return KernelPath::kPortable;
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
  static const KernelPath path = widest_path();
  log_signals(path, in, n, out);
}

void accumulate_coefficients(KernelPath path, const double* pt, std::size_t n_rows, const double* logs,
                             std::size_t stride, std::size_t n, double* coef) {
  switch (path) {
    case KernelPath::kAvx512:
#if defined(DIRSIEVE_FIT_AVX2)
      if (avx512_available()) {
        accumulate_avx512(pt, n_rows, logs, stride, n, coef);
        return;
      }
#endif
      [[fallthrough]];
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
  static const KernelPath path = widest_path();
  fit_coefficients(path, rows, n_rows, pt, n, coef, stride);
}

void accumulate_coefficients(const double* pt, std::size_t n_rows, const double* logs, std::size_t stride,
                             std::size_t n, double* coef) {
  static const KernelPath path = widest_path();
  accumulate_coefficients(path, pt, n_rows, logs, stride, n, coef);
}

}  // namespace dirsieve
