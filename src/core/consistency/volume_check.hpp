// Every volume's own share of the residual, and which volumes do not fit the rest: those whose signal fits
// another direction (a table error) apart from those whose signal fits no direction (dropout, motion).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <Eigen/Dense>

#include "core/consistency/signals.hpp"
#include "core/gradients/table.hpp"
#include "core/util/json.hpp"

namespace dirsieve {

enum class VolumeState {
  Fits,            // its signal agrees with the rest
  OtherDirection,  // its signal fits a direction other than its row far better (a table error)
  NoDirection,     // its signal fits no direction (signal dropout, motion): a note, never a table change
};
std::string_view volume_state_name(VolumeState state);

struct VolumeResidual {
  std::size_t volume = 0;     // file index
  double bval = 0.0;
  double share = 0.0;         // its part of the residual sum over the diffusion-weighted volumes
  // Its leave-one-out prediction error (the volume predicted from a fit of all the others), relative to the
  // median over the diffusion-weighted volumes: about 1 for a volume that agrees with the rest.
  double misfit = 0.0;
  double best_misfit = 0.0;   // the same for the direction that fits its signal best
  double best_angle_deg = 0.0;  // how far that direction is from its row (as axes)
  Vec3 best_direction{};
  VolumeState state = VolumeState::Fits;
};

struct VolumeCheckSettings {
  // A volume whose prediction error is this many times the median is out of line with the rest: far beyond
  // the spread of volumes that agree (their errors differ by the leverage of their directions, a factor
  // below 2 on the schemes we have seen).
  double outlier_factor = 3.0;
  // Another direction explains it when it brings the error within this factor of the median, and lies at
  // least `min_angle_deg` from its row.
  double refit_factor = 1.5;
  double min_angle_deg = 10.0;
};

// From the scatter of the sample's log signals and the table's design over `rows` (b0 rows first).
std::vector<VolumeResidual> check_volumes(const Eigen::MatrixXd& scatter, const GradientTable& table,
                                          const VolumeRows& rows, const VolumeCheckSettings& settings);

JsonValue to_json(const VolumeResidual& volume);

}  // namespace dirsieve
