#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/scheme/notes.hpp"

namespace dirsieve {
namespace {

using Notes = std::vector<std::string>;

AngularShell shell_with(double b, std::uint64_t count, std::optional<double> condition) {
  AngularShell shell;
  shell.nominal_b = b;
  shell.count = count;
  shell.condition_number = condition;
  return shell;
}

Report report_with_shells(std::vector<AngularShell> shells, Status status = Status::Pass) {
  Report report;
  report.status = status;
  AngularSummary angular;
  angular.shells = std::move(shells);
  report.angular = std::move(angular);
  return report;
}

NormStats amplitude_stats() {
  NormStats stats;
  stats.non_b0_count = 8;
  stats.non_unit_count = 5;
  stats.non_unit_fraction = 0.625;
  stats.norm_min = 0.5625;  // exact binary ties: rounded to even
  stats.norm_max = 2.0625;
  stats.norm_mean = 1.5;
  stats.tolerance = 0.05;
  return stats;
}

const char* const kAmplitudeNote =
    "62% of non-b0 directions are not unit-length (norm 0.562\u20132.062, mean 1.500; tol 5%) \u2014 likely "
    "amplitude-encoded bvecs: the b-values cannot be trusted and dirsieve will not auto-correct them; recover "
    "explicitly with `dirsieve recompute-bval`.";

const char* const kStrictNote = "strict: severe scheme-quality issue(s) promoted status PASS \u2192 WARN";

TEST(SchemeNotes, FewDirectionsAndElevatedConditionAreNotSevere) {
  Report report = report_with_shells({shell_with(1000.0, 20, 12.3)});
  ASSERT_TRUE(add_scheme_notes(report, true).ok());
  EXPECT_EQ(report.notes, (Notes{"shell b=1000: 20 directions, below the recommended 30 for a robust DTI fit",
                                 "shell b=1000: DTI design-matrix condition number 12.3 is elevated"}));
  EXPECT_EQ(report.status, Status::Pass);
}

TEST(SchemeNotes, ConditionNumberThresholdsAreInclusive) {
  Report report = report_with_shells({shell_with(1000.0, 30, 50.0), shell_with(2000.0, 30, 10.0),
                                      shell_with(3000.0, 30, 9.999), shell_with(4000.0, 60, 12.25)});
  ASSERT_TRUE(add_scheme_notes(report, false).ok());
  EXPECT_EQ(report.notes,
            (Notes{"shell b=1000: DTI design-matrix condition number 50.0 is very high (ill-conditioned scheme)",
                   "shell b=2000: DTI design-matrix condition number 10.0 is elevated",
                   // 12.25 is exact in binary: the tie goes to the even digit.
                   "shell b=4000: DTI design-matrix condition number 12.2 is elevated"}));
  EXPECT_EQ(report.status, Status::Pass);  // severe, but not strict
}

TEST(SchemeNotes, SevereFindingsUnderStrict) {
  Report very_high = report_with_shells({shell_with(1000.0, 30, 50.0)});
  ASSERT_TRUE(add_scheme_notes(very_high, true).ok());
  EXPECT_EQ(very_high.notes.back(), kStrictNote);
  EXPECT_EQ(very_high.status, Status::Warn);

  Report deficient = report_with_shells({shell_with(1000.0, 12, std::nullopt)});
  ASSERT_TRUE(add_scheme_notes(deficient, true).ok());
  EXPECT_EQ(deficient.notes,
            (Notes{"shell b=1000: 12 directions, below the recommended 30 for a robust DTI fit",
                   "shell b=1000: DTI design matrix is rank-deficient (degenerate gradient directions)", kStrictNote}));
  EXPECT_EQ(deficient.status, Status::Warn);
}

TEST(SchemeNotes, UnderdeterminedShellAndTheStatusItMeets) {
  const std::string minimum =
      "shell b=1000: 4 directions, below the DTI minimum of 6 \u2014 the tensor fit is underdetermined";
  Report lenient = report_with_shells({shell_with(1000.0, 4, std::nullopt)});
  ASSERT_TRUE(add_scheme_notes(lenient, false).ok());
  EXPECT_EQ(lenient.notes, (Notes{minimum}));
  EXPECT_EQ(lenient.status, Status::Pass);

  Report strict = report_with_shells({shell_with(1000.0, 4, std::nullopt)});
  ASSERT_TRUE(add_scheme_notes(strict, true).ok());
  EXPECT_EQ(strict.notes, (Notes{minimum, kStrictNote}));
  EXPECT_EQ(strict.status, Status::Warn);

  for (Status already : {Status::Warn, Status::Flag}) {
    Report flagged = report_with_shells({shell_with(1000.0, 4, std::nullopt)}, already);
    ASSERT_TRUE(add_scheme_notes(flagged, true).ok());
    EXPECT_EQ(flagged.notes, (Notes{minimum}));
    EXPECT_EQ(flagged.status, already);
  }
}

TEST(SchemeNotes, DuplicateNoteCountsAntipodalPairsAndKeepsShellOrder) {
  AngularShell shell = shell_with(1000.0, 40, 3.0);
  shell.duplicates = {{1, 2, 0.0, true}, {1, 7, 3.0, false}, {4, 9, 1.0, true}};
  Report report = report_with_shells({shell, shell_with(2000.0, 5, std::nullopt)});
  report.angular->duplicate_angle_deg = 5.0;
  report.add_note("earlier stage note");
  ASSERT_TRUE(add_scheme_notes(report, false).ok());
  EXPECT_EQ(report.notes,
            (Notes{"earlier stage note",
                   "shell b=1000: 2 antipodal + 1 near-duplicate direction pair(s) within 5.0\u00b0",
                   "shell b=2000: 5 directions, below the DTI minimum of 6 \u2014 the tensor fit is underdetermined"}));
}

TEST(SchemeNotes, NonIntegerBValuesNote) {
  Report report;
  report.shells = SchemeSummary{};
  ASSERT_TRUE(add_scheme_notes(report, true).ok());
  EXPECT_TRUE(report.notes.empty());

  report.shells->non_integer_bvals = {3, 5, 8};
  ASSERT_TRUE(add_scheme_notes(report, true).ok());
  EXPECT_EQ(report.notes, (Notes{"3 volume(s) have non-integer b-values (ramp sampling or rounding)"}));
  EXPECT_EQ(report.status, Status::Pass);
}

TEST(SchemeNotes, DriftThresholds) {
  auto notes_for = [](double r, bool strict, Status* status = nullptr) {
    Report report;
    report.b0_drift = B0Drift{};
    report.b0_drift->relative_drift = r;
    EXPECT_TRUE(add_scheme_notes(report, strict).ok());
    if (status != nullptr) *status = report.status;
    return report.notes;
  };
  EXPECT_EQ(notes_for(0.05, true), (Notes{"b0 signal drift is 5.0% peak-to-peak"}));
  EXPECT_EQ(notes_for(0.0499, true), Notes{});
  EXPECT_EQ(notes_for(std::numeric_limits<double>::quiet_NaN(), true), Notes{});
  Status status = Status::Pass;
  EXPECT_EQ(notes_for(0.1, true, &status),
            (Notes{"b0 signal drift is large (10.0% peak-to-peak) \u2014 check scanner stability", kStrictNote}));
  EXPECT_EQ(status, Status::Warn);
  EXPECT_EQ(notes_for(0.1, false, &status),
            (Notes{"b0 signal drift is large (10.0% peak-to-peak) \u2014 check scanner stability"}));
  EXPECT_EQ(status, Status::Pass);
}

TEST(SchemeNotes, AmplitudeEncodingWithoutStrictWarnsLast) {
  Report report = report_with_shells({shell_with(1000.0, 4, std::nullopt)});
  report.norm_stats = amplitude_stats();
  ASSERT_TRUE(add_scheme_notes(report, false).ok());
  ASSERT_EQ(report.notes.size(), 2u);
  EXPECT_EQ(report.notes.back(), kAmplitudeNote);
  EXPECT_EQ(report.status, Status::Warn);

  Report flagged;
  flagged.status = Status::Flag;
  flagged.norm_stats = amplitude_stats();
  ASSERT_TRUE(add_scheme_notes(flagged, false).ok());
  EXPECT_EQ(flagged.notes, (Notes{kAmplitudeNote}));
  EXPECT_EQ(flagged.status, Status::Flag);
}

TEST(SchemeNotes, AmplitudeEncodingWithStrictFailsWithTheNote) {
  Report report = report_with_shells({shell_with(1000.0, 4, std::nullopt)});
  report.norm_stats = amplitude_stats();
  const auto result = add_scheme_notes(report, true);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::StrictAmplitude);
  EXPECT_EQ(result.error().text(), kAmplitudeNote);
  EXPECT_EQ(result.error().display(), std::string("amplitude-encoded bvecs (--strict): ") + kAmplitudeNote);
  EXPECT_TRUE(report.notes.empty());

  // Exactly half is not amplitude-encoded.
  Report half;
  half.norm_stats = amplitude_stats();
  half.norm_stats->non_unit_fraction = 0.5;
  EXPECT_TRUE(add_scheme_notes(half, true).ok());
  EXPECT_TRUE(half.notes.empty());
}

TEST(SchemeNotes, AnalyzeSchemeFillsTheSchemeMembers) {
  std::vector<Vec3> dirs = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.7071, 0.7071, 0.0}};
  const double tilt = 8.0 * 3.14159265358979323846 / 180.0;
  dirs.push_back({std::cos(tilt), std::sin(tilt), 0.0});
  std::vector<double> bvals = {0, 1000, 1000, 1000, 1000, 1000};
  AuditOptions options;
  options.duplicate_angle_deg = 10.0;
  Report report = analyze_scheme(GradientTable::make(dirs, bvals).value(), {}, options);
  EXPECT_EQ(report.status, Status::Pass);
  ASSERT_TRUE(report.shells && report.angular && report.norm_stats);
  EXPECT_FALSE(report.b0_drift || report.flip || report.repair);
  EXPECT_EQ(report.shells->shells.size(), 2u);
  EXPECT_EQ(report.angular->duplicate_angle_deg, 10.0);
  ASSERT_EQ(report.angular->shells.size(), 1u);
  ASSERT_EQ(report.angular->shells[0].duplicates.size(), 1u);  // 8 degrees apart, inside 10
  EXPECT_EQ(report.norm_stats->non_b0_count, 5u);
  EXPECT_EQ(report.scheme.bvals(), bvals);

  ASSERT_TRUE(add_scheme_notes(report, true).ok());
  EXPECT_EQ(report.notes,
            (Notes{"shell b=1000: 5 directions, below the DTI minimum of 6 \u2014 the tensor fit is underdetermined",
                   "shell b=1000: 0 antipodal + 1 near-duplicate direction pair(s) within 10.0\u00b0", kStrictNote}));
  EXPECT_EQ(report.status, Status::Warn);
}

}  // namespace
}  // namespace dirsieve
