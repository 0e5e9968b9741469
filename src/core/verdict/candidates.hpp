// What the verdict scores: the 24 classes of signed axis permutations of the table, and, when the image is
// oblique, the same classes composed with the image's rotation: a table written in scanner axes (RAS, or
// DICOM LPS) is on an oblique image not a signed permutation of the right one but a rotation by the obliquity.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/util/matrix.hpp"

namespace dirsieve {

enum class CandidateKind {
  Class,    // a signed axis permutation of the table as given
  Scanner,  // the table is in scanner (world) axes; the fix rotates it into the image's
  Image,    // the table is in image axes where scanner axes were expected (a four-column file)
  Turned,   // the table was turned by the image's rotation the wrong way
};
std::string_view candidate_kind_name(CandidateKind kind);

struct VerdictCandidate {
  std::string label;
  Mat3 transform{};  // corrected direction = transform * g, in the table's own frame
  CandidateKind kind = CandidateKind::Class;
  bool identity = false;
};

struct CandidateSet {
  std::vector<VerdictCandidate> candidates;  // the classes first, identity first among them
  double obliquity_deg = 0.0;                // of the image's rotation from the nearest signed permutation
  bool frames = false;                       // the rotation-composed candidates are included
};

// Images oblique by less than this keep the classes alone: a table in scanner axes is then within this angle
// of a signed permutation of the right one, and a rotation that small moves the coherence by about
// 1 - cos(10 deg) = 1.5%, below the margins a real table wins by.
inline constexpr double kFrameObliquityDeg = 10.0;

// `frame_map` maps the table's axes onto the voxel axes; `rotation` has the image's voxel axes in world
// coordinates as its columns (the affine's, unit length).
CandidateSet verdict_candidates(const Mat3& frame_map, const Mat3& rotation, double min_obliquity_deg = kFrameObliquityDeg);

// The angle between the image's rotation and the nearest signed axis permutation, in degrees.
double obliquity_deg(const Mat3& rotation);

// Equal up to sign, within 1e-6 in every entry.
bool same_transform(const Mat3& a, const Mat3& b);

// What a winning candidate says about the table: "the table is in scanner axes (RAS)".
std::string candidate_finding(const VerdictCandidate& candidate);

}  // namespace dirsieve
