#include "core/scheme/notes.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "core/scheme/angular.hpp"
#include "core/scheme/norms.hpp"
#include "core/scheme/shells.hpp"
#include "core/util/number_format.hpp"

namespace dirsieve {

namespace {

struct SchemeNote {
  std::string text;
  bool severe = false;
};

std::string shell_prefix(double nominal_b) { return "shell b=" + format_fixed(nominal_b, 0) + ": "; }

void add_angular_notes(const AngularSummary& angular, std::vector<SchemeNote>& notes) {
  for (const AngularShell& shell : angular.shells) {
    const std::string prefix = shell_prefix(shell.nominal_b);
    const std::string count = std::to_string(shell.count);
    if (shell.count >= 6) {
      if (shell.count < 30) {
        notes.push_back({prefix + count + " directions, below the recommended 30 for a robust DTI fit", false});
      }
      if (!shell.condition_number) {
        notes.push_back({prefix + "DTI design matrix is rank-deficient (degenerate gradient directions)", true});
      } else {
        const double c = *shell.condition_number;
        if (c >= 50.0) {
          notes.push_back({prefix + "DTI design-matrix condition number " + format_fixed(c, 1) +
                               " is very high (ill-conditioned scheme)",
                           true});
        } else if (c >= 10.0) {
          notes.push_back({prefix + "DTI design-matrix condition number " + format_fixed(c, 1) + " is elevated",
                           false});
        }
      }
    } else {
      notes.push_back({prefix + count + " directions, below the DTI minimum of 6 \u2014 the tensor fit is underdetermined",
                       true});
    }
    if (!shell.duplicates.empty()) {
      std::uint64_t antipodal = 0;
      for (const DuplicatePair& pair : shell.duplicates) {
        if (pair.antipodal) ++antipodal;
      }
      const std::uint64_t others = shell.duplicates.size() - antipodal;
      notes.push_back({prefix + std::to_string(antipodal) + " antipodal + " + std::to_string(others) +
                           " near-duplicate direction pair(s) within " +
                           format_fixed(angular.duplicate_angle_deg, 1) + "\u00b0",
                       false});
    }
  }
}

void add_drift_note(const B0Drift& drift, std::vector<SchemeNote>& notes) {
  const double r = drift.relative_drift;
  if (r >= 0.1) {
    notes.push_back({"b0 signal drift is large (" + format_fixed(100.0 * r, 1) +
                         "% peak-to-peak) \u2014 check scanner stability",
                     true});
  } else if (r >= 0.05) {
    notes.push_back({"b0 signal drift is " + format_fixed(100.0 * r, 1) + "% peak-to-peak", false});
  }
}

std::string amplitude_note(const NormStats& stats) {
  return format_fixed(100.0 * stats.non_unit_fraction, 0) + "% of non-b0 directions are not unit-length (norm " +
         format_fixed(stats.norm_min, 3) + "\u2013" + format_fixed(stats.norm_max, 3) + ", mean " +
         format_fixed(stats.norm_mean, 3) + "; tol " + format_fixed(100.0 * stats.tolerance, 0) +
         "%) \u2014 likely amplitude-encoded bvecs: the b-values cannot be trusted and dirsieve will not "
         "auto-correct them; recover explicitly with `dirsieve recompute-bval`.";
}

}  // namespace

Report analyze_scheme(const GradientTable& table, std::vector<InputRecord> inputs, const AuditOptions& options) {
  Report report = new_report(table, std::move(inputs));
  report.shells = summarize_scheme(table, options.b0_threshold, options.tolerance);
  report.angular = analyze_angular(table, options.b0_threshold, options.tolerance, options.duplicate_angle_deg);
  report.norm_stats = compute_norm_stats(table, options.b0_threshold, options.norm_tolerance);
  return report;
}

namespace {

// The scheme notes of a report, in the order they are written.
std::vector<SchemeNote> collect_scheme_notes(const Report& report) {
  std::vector<SchemeNote> notes;
  if (report.angular) add_angular_notes(*report.angular, notes);
  if (report.shells && !report.shells->non_integer_bvals.empty()) {
    notes.push_back({std::to_string(report.shells->non_integer_bvals.size()) +
                         " volume(s) have non-integer b-values (ramp sampling or rounding)",
                     false});
  }
  if (report.b0_drift) add_drift_note(*report.b0_drift, notes);

  return notes;
}

}  // namespace

bool scheme_blocks_pass(const Report& report, bool strict) {
  bool any_severe = false;
  for (const SchemeNote& note : collect_scheme_notes(report)) any_severe = any_severe || note.severe;
  const bool amplitude = report.norm_stats && is_amplitude_encoded(*report.norm_stats);
  return (strict && any_severe) || amplitude;
}

Result<void> add_scheme_notes(Report& report, bool strict) {
  std::vector<SchemeNote> notes = collect_scheme_notes(report);
  bool any_severe = false;
  for (const SchemeNote& note : notes) any_severe = any_severe || note.severe;

  const bool amplitude = report.norm_stats && is_amplitude_encoded(*report.norm_stats);
  std::string amplitude_text;
  if (amplitude) {
    amplitude_text = amplitude_note(*report.norm_stats);
    // Fail before touching the report, so a caller never sees a half-annotated document.
    if (strict) return CoreError::strict_amplitude(std::move(amplitude_text));
  }

  for (SchemeNote& note : notes) report.add_note(std::move(note.text));
  if (strict && any_severe && report.status == Status::Pass) {
    report.add_note("strict: severe scheme-quality issue(s) promoted status PASS \u2192 WARN");
    report.status = Status::Warn;
  }
  if (amplitude) {
    report.add_note(std::move(amplitude_text));
    if (report.status == Status::Pass) report.status = Status::Warn;
  }
  return {};
}

}  // namespace dirsieve
