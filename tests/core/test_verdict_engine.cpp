// The engine on the synthetic brain: one fit giving the module's report and the verdict, the three ways of
// reading a mask, and the repair chosen by the verdict through the output-safety rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/flip/candidates.hpp"
#include "core/gradients/fsl_format.hpp"
#include "core/pipeline/engine.hpp"
#include "flip_phantom.hpp"
#include "test_repair_support.hpp"

namespace dirsieve {
namespace {

using nlohmann::ordered_json;
using testing::put;
using testing::ScratchDir;
using testing::slurp;

const Mat3 kFlipY{{{1, 0, 0}, {0, -1, 0}, {0, 0, 1}}};

// The default phantom: 32^3 voxels of 2 mm, three ring bundles, 32 directions at b ~ 1000, SNR 30.
const phantom::Phantom& brain() {
  static const phantom::Phantom ph = phantom::make_phantom({});
  return ph;
}

const GradientTable& y_flipped() {
  static const GradientTable t = phantom::transform_table(brain().table, kFlipY);
  return t;
}

std::vector<InputRecord> inputs() {
  return {InputRecord{"sub.bvec", std::string(64, 'a'), 100}, InputRecord{"sub.bval", std::string(64, 'b'), 50}};
}

std::string without_timestamp(Report report) {
  report.timestamp.clear();
  return report_to_json(report);
}

// The engine's outcome for `table`, failing the test on an error.
EngineOutcome engine(const GradientTable& table, const MaskVolume* mask = nullptr, EngineOptions options = {},
                     EngineCommand command = EngineCommand::Audit) {
  auto out = run_engine(command, table, inputs(), brain().dwi, mask, options);
  EXPECT_TRUE(out.ok()) << out.error().display();
  return out.ok() ? std::move(*out) : EngineOutcome{};
}

// The phantom's bundles plus the brain voxels of a slab of eight x-slices (isotropic tissue, low FA), so
// reading it as a brain or as a white-matter mask makes a difference. Mask flags are in the fit's voxel
// order, (x * ny + y) * nz + z, as the mask loader leaves them.
MaskVolume mixed_mask() {
  const phantom::Phantom& ph = brain();
  const std::size_t nx = ph.dwi.nx(), ny = ph.dwi.ny(), nz = ph.dwi.nz();
  MaskVolume m;
  m.flags.assign(nx * ny * nz, 0);
  for (std::size_t x = 0; x < nx; ++x)
    for (std::size_t y = 0; y < ny; ++y)
      for (std::size_t z = 0; z < nz; ++z) {
        const std::size_t v = (x * ny + y) * nz + z;
        // The phantom's brain: an ellipsoid with semi-axes 0.44, 0.42 and 0.40 of the grid.
        const double q[3] = {(x - (nx - 1) / 2.0) / (0.44 * nx), (y - (ny - 1) / 2.0) / (0.42 * ny),
                             (z - (nz - 1) / 2.0) / (0.40 * nz)};
        const bool in_brain = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] <= 1.0;
        m.flags[v] = (ph.fiber[v] != Vec3{0, 0, 0} || (in_brain && x >= 12 && x < 20)) ? 1 : 0;
      }
  return m;
}

TEST(VerdictEngine, FlagsAYFlippedTableAndLeavesTheModuleReportAsItIs) {
  const EngineOutcome out = engine(y_flipped());
  const Verdict& v = out.verdict;
  EXPECT_EQ(v.status, Status::Flag) << v.reason;
  ASSERT_TRUE(v.recommended_transform);
  EXPECT_TRUE(sign_equivalent(*v.recommended_transform, kFlipY)) << *v.recommended_label;
  EXPECT_TRUE(*v.recommended_label == "+x-y+z" || *v.recommended_label == "-x+y-z") << *v.recommended_label;
  EXPECT_EQ(v.source, SampleSource::Automatic);
  EXPECT_GE(v.n_blocks, 20u);
  EXPECT_EQ(v.working_b, 1000.0);
  EXPECT_EQ(v.distinct_axes, 32u);
  ASSERT_EQ(v.distances.size(), 3u);
  EXPECT_NEAR(v.distances[0].distance_mm, 4.0, 1e-12);
  EXPECT_NEAR(v.distances[2].distance_mm, 8.0, 1e-12);
  ASSERT_TRUE(out.report.flip);
  EXPECT_EQ(v.n_wm_voxels, out.report.flip->n_wm_voxels);
  EXPECT_EQ(v.mask_mean_fa, out.report.flip->mask_mean_fa);
  EXPECT_FALSE(out.detection);  // only on request

  // The report is the module's own for the same inputs: audit and detect_flip alike.
  auto audit = run_audit(y_flipped(), inputs(), &brain().dwi, nullptr, AuditOptions{});
  ASSERT_TRUE(audit.ok());
  EXPECT_EQ(without_timestamp(out.report), without_timestamp(*audit));
  const EngineOutcome detect = engine(y_flipped(), nullptr, {}, EngineCommand::DetectFlip);
  auto module_detect = run_detect_flip(y_flipped(), inputs(), brain().dwi, nullptr, AuditOptions{});
  ASSERT_TRUE(module_detect.ok());
  EXPECT_EQ(without_timestamp(detect.report), without_timestamp(*module_detect));
  EXPECT_EQ(detect.verdict.status, Status::Flag);
  EXPECT_EQ(detect.verdict.recommended_label, v.recommended_label);

  // The true table passes.
  const EngineOutcome right = engine(brain().table);
  EXPECT_EQ(right.verdict.status, Status::Pass) << right.verdict.reason;
  EXPECT_TRUE(right.verdict.distances.at(0).identity_class);
}

TEST(VerdictEngine, BrainMaskIsBoundedByFitAndFaWhiteMatterMaskIsTakenAsGiven) {
  const MaskVolume mask = mixed_mask();
  const std::vector<std::uint8_t>& flags = mask.flags;
  std::uint64_t mask_count = 0;
  for (auto f : flags) mask_count += f;

  EngineOptions as_brain;
  as_brain.source = SampleSource::BrainMask;
  as_brain.keep_detection = true;
  const EngineOutcome b = engine(y_flipped(), &mask, as_brain);
  ASSERT_TRUE(b.detection);
  const TensorFit& fit = b.detection->fit;
  std::uint64_t expected = 0;
  for (std::size_t v = 0; v < flags.size(); ++v) {
    const bool in = flags[v] && fit.valid[v] && fit.fa[v] >= 0.2;
    expected += in;
    ASSERT_EQ(b.detection->mask[v] != 0, in) << v;
  }
  EXPECT_LT(expected, mask_count);
  EXPECT_EQ(b.verdict.source, SampleSource::BrainMask);
  EXPECT_EQ(b.verdict.n_wm_voxels, expected);
  EXPECT_EQ(b.verdict.status, Status::Flag) << b.verdict.reason;
  AuditOptions brain_audit;
  brain_audit.flip.mask_is_brain = true;
  auto module_brain = run_audit(y_flipped(), inputs(), &brain().dwi, &mask, brain_audit);
  ASSERT_TRUE(module_brain.ok());
  EXPECT_EQ(without_timestamp(b.report), without_timestamp(*module_brain));

  EngineOptions as_wm;
  as_wm.source = SampleSource::WhiteMatterMask;
  as_wm.keep_detection = true;
  const EngineOutcome w = engine(y_flipped(), &mask, as_wm);
  ASSERT_TRUE(w.detection);
  EXPECT_EQ(w.detection->mask, flags);
  EXPECT_EQ(w.verdict.source, SampleSource::WhiteMatterMask);
  EXPECT_EQ(w.verdict.n_wm_voxels, mask_count);
  auto module_wm = run_audit(y_flipped(), inputs(), &brain().dwi, &mask, AuditOptions{});
  ASSERT_TRUE(module_wm.ok());
  EXPECT_EQ(without_timestamp(w.report), without_timestamp(*module_wm));
}

// Disabled: EngineOptions says a mask is read as a brain mask unless a white-matter mask is asked for, but
// run_engine (src/core/pipeline/engine.cpp) reads it as a brain mask only when `source` is BrainMask, so
// with the default `source` (Automatic) a given mask is used as a white-matter mask and the verdict names
// its sample "automatic". Enable once the default is honoured.
TEST(VerdictEngine, AMaskIsABrainMaskByDefault) {
  const MaskVolume mask = mixed_mask();
  EngineOptions defaults;
  defaults.keep_detection = true;
  EngineOptions as_brain = defaults;
  as_brain.source = SampleSource::BrainMask;
  const EngineOutcome d = engine(y_flipped(), &mask, defaults);
  const EngineOutcome b = engine(y_flipped(), &mask, as_brain);
  ASSERT_TRUE(d.detection && b.detection);
  EXPECT_EQ(d.detection->mask, b.detection->mask);
  EXPECT_EQ(d.verdict.n_wm_voxels, b.verdict.n_wm_voxels);
  EXPECT_EQ(d.verdict.source, SampleSource::BrainMask);
}

TEST(VerdictEngine, BadDistancesAreRefusedBeforeAnyFit) {
  EngineOptions options;
  options.verdict.distances_mm = {4.0, -1.0};
  auto out = run_engine(EngineCommand::Audit, y_flipped(), inputs(), brain().dwi, nullptr, options);
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().kind(), ErrorKind::InvalidInput);
}

// ---------------------------------------------------------------------------------------------------------
// Repair by the verdict

struct RepairFixture {
  ScratchDir dir;
  std::string bvec = dir.path("out.bvec"), bval = dir.path("out.bval"), prov = dir.path("prov.json");
  RepairOptions options;
  RepairFixture() {
    options.out_bvec = bvec;
    options.out_bval = bval;
  }
};

const EngineOutcome& flagged() {
  static const EngineOutcome out = engine(y_flipped());
  return out;
}

const EngineOutcome& passed() {
  static const EngineOutcome out = engine(brain().table);
  return out;
}

// The written directions are `expected`, all rows with the same sign or (unless `exact_sign`) all negated
// (six decimals), and the b-values are unchanged.
void expect_table_up_to_sign(const GradientTable& written, const GradientTable& expected, bool exact_sign = false) {
  ASSERT_EQ(written.size(), expected.size());
  double same = 0.0, opposite = 0.0;
  for (std::size_t i = 0; i < written.size(); ++i) {
    const Vec3& w = written.directions()[i];
    const Vec3& e = expected.directions()[i];
    for (int a = 0; a < 3; ++a) {
      same = std::max(same, std::fabs(w[a] - e[a]));
      opposite = std::max(opposite, std::fabs(w[a] + e[a]));
    }
    EXPECT_EQ(written.bvals()[i], expected.bvals()[i]) << "row " << i;
  }
  EXPECT_LE(exact_sign ? same : std::min(same, opposite), 1e-6);
}

TEST(VerdictRepair, FlagWritesTheCorrectedTableAndNamesTheVerdict) {
  RepairFixture f;
  f.options.provenance = f.prov;
  Report report = flagged().report;
  const Verdict& v = flagged().verdict;
  ASSERT_EQ(v.status, Status::Flag);
  auto written = apply_verdict_repair(report, v, y_flipped(), f.options);
  ASSERT_TRUE(written.ok()) << written.error().display();
  EXPECT_TRUE(written->planned);
  auto table = read_fsl_pair(f.bvec, f.bval);
  ASSERT_TRUE(table.ok());
  expect_table_up_to_sign(*table, brain().table);
  ASSERT_TRUE(report.repair);
  EXPECT_EQ(report.repair->label, *v.recommended_label);
  EXPECT_EQ(report.repair->matrix, *v.recommended_transform);
  EXPECT_EQ(report.repair->outputs, (std::vector<std::string>{f.bvec, f.bval}));

  const auto doc = ordered_json::parse(slurp(f.prov));
  ASSERT_TRUE(doc.contains("verdict"));
  EXPECT_EQ(doc["verdict"]["status"], "FLAG");
  EXPECT_EQ(doc["verdict"]["recommended_label"], *v.recommended_label);
  EXPECT_EQ(doc["verdict"]["distances"].size(), 3u);
  EXPECT_EQ(doc["applied_label"], *v.recommended_label);
  const Mat3& m = *v.recommended_transform;
  EXPECT_EQ(doc["applied_transform"], (ordered_json{{m[0][0], m[0][1], m[0][2]},
                                                    {m[1][0], m[1][1], m[1][2]},
                                                    {m[2][0], m[2][1], m[2][2]}}));
  EXPECT_EQ(doc["outputs"], (ordered_json{f.bvec, f.bval}));
}

TEST(VerdictRepair, InPlaceKeepsNumberedBackupsAndOtherwiseRefuses) {
  RepairFixture f;
  put(f.bvec, "old bvec\n");
  put(f.bval, "old bval\n");
  Report report = flagged().report;
  auto refused = apply_verdict_repair(report, flagged().verdict, y_flipped(), f.options);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::RefuseOverwrite);
  EXPECT_EQ(slurp(f.bvec), "old bvec\n");
  EXPECT_EQ(slurp(f.bval), "old bval\n");
  EXPECT_EQ(f.dir.entries(), (std::set<std::string>{"out.bvec", "out.bval"}));
  EXPECT_FALSE(report.repair);

  // Only the b-values exist: still refused, and the directions are not written either.
  RepairFixture g;
  g.options.provenance = g.prov;
  put(g.bval, "old bval\n");
  Report report_g = flagged().report;
  ASSERT_FALSE(apply_verdict_repair(report_g, flagged().verdict, y_flipped(), g.options).ok());
  EXPECT_EQ(g.dir.entries(), std::set<std::string>{"out.bval"});

  f.options.in_place = true;
  ASSERT_TRUE(apply_verdict_repair(report, flagged().verdict, y_flipped(), f.options).ok());
  EXPECT_EQ(slurp(f.bvec + ".bak"), "old bvec\n");
  EXPECT_EQ(slurp(f.bval + ".bak"), "old bval\n");
  const std::string first = slurp(f.bvec);
  Report again = flagged().report;
  ASSERT_TRUE(apply_verdict_repair(again, flagged().verdict, y_flipped(), f.options).ok());
  EXPECT_EQ(slurp(f.bvec + ".bak"), "old bvec\n");
  EXPECT_EQ(slurp(f.bvec + ".bak.1"), first);
  EXPECT_EQ(slurp(f.bvec), first);
  EXPECT_EQ(f.dir.entries(), (std::set<std::string>{"out.bvec", "out.bval", "out.bvec.bak", "out.bval.bak",
                                                    "out.bvec.bak.1", "out.bval.bak.1"}));
}

TEST(VerdictRepair, PassWritesTheTableUnchanged) {
  RepairFixture f;
  f.options.provenance = f.prov;
  Report report = passed().report;
  ASSERT_EQ(passed().verdict.status, Status::Pass);
  auto written = apply_verdict_repair(report, passed().verdict, brain().table, f.options);
  ASSERT_TRUE(written.ok());
  EXPECT_TRUE(written->planned);
  auto table = read_fsl_pair(f.bvec, f.bval);
  ASSERT_TRUE(table.ok());
  expect_table_up_to_sign(*table, brain().table, /*exact_sign=*/true);
  EXPECT_EQ(slurp(f.bvec), format_fsl_pair_text(brain().table).first);
  EXPECT_EQ(slurp(f.bval), format_fsl_pair_text(brain().table).second);
  const auto doc = ordered_json::parse(slurp(f.prov));
  EXPECT_EQ(doc["verdict"]["status"], "PASS");
  EXPECT_EQ(doc["applied_label"], "+x+y+z");
  EXPECT_EQ(doc["applied_transform"], (ordered_json{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}));
}

TEST(VerdictRepair, WarnWritesNothingUnlessForcedOntoACommonClass) {
  // The flagged rows, judged with an unreachable z threshold: a WARN that still names one class.
  Verdict warn = flagged().verdict;
  warn.settings.z_threshold = 1e9;
  decide_verdict(warn);
  ASSERT_EQ(warn.status, Status::Warn);
  ASSERT_TRUE(warn.common_label);

  RepairFixture f;
  f.options.provenance = f.prov;
  Report report = flagged().report;
  auto nothing = apply_verdict_repair(report, warn, y_flipped(), f.options);
  ASSERT_TRUE(nothing.ok());
  EXPECT_FALSE(nothing->planned);
  EXPECT_TRUE(f.dir.entries().empty());
  EXPECT_FALSE(report.repair);

  f.options.force_repair = true;
  auto forced = apply_verdict_repair(report, warn, y_flipped(), f.options);
  ASSERT_TRUE(forced.ok());
  EXPECT_TRUE(forced->planned);
  auto table = read_fsl_pair(f.bvec, f.bval);
  ASSERT_TRUE(table.ok());
  expect_table_up_to_sign(*table, brain().table);
  EXPECT_EQ(report.repair->label, *warn.common_label);
  ASSERT_FALSE(report.notes.empty());
  EXPECT_EQ(report.notes.back(), "repair force-applied on a WARN verdict (--force-repair): " + warn.reason +
                                     " \u2014 verify the result.");
  const auto doc = ordered_json::parse(slurp(f.prov));
  EXPECT_EQ(doc["verdict"]["status"], "WARN");
  EXPECT_EQ(doc["applied_label"], *warn.common_label);

  // Forcing cannot pick a class when the distances disagreed.
  Verdict split = warn;
  split.distances[1].winner = RankedCandidate{"+y+x+z", Mat3{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}}, false, 0.9, 1};
  decide_verdict(split);
  ASSERT_EQ(split.status, Status::Warn);
  ASSERT_FALSE(split.common_label);
  RepairFixture g;
  g.options.force_repair = true;
  Report report_g = flagged().report;
  auto none = apply_verdict_repair(report_g, split, y_flipped(), g.options);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->planned);
  EXPECT_TRUE(g.dir.entries().empty());
}

TEST(VerdictRepair, DryRunRecordsThePlanAndWritesNothing) {
  RepairFixture f;
  f.options.dry_run = true;
  f.options.provenance = f.prov;
  put(f.bvec, "old bvec\n");
  Report report = flagged().report;
  auto would = apply_verdict_repair(report, flagged().verdict, y_flipped(), f.options);
  ASSERT_TRUE(would.ok());
  EXPECT_TRUE(would->planned);
  ASSERT_TRUE(report.repair);
  EXPECT_EQ(report.repair->label, *flagged().verdict.recommended_label);
  EXPECT_TRUE(report.repair->outputs.empty());
  EXPECT_EQ(slurp(f.bvec), "old bvec\n");
  EXPECT_EQ(f.dir.entries(), std::set<std::string>{"out.bvec"});
}

}  // namespace
}  // namespace dirsieve
