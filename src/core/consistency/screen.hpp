// The residual screen: every hypothesis of part of the table being wrong, scored by the residual sum of the
// log-linear tensor fit over a voxel sample, from the n x n scatter of that sample's log signals alone.
#pragma once

#include <cstddef>
#include <vector>

#include <Eigen/Dense>

#include "core/consistency/part_fix.hpp"
#include "core/consistency/signals.hpp"
#include "core/gradients/table.hpp"

namespace dirsieve {

struct ScreenSettings {
  std::size_t min_part = 2;        // changed rows on the smaller side
  std::size_t min_rotation_part = 6;  // rows a rotation is fitted to (three parameters)
  double min_turn_deg = 10.0;      // mean turn of the changed directions
  std::size_t min_reference = 6;   // diffusion-weighted rows the kept side holds at least
  // A row that a part's transform turns by less than this is below what the data resolve: it is kept as given
  // (and counts as unchanged).
  double resolution_deg = 10.0;
  double changed_deg = 1.0;        // rows moved within a shell: a direction moved by less is the same
  std::size_t keep = 48;           // best eligible hypotheses returned
  std::size_t max_boundaries = 96; // run boundaries anywhere up to this many diffusion-weighted rows
  double tolerance = 0.05;         // shell clustering
  double b0_threshold = 50.0;
};

struct ScreenedHypothesis {
  PartFix fix;
  double rss = 0.0;     // residual sum over the sample with the fix applied
  double effect = 0.0;  // (rss of the table as given - rss) / rss of the table as given
};

struct ScreenResult {
  double rss_given = 0.0;
  std::size_t hypotheses = 0;  // scored
  std::vector<ScreenedHypothesis> best;  // eligible, best first, distinct tables
};

// The scatter sum over voxels of y y^T (rows of `signals`), over every `stride`-th voxel from `first`.
Eigen::MatrixXd signal_scatter(const SampleSignals& signals, std::size_t stride = 1, std::size_t first = 0);

// The design of a table over the rows of `rows` (b0 rows first), b-values divided by `b_unit`.
std::vector<DesignRow> table_design(const GradientTable& table, const VolumeRows& rows, double b_unit);

// tr((I - H) S) for the hat matrix H of `design`: the residual sum of the sample behind S.
double residual_sum(const Eigen::MatrixXd& scatter, const std::vector<DesignRow>& design);

// Scores every hypothesis on `scatter` (runs under each of the 23 other classes and under rotations about the
// axes, refined; rows moved within a shell; b-values of two shells exchanged) and keeps the best eligible ones.
// Runs on the current task arena.
ScreenResult screen_hypotheses(const Eigen::MatrixXd& scatter, const GradientTable& table, const VolumeRows& rows,
                               const ScreenSettings& settings);

}  // namespace dirsieve
