// The 48 signed axis permutations, in their fixed order.
#pragma once

#include <string>
#include <vector>

#include "core/util/matrix.hpp"

namespace dirsieve {

struct CandidateTransform {
  std::string label;
  Mat3 matrix{};
  bool is_identity = false;
};

const std::vector<CandidateTransform>& generate_candidates();

// The 24 classes: the first of each sign pair of the candidates, in candidate order (M and -M describe
// the same fibres).
const std::vector<CandidateTransform>& distinct_classes();

// Equal matrices, or one the entry-wise negation of the other (exact comparison).
bool sign_equivalent(const Mat3& a, const Mat3& b);

}  // namespace dirsieve
