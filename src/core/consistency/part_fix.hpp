// A correction of part of a gradient table: the per-volume transform list, and what it says in words.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/util/json.hpp"
#include "core/util/matrix.hpp"

namespace dirsieve {

// One row's correction: its direction becomes matrix * (the direction of row `source`), its b-value
// b_scale * (its own b-value).
struct VolumeFix {
  std::size_t source = 0;
  Mat3 matrix = identity3();
  double b_scale = 1.0;
};

enum class PartKind {
  ClassRun,     // a run of volumes under a signed axis permutation relative to the rest
  RotationRun,  // a run of volumes turned by a rotation relative to the rest (another slice angulation)
  Shift,        // directions moved by one or two rows within a shell
  BvalueSwap,   // the b-values of two shells exchanged
};
std::string_view part_kind_name(PartKind kind);

struct PartFix {
  PartKind kind = PartKind::ClassRun;
  std::vector<VolumeFix> rows;           // one per table row; identity for the rows it keeps
  std::vector<std::size_t> changed;      // rows whose direction or b-value it changes, ascending
  std::vector<std::size_t> reference;    // diffusion-weighted rows it keeps, ascending
  Mat3 matrix = identity3();             // ClassRun, RotationRun: the transform applied to the changed rows
  std::string label;                     // ClassRun: the class label; RotationRun: "rotation"
  double angle_deg = 0.0;                // RotationRun: the rotation angle
  Vec3 axis{};                           // RotationRun: its unit axis
  int shift = 0;                         // Shift: source row = own position + shift, within the run
  double mean_turn_deg = 0.0;            // mean angle (as axes) by which the changed directions turn
  std::size_t run_begin = 0;             // the run it was found on, in diffusion-weighted positions
  std::size_t run_end = 0;
  std::string description;               // "volumes 7-12: x negated relative to volumes 1-6"
};

// Fills `description` from the kind, the rows and the transform.
void describe_fix(PartFix& fix);

// The same correction seen from the other side: the kept rows under the inverse transform, the changed rows
// kept (class and rotation runs only; other kinds come back unchanged). `dw_rows` lists the diffusion-weighted
// rows; rows the inverse turns by less than `resolution_deg` stay as given.
PartFix other_side(const PartFix& fix, const GradientTable& table, const std::vector<std::size_t>& dw_rows,
                   double resolution_deg);

// A run's rows that its transform turns by less than `resolution_deg` lie between changed rows: they belong
// to the run, so they take its transform too (class and rotation runs). `dw_rows` in file order.
void fill_interior(PartFix& fix, const GradientTable& table, const std::vector<std::size_t>& dw_rows,
                   double resolution_deg);

// The table with `rows` applied (components equal to zero stored as +0.0, as repair writes them).
GradientTable apply_fix(const GradientTable& table, const std::vector<VolumeFix>& rows);

// Fix `second` after `first`: row k becomes second[k] applied to the row `first` made.
std::vector<VolumeFix> compose_fixes(const std::vector<VolumeFix>& first, const std::vector<VolumeFix>& second);

// The per-volume list of a whole-table transform.
std::vector<VolumeFix> uniform_fix(std::size_t rows, const Mat3& matrix);

// Whether a row's correction changes nothing.
bool is_identity_fix(const VolumeFix& fix, std::size_t row);

// "7-12", "3, 5-8, 11" (file indices, counted from 0).
std::string volume_ranges(const std::vector<std::size_t>& volumes);

// What a signed permutation does to a direction: "x negated", "x and y swapped", "turned by -y+x+z".
std::string class_effect(const std::string& label, const Mat3& m);

// Rotation by `angle` (radians) about the unit `axis` (Rodrigues).
Mat3 rotation(const Vec3& axis, double angle);

// The angle between two directions as axes (g and -g are one axis), in degrees; 0 for a zero vector.
double axis_angle_deg(const Vec3& a, const Vec3& b);

JsonValue to_json(const PartFix& fix);
// [{"volume", "source", "matrix", "b_scale"}, ...] for the rows that change.
JsonValue fix_rows_json(const std::vector<VolumeFix>& rows);

}  // namespace dirsieve
