// Small fixed-size vectors and matrices with the system's summation order: (m0*x + m1*y) + m2*z.
#pragma once

#include <array>

namespace dirsieve {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<std::array<double, 3>, 3>;
using Mat4 = std::array<std::array<double, 4>, 4>;

constexpr Mat3 identity3() { return Mat3{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}}; }

inline Vec3 apply(const Mat3& m, const Vec3& g) {
  Vec3 out;
  for (int i = 0; i < 3; ++i) out[i] = (m[i][0] * g[0] + m[i][1] * g[1]) + m[i][2] * g[2];
  return out;
}

// Ordinary product a*b, every entry summed as (a[i][0]*b[0][j] + a[i][1]*b[1][j]) + a[i][2]*b[2][j].
inline Mat3 multiply(const Mat3& a, const Mat3& b) {
  Mat3 out;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i][j] = (a[i][0] * b[0][j] + a[i][1] * b[1][j]) + a[i][2] * b[2][j];
  return out;
}

inline Mat3 transpose(const Mat3& m) {
  Mat3 out;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i][j] = m[j][i];
  return out;
}

}  // namespace dirsieve
