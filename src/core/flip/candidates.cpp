#include "core/flip/candidates.hpp"

#include <array>

namespace dirsieve {
namespace {

std::vector<CandidateTransform> build_candidates() {
  static constexpr std::array<std::array<int, 3>, 6> kPermutations{
      {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}};
  static constexpr char kAxes[3] = {'x', 'y', 'z'};
  std::vector<CandidateTransform> out;
  out.reserve(48);
  for (const auto& perm : kPermutations) {
    for (int code = 0; code < 8; ++code) {
      CandidateTransform candidate;
      candidate.matrix = Mat3{{{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}}};
      for (int i = 0; i < 3; ++i) {
        const bool negative = (code >> i) & 1;
        candidate.matrix[i][perm[i]] = negative ? -1.0 : 1.0;
        candidate.label += negative ? '-' : '+';
        candidate.label += kAxes[perm[i]];
      }
      candidate.is_identity = candidate.matrix == identity3();
      out.push_back(std::move(candidate));
    }
  }
  return out;
}

}  // namespace

const std::vector<CandidateTransform>& generate_candidates() {
  static const std::vector<CandidateTransform> candidates = build_candidates();
  return candidates;
}

bool sign_equivalent(const Mat3& a, const Mat3& b) {
  bool equal = true;
  bool negated = true;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      if (a[i][j] != b[i][j]) equal = false;
      if (a[i][j] != -b[i][j]) negated = false;
    }
  }
  return equal || negated;
}

const std::vector<CandidateTransform>& distinct_classes() {
  static const std::vector<CandidateTransform> classes = [] {
    std::vector<CandidateTransform> out;
    for (const auto& c : generate_candidates()) {
      bool repeat = false;
      for (const auto& o : out) repeat = repeat || sign_equivalent(o.matrix, c.matrix);
      if (!repeat) out.push_back(c);
    }
    return out;
  }();
  return classes;
}

}  // namespace dirsieve
