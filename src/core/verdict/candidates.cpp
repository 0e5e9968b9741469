#include "core/verdict/candidates.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <Eigen/Dense>

#include "core/flip/candidates.hpp"

namespace dirsieve {

namespace {

Eigen::Matrix3d to_eigen(const Mat3& m) {
  Eigen::Matrix3d out;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out(i, j) = m[i][j];
  return out;
}

Mat3 from_eigen(const Eigen::Matrix3d& m) {
  Mat3 out;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[i][j] = m(i, j);
  return out;
}

// The orthonormal matrix nearest `m` (its polar factor): a rotation, or a rotation with a mirror.
Mat3 orthonormal(const Mat3& m) {
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(to_eigen(m), Eigen::ComputeFullU | Eigen::ComputeFullV);
  return from_eigen(svd.matrixU() * svd.matrixV().transpose());
}

std::string scanner_label(const CandidateTransform& w) {
  if (w.is_identity) return "RAS";
  if (w.matrix == Mat3{{{-1.0, 0.0, 0.0}, {0.0, -1.0, 0.0}, {0.0, 0.0, 1.0}}}) return "LPS";
  return "RAS" + w.label;
}

}  // namespace

std::string_view candidate_kind_name(CandidateKind kind) {
  switch (kind) {
    case CandidateKind::Class:
      return "class";
    case CandidateKind::Scanner:
      return "scanner axes";
    case CandidateKind::Image:
      return "image axes";
    case CandidateKind::Turned:
      return "turned";
  }
  return "class";
}

bool same_transform(const Mat3& a, const Mat3& b) {
  bool plus = true, minus = true;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      plus = plus && std::fabs(a[i][j] - b[i][j]) < 1e-6;
      minus = minus && std::fabs(a[i][j] + b[i][j]) < 1e-6;
    }
  return plus || minus;
}

double obliquity_deg(const Mat3& rotation) {
  const Mat3 r = orthonormal(rotation);
  double best = 180.0;
  for (const auto& p : generate_candidates()) {
    const Mat3 q = multiply(transpose(p.matrix), r);
    const double det = to_eigen(q).determinant();
    if (!(det > 0.0)) continue;
    const double cosine = std::clamp(((q[0][0] + q[1][1]) + q[2][2] - 1.0) / 2.0, -1.0, 1.0);
    best = std::min(best, std::acos(cosine) * 180.0 / std::numbers::pi);
  }
  return best;
}

CandidateSet verdict_candidates(const Mat3& frame_map, const Mat3& rotation, double min_obliquity_deg) {
  CandidateSet set;
  const std::vector<CandidateTransform>& all = distinct_classes();
  for (const auto& c : all) set.candidates.push_back({c.label, c.matrix, CandidateKind::Class, c.is_identity});
  set.obliquity_deg = obliquity_deg(rotation);
  if (!(set.obliquity_deg >= min_obliquity_deg)) return set;

  // The corrected direction in voxel axes is frame_map * transform * g; each family fixes what that
  // composite is (table axes to voxel axes), so the fix is frame_map^-1 times it.
  const Eigen::Matrix3d f = to_eigen(frame_map);
  if (!(std::fabs(f.determinant()) > 1e-9)) return set;
  const Mat3 f_inverse = from_eigen(f.inverse());
  const Mat3 r = orthonormal(rotation);
  const Mat3 rt = transpose(r);
  struct Family {
    CandidateKind kind;
    Mat3 left;  // composite = left * W
  };
  const Family families[3] = {{CandidateKind::Scanner, rt}, {CandidateKind::Image, identity3()},
                              {CandidateKind::Turned, r}};
  // Composites already present (the classes' own), so a family that repeats them adds nothing: the image
  // family for a bvec file, the scanner family for a four-column file, both families when R = R^T.
  std::vector<Mat3> seen;
  for (const auto& c : set.candidates) seen.push_back(multiply(frame_map, c.transform));
  for (const Family& family : families) {
    for (const auto& w : all) {
      const Mat3 composite = multiply(family.left, w.matrix);
      bool repeat = false;
      for (const Mat3& s : seen) repeat = repeat || same_transform(s, composite);
      if (repeat) continue;
      seen.push_back(composite);
      std::string label;
      switch (family.kind) {
        case CandidateKind::Scanner:
          label = scanner_label(w);
          break;
        case CandidateKind::Image:
          label = "image" + w.label;
          break;
        default:
          label = "turned" + w.label;
          break;
      }
      set.candidates.push_back({label, multiply(f_inverse, composite), family.kind, false});
    }
  }
  set.frames = set.candidates.size() > all.size();
  return set;
}

std::string candidate_finding(const VerdictCandidate& c) {
  switch (c.kind) {
    case CandidateKind::Class:
      return "the table's axes look wrong";
    case CandidateKind::Scanner:
      if (c.label == "RAS" || c.label == "LPS") return "the table is in scanner axes (" + c.label + ")";
      return "the table is in scanner axes (RAS, then " + c.label.substr(3) + ")";
    case CandidateKind::Image:
      return "the table is in image axes, not scanner axes" +
             (c.label == "image+x+y+z" ? std::string() : " (then " + c.label.substr(5) + ")");
    case CandidateKind::Turned:
      return "the table is turned by the image's rotation the wrong way" +
             (c.label == "turned+x+y+z" ? std::string() : " (then " + c.label.substr(6) + ")");
  }
  return "the table's axes look wrong";
}

}  // namespace dirsieve
