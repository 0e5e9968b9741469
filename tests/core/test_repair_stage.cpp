#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/repair/repair.hpp"
#include "test_repair_support.hpp"

namespace dirsieve {
namespace {

using nlohmann::ordered_json;
using testing::put;
using testing::ScratchDir;
using testing::slurp;

const Mat3 kMirrorX{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
const Mat3 kSwapXY{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}};
const char* kMirroredBvec = "0.000000 -1.000000 -0.600000\n0.000000 0.000000 0.000000\n0.000000 0.000000 -0.800000\n";
const char* kSwappedBvec = "0.000000 0.000000 0.000000\n0.000000 1.000000 0.600000\n0.000000 0.000000 -0.800000\n";

GradientTable sample_table() {
  return GradientTable::make({Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{0.6, 0, -0.8}}, {0.0, 1000.0, 1000.0}).value();
}

// A report as the audit leaves it: FLAG recommends -x+y+z; WARN's best is +y+x+z with a 1.23% margin.
Report report_with(Status decision) {
  Report report;
  report.status = decision;
  report.inputs = {InputRecord{"in.bvec", std::string(64, 'a'), 42}, InputRecord{"in.bval", std::string(64, 'b'), 9}};
  report.scheme = sample_table();
  FlipResult flip;
  flip.decision = decision;
  flip.relative_margin = 0.0123;
  flip.runner_up = RankedCandidate{"+x+y+z", identity3(), true, 0.5, 400};
  flip.best = decision == Status::Pass ? flip.runner_up : RankedCandidate{"+y+x+z", kSwapXY, false, 0.506, 400};
  if (decision == Status::Flag) {
    flip.best = RankedCandidate{"-x+y+z", kMirrorX, false, 0.6, 400};
    flip.recommended_transform = kMirrorX;
    flip.recommended_label = "-x+y+z";
  }
  report.flip = flip;
  return report;
}

struct Fixture {
  ScratchDir dir;
  std::string bvec = dir.path("out.bvec"), bval = dir.path("out.bval"), grad = dir.path("out.grad"),
              prov = dir.path("prov.json");
  RepairOptions options;
  Fixture() {
    options.out_bvec = bvec;
    options.out_bval = bval;
    options.frame = FrameInfo{};
    options.frame->fsl_voxel_map = kMirrorX;  // FSL input on an affine with det > 0
  }
  Result<void> run(Report& report, double threshold = 0.02) {
    return apply_repair_stage(report, sample_table(), options, threshold);
  }
};

TEST(RepairStage, FlagWritesTheRecommendedTransform) {
  Fixture f;
  Report report = report_with(Status::Flag);
  ASSERT_TRUE(f.run(report).ok());
  EXPECT_EQ(slurp(f.bvec), kMirroredBvec);
  EXPECT_EQ(slurp(f.bval), "0 1000 1000\n");
  EXPECT_EQ(f.dir.entries(), (std::set<std::string>{"out.bvec", "out.bval"}));
  EXPECT_EQ(report.status, Status::Flag);
  EXPECT_TRUE(report.notes.empty());
  ASSERT_TRUE(report.repair.has_value());
  EXPECT_EQ(to_json(*report.repair).to_compact(),
            "{\"matrix\":[[-1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],\"label\":\"-x+y+z\",\"outputs\":[\"" + f.bvec +
                "\",\"" + f.bval + "\"]}");
}

TEST(RepairStage, MrtrixInputIsEmittedInEachFilesConvention) {
  Fixture f;
  f.options.out_grad = f.grad;
  f.options.frame->rotation = Mat3{{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};  // 90 degrees about z
  f.options.frame->input_is_mrtrix = true;
  Report report = report_with(Status::Flag);
  ASSERT_TRUE(f.run(report).ok());
  // Repaired rows (0,0,0), (-1,0,0), (-0.6,0,-0.8): E_fsl = [[0,-1,0],[-1,0,0],[0,0,1]], E_world = I.
  EXPECT_EQ(slurp(f.bvec), kSwappedBvec);
  EXPECT_EQ(slurp(f.grad), "0.000000 0.000000 0.000000 0\n-1.000000 0.000000 0.000000 1000\n"
                           "-0.600000 0.000000 -0.800000 1000\n");
  EXPECT_EQ(report.repair->outputs, (std::vector<std::string>{f.bvec, f.bval, f.grad}));
}

TEST(RepairStage, PassAndUnforcedWarnWriteNothingButTheDivergenceNote) {
  for (Status decision : {Status::Pass, Status::Warn}) {
    Fixture f;
    f.options.out_grad = f.grad;
    f.options.provenance = f.prov;
    f.options.frame->frames_divergent = true;
    Report report = report_with(decision);
    ASSERT_TRUE(f.run(report).ok());
    EXPECT_FALSE(report.repair.has_value());
    ASSERT_EQ(report.notes.size(), 1u);
    EXPECT_EQ(report.notes[0].rfind("FSL and world frames diverge for this image (positive affine determinant", 0), 0u);
    EXPECT_TRUE(f.dir.entries().empty());
  }
}

TEST(RepairStage, ForcedWarnAppliesTheBestCandidate) {
  Fixture f;
  f.options.force_repair = true;
  f.options.provenance = f.prov;
  Report report = report_with(Status::Warn);
  ASSERT_TRUE(f.run(report).ok());
  EXPECT_EQ(report.repair->label, "+y+x+z");
  EXPECT_EQ(slurp(f.bvec), kSwappedBvec);
  EXPECT_EQ(report.notes, std::vector<std::string>{"repair force-applied on a WARN decision (--force-repair); margin "
                                                   "1.23% is below the 2% auto-repair threshold \u2014 verify the "
                                                   "result."});
  EXPECT_EQ(report.status, Status::Warn);
  const auto doc = ordered_json::parse(slurp(f.prov));
  EXPECT_TRUE(doc.contains("flip"));
  EXPECT_FALSE(doc.contains("applied_transform") || doc.contains("applied_label"));
}

TEST(RepairStage, DryRunRecordsThePlanAndTouchesNothing) {
  Fixture f;
  put(f.bvec, "old bvec\n");
  f.options.dry_run = true;
  f.options.provenance = f.prov;
  Report report = report_with(Status::Flag);
  ASSERT_TRUE(f.run(report).ok());
  EXPECT_EQ(report.repair->label, "-x+y+z");
  EXPECT_TRUE(report.repair->outputs.empty());
  EXPECT_EQ(slurp(f.bvec), "old bvec\n");
  EXPECT_EQ(f.dir.entries(), std::set<std::string>{"out.bvec"});
}

TEST(RepairStage, RefusalsLeaveExistingFilesByteIdentical) {
  for (const char* existing : {"out.bvec", "out.bval", "out.grad"}) {
    Fixture f;
    f.options.out_grad = f.grad;
    f.options.provenance = f.prov;
    put(f.dir.path(existing), "keep\n");
    Report report = report_with(Status::Flag);
    auto result = f.run(report);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().display(),
              "refusing to overwrite existing file: " + f.dir.path(existing) + " (pass --force to allow)");
    EXPECT_EQ(slurp(f.dir.path(existing)), "keep\n");
    // Both FSL targets are checked before either is written; the grad target only after the pair.
    const bool grad = std::string(existing) == "out.grad";
    EXPECT_EQ(f.dir.entries().size(), grad ? 3u : 1u) << existing;
  }
}

TEST(RepairStage, ProvenanceReplacesAnyFileAndKeepsItsLayout) {
  Fixture f;
  put(f.prov, "an older document");
  f.options.out_grad = f.grad;
  f.options.provenance = f.prov;
  Report report = report_with(Status::Flag);
  report.add_note("a report note that stays out of the provenance");
  report.shells = SchemeSummary{};
  ASSERT_TRUE(f.run(report).ok());

  const std::string text = slurp(f.prov);
  EXPECT_EQ(text.rfind("{\n  \"schema_version\": 1,\n  \"tool\": \"dirsieve\",\n  \"tool_version\": \"1.1.6\",\n", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 16), "\n  \"notes\": []\n}");
  const auto doc = ordered_json::parse(text);
  std::vector<std::string> keys;
  for (const auto& item : doc.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"schema_version", "tool", "tool_version", "timestamp", "inputs", "shells",
                                            "flip", "applied_transform", "applied_label", "frame", "outputs", "notes"}));
  EXPECT_EQ(doc["inputs"][1]["path"], "in.bval");
  EXPECT_EQ(doc["applied_label"], "-x+y+z");
  EXPECT_EQ(doc["frame"]["emitted_mrtrix"], true);
  EXPECT_EQ(doc["outputs"], (ordered_json{f.bvec, f.bval, f.grad}));
}

TEST(RepairStage, WriteFailuresAreIoErrors) {
  Fixture f;
  f.options.provenance = f.dir.path("missing/prov.json");
  Report report = report_with(Status::Flag);
  auto result = f.run(report);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::Io);
  EXPECT_EQ(slurp(f.bvec), kMirroredBvec);  // no rollback of the gradient files

  // One path for both files: the b-values must not silently replace the directions just written.
  Fixture same;
  same.options.out_bval = same.bvec;
  auto clash = same.run(report);
  ASSERT_FALSE(clash.ok());
  EXPECT_EQ(clash.error().kind(), ErrorKind::Io);
  EXPECT_EQ(slurp(same.bvec), kMirroredBvec);
}

}  // namespace
}  // namespace dirsieve
