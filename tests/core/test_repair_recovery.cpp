#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "core/scheme/bval_recovery.hpp"
#include "test_repair_support.hpp"

namespace dirsieve {
namespace {

using nlohmann::ordered_json;
using testing::put;
using testing::ScratchDir;
using testing::slurp;

GradientTable table_of(std::vector<Vec3> directions, std::vector<double> bvals) {
  return GradientTable::make(std::move(directions), std::move(bvals)).value();
}

// Lengths 1, sqrt(0.5) and 0 with b-values 3000, 3000 and 0.
GradientTable amplitude_table() {
  return table_of({Vec3{1, 0, 0}, Vec3{0, std::sqrt(0.5), 0}, Vec3{0, 0, 0}}, {3000.0, 3000.0, 0.0});
}

const std::vector<InputRecord> kInputs{InputRecord{"in.bvec", std::string(64, 'c'), 12}};

struct Fixture {
  ScratchDir dir;
  RecomputeOptions options;
  Fixture() {
    options.out_bvec = dir.path("out.bvec");
    options.out_bval = dir.path("out.bval");
  }
  Result<std::string> run(const GradientTable& table) { return recompute_bval(table, kInputs, options); }
};

TEST(RepairRecovery, BValuesFollowTheSquaredRelativeLength) {
  auto scheme = recompute_bvalues(amplitude_table(), 50.0);
  ASSERT_TRUE(scheme.ok());
  EXPECT_EQ(scheme->bvals, (std::vector<double>{3000.0, 1500.0, 0.0}));
  EXPECT_EQ(scheme->directions[1], (Vec3{0, 1, 0}));
  // A b0 volume gets 0 and a zero direction whatever its vector; (2/5)^2 * 1002 = 160.32.
  auto mixed = recompute_bvalues(table_of({Vec3{2, 0, 0}, Vec3{0, 3, 4}, Vec3{0.3, 0.4, 0}}, {1002, 1002, 50}), 50.0);
  ASSERT_TRUE(mixed.ok());
  EXPECT_EQ(mixed->bvals, (std::vector<double>{160.0, 1002.0, 0.0}));
  EXPECT_EQ(mixed->max_norm, 5.0);
  EXPECT_EQ(mixed->directions[1], (Vec3{0, 0.6, 0.8}));
  EXPECT_EQ(mixed->directions[2], (Vec3{0, 0, 0}));
  // Halves round away from zero: 1002 / 4 = 250.5.
  auto quarter = recompute_bvalues(table_of({Vec3{2, 0, 0}, Vec3{1, 0, 0}}, {1002, 1002}), 50.0);
  ASSERT_TRUE(quarter.ok());
  EXPECT_EQ(quarter->bvals, (std::vector<double>{1002.0, 251.0}));
}

TEST(RepairRecovery, NoUsableVectorIsTheNoShellErrorAndWritesNothing) {
  for (const GradientTable& table : {table_of({Vec3{0, 0, 0}, Vec3{1, 0, 0}}, {1000, 0}), table_of({}, {})}) {
    Fixture f;
    auto summary = f.run(table);
    ASSERT_FALSE(summary.ok());
    EXPECT_EQ(summary.error().display(), "no usable non-b0 shell for flip detection");
    EXPECT_TRUE(f.dir.entries().empty());
  }
}

TEST(RepairRecovery, DryRunSummaryLeavesExistingFiles) {
  Fixture f;
  f.options.dry_run = true;
  f.options.provenance = f.dir.path("prov.json");
  put(f.options.out_bvec, "existing\n");
  auto summary = f.run(amplitude_table());
  ASSERT_TRUE(summary.ok());
  EXPECT_EQ(*summary,
            "{\"b_nominal\":3000.0,\"max_norm\":1.0,\"b_min\":1500.0,\"b_max\":3000.0,"
            "\"before\":[{\"nominal_b\":0.0,\"count\":1},{\"nominal_b\":3000.0,\"count\":2}],"
            "\"after\":[{\"nominal_b\":0.0,\"count\":1},{\"nominal_b\":1500.0,\"count\":1},"
            "{\"nominal_b\":3000.0,\"count\":1}],\"outputs\":[]}");
  EXPECT_EQ(slurp(f.options.out_bvec), "existing\n");
  EXPECT_EQ(f.dir.entries(), std::set<std::string>{"out.bvec"});

  // A unit-vector scheme collapses onto its strongest b-value.
  auto unit = f.run(table_of({Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}}, {1000, 2000, 3000}));
  const auto after = ordered_json::parse(*unit)["after"];
  EXPECT_EQ(after, ordered_json::parse("[{\"nominal_b\":3000.0,\"count\":3}]"));
}

TEST(RepairRecovery, WritesTheRecoveredTableAndProvenance) {
  Fixture f;
  f.options.out_grad = f.dir.path("out.grad");
  f.options.provenance = f.dir.path("prov.json");
  auto summary = f.run(amplitude_table());
  ASSERT_TRUE(summary.ok());
  EXPECT_EQ(slurp(f.options.out_bvec), "1.000000 0.000000 0.000000\n0.000000 1.000000 0.000000\n"
                                       "0.000000 0.000000 0.000000\n");
  EXPECT_EQ(slurp(f.options.out_bval), "3000 1500 0\n");
  EXPECT_EQ(slurp(*f.options.out_grad), "1.000000 0.000000 0.000000 3000\n0.000000 1.000000 0.000000 1500\n"
                                        "0.000000 0.000000 0.000000 0\n");
  const auto outputs = ordered_json::parse(*summary)["outputs"];
  EXPECT_EQ(outputs, (ordered_json{f.options.out_bvec, f.options.out_bval, *f.options.out_grad}));

  const auto prov = ordered_json::parse(slurp(*f.options.provenance));
  std::vector<std::string> keys;
  for (const auto& item : prov.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"schema_version", "tool", "tool_version", "timestamp", "inputs", "outputs",
                                            "notes"}));
  EXPECT_EQ(prov["inputs"][0]["path"], "in.bvec");
  EXPECT_EQ(prov["outputs"], outputs);
  EXPECT_EQ(prov["notes"], (ordered_json{"recompute-bval: recovered b-values from amplitude-encoded bvecs "
                                         "(b_nominal=3000, max |g|=1.0000); directions unit-normalized."}));
}

TEST(RepairRecovery, RefusalsAndBackups) {
  for (const char* existing : {"out.bvec", "out.bval"}) {
    Fixture f;
    put(f.dir.path(existing), "mine\n");
    auto summary = f.run(amplitude_table());
    ASSERT_FALSE(summary.ok());
    EXPECT_EQ(summary.error().kind(), ErrorKind::RefuseOverwrite);
    EXPECT_EQ(slurp(f.dir.path(existing)), "mine\n");
    EXPECT_EQ(f.dir.entries(), std::set<std::string>{existing});  // both checks run before any write
  }
  Fixture grad;
  grad.options.out_grad = grad.dir.path("out.grad");
  grad.options.provenance = grad.dir.path("prov.json");
  put(*grad.options.out_grad, "grad\n");
  ASSERT_FALSE(grad.run(amplitude_table()).ok());
  EXPECT_EQ(grad.dir.entries(), (std::set<std::string>{"out.bvec", "out.bval", "out.grad"}));
  EXPECT_EQ(slurp(*grad.options.out_grad), "grad\n");

  Fixture in_place;
  in_place.options.in_place = true;
  put(in_place.options.out_bval, "input bval\n");
  put(in_place.options.out_bval + ".bak", "earlier\n");
  ASSERT_TRUE(in_place.run(amplitude_table()).ok());
  EXPECT_EQ(slurp(in_place.options.out_bval + ".bak"), "earlier\n");
  EXPECT_EQ(slurp(in_place.options.out_bval + ".bak.1"), "input bval\n");
  EXPECT_EQ(slurp(in_place.options.out_bval), "3000 1500 0\n");
}

}  // namespace
}  // namespace dirsieve
