#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/bids/batch.hpp"
#include "core/bids/summary.hpp"
#include "core/gradients/fsl_format.hpp"
#include "core/volumes/volume.hpp"
#include "test_bids_support.hpp"

namespace dirsieve {
namespace {

using testing::read_text;
using testing::TempTree;

BatchOutcome two_runs(Status first, Status second) {
  BatchOutcome outcome;
  outcome.summary_path = "/data/ds/derivatives/dirsieve/dataset_summary.json";
  outcome.results.push_back({"sub-01_dwi", "/data/ds/sub-01/dwi/sub-01_dwi.nii.gz", first});
  outcome.results.push_back({"sub-02_dwi", "/data/ds/sub-02/dwi/sub-02_dwi.nii", second});
  outcome.status = std::max(first, second);
  return outcome;
}

TEST(BidsSummary, CallSummaryIsCompactWithSortedKeys) {
  EXPECT_EQ(batch_call_summary(two_runs(Status::Pass, Status::Warn)),
            R"({"exit_code":3,"results":[{"dwi":"/data/ds/sub-01/dwi/sub-01_dwi.nii.gz","name":"sub-01_dwi",)"
            R"("status":"PASS"},{"dwi":"/data/ds/sub-02/dwi/sub-02_dwi.nii","name":"sub-02_dwi","status":"WARN"}],)"
            R"("status":"WARN","summary_path":"/data/ds/derivatives/dirsieve/dataset_summary.json"})");
}

TEST(BidsSummary, ExitCodeBlocksOnlyOnWarn) {
  const auto exit_code = [](const BatchOutcome& outcome) {
    return nlohmann::json::parse(batch_call_summary(outcome)).at("exit_code").get<int>();
  };
  EXPECT_EQ(exit_code(two_runs(Status::Pass, Status::Pass)), 0);
  EXPECT_EQ(exit_code(two_runs(Status::Warn, Status::Pass)), 3);
  EXPECT_EQ(exit_code(two_runs(Status::Pass, Status::Flag)), 0);
  EXPECT_EQ(exit_code(two_runs(Status::Warn, Status::Flag)), 0);
}

TEST(BidsSummary, DatasetSummaryFileLayout) {
  EXPECT_EQ(dataset_summary_json("/data/ds", two_runs(Status::Pass, Status::Flag)).to_pretty(),
            "{\n"
            "  \"bids_root\": \"/data/ds\",\n"
            "  \"n_datasets\": 2,\n"
            "  \"results\": [\n"
            "    {\n"
            "      \"dwi\": \"/data/ds/sub-01/dwi/sub-01_dwi.nii.gz\",\n"
            "      \"name\": \"sub-01_dwi\",\n"
            "      \"status\": \"PASS\"\n"
            "    },\n"
            "    {\n"
            "      \"dwi\": \"/data/ds/sub-02/dwi/sub-02_dwi.nii\",\n"
            "      \"name\": \"sub-02_dwi\",\n"
            "      \"status\": \"FLAG\"\n"
            "    }\n"
            "  ],\n"
            "  \"status\": \"FLAG\",\n"
            "  \"tool\": \"dirsieve\"\n"
            "}");
}

TEST(BidsSummary, PathTextIsEscapedAndKeptValidUtf8) {
  BatchOutcome outcome;
  outcome.summary_path = "/d\"s/derivatives/dirsieve/dataset_summary.json";
  outcome.results.push_back({"sub-\xC3\xA9_dwi", "/d\"s/x\xFFy/sub-\xC3\xA9_dwi.nii", Status::Pass});
  const std::string text = batch_call_summary(outcome);
  EXPECT_NE(text.find(R"("dwi":"/d\"s/x)" "\xEF\xBF\xBD" R"(y/sub-)" "\xC3\xA9" R"(_dwi.nii")"), std::string::npos)
      << text;
  EXPECT_TRUE(nlohmann::json::accept(text));
}

// ---- batch runs that stop before any audit ----

TEST(BidsBatch, NoRunMessageAndNothingCreated) {
  TempTree tree;
  tree.file("sub-01/dwi/sub-01_dwi.nii.gz");
  tree.file("sub-01/dwi/sub-01_dwi.bvec");
  tree.file("sub-02/dwi/sub-02_dwi.nii.gz");
  tree.file("sub-02/dwi/sub-02_dwi.bvecs");
  const BatchResult result = run_bids_batch(tree.root(), BatchOptions{});
  ASSERT_TRUE(result.failure.has_value());
  EXPECT_FALSE(result.outcome.has_value());
  EXPECT_EQ(result.failure->message,
            "no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under " + tree.root());
  EXPECT_FALSE(std::filesystem::exists(tree.path("derivatives")));

  const std::string missing = tree.path("no such dir");
  EXPECT_EQ(run_bids_batch(missing, BatchOptions{}).failure->message,
            "no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under " + missing);
}

TEST(BidsBatch, OutputFolderFailureGivesPlatformText) {
  TempTree tree;
  tree.file("sub-01_dwi.nii");
  tree.file("sub-01_dwi.bvec");
  tree.file("sub-01_dwi.bval");
  tree.file("derivatives", "a file where the folder belongs");
  const BatchResult result = run_bids_batch(tree.root(), BatchOptions{});
  ASSERT_TRUE(result.failure.has_value());
  EXPECT_EQ(result.failure->message, os_error_text(ENOTDIR));
}

TEST(BidsBatch, DiscoveryFailureIsNotPrefixed) {
  TempTree tree;
  tree.dir("sub-01");
  std::optional<BatchResult> result;
  {
    testing::DescriptorsExhausted exhausted;
    result.emplace(run_bids_batch(tree.root(), BatchOptions{}));
  }
  ASSERT_TRUE(result->failure.has_value());
  EXPECT_EQ(result->failure->message, os_error_text(EMFILE));
  EXPECT_FALSE(std::filesystem::exists(tree.path("derivatives")));
}

TEST(BidsBatch, UnloadableDwiFailsTheBatchWithItsMessage) {
  TempTree tree;
  const std::string dwi = tree.file("sub-01/dwi/sub-01_dwi.nii.gz", "not a gzip stream");
  tree.file("sub-01/dwi/sub-01_dwi.bvec", "1 0 0\n0 1 0\n0 0 1\n");
  tree.file("sub-01/dwi/sub-01_dwi.bval", "0 1000 1000\n");
  const BatchResult result = run_bids_batch(tree.root(), BatchOptions{});
  ASSERT_TRUE(result.failure.has_value());
  auto direct = load_dwi(dwi);
  ASSERT_FALSE(direct.ok());
  EXPECT_EQ(result.failure->message, direct.error().display());
  EXPECT_TRUE(std::filesystem::is_directory(tree.path("derivatives/dirsieve")));
  EXPECT_FALSE(std::filesystem::exists(tree.path("derivatives/dirsieve/dataset_summary.json")));
  EXPECT_FALSE(std::filesystem::exists(tree.path("derivatives/dirsieve/sub-01_dwi_report.json")));
}

// ---- full audits on a small real acquisition ----

// A 15 x 15 x 11 in-vivo crop with 102 volumes on three shells and a correct FSL table.
const std::string kCrop = testing::kSharedData + "/mrtrix3-testdata/msmt_dwi";

bool have_crop() { return std::filesystem::exists(kCrop + ".nii.gz"); }

// A run that links the real DWI and gradient files into the tree.
void link_crop_run(const TempTree& tree, const std::string& stem) {
  tree.link(kCrop + ".nii.gz", stem + ".nii.gz");
  tree.link(kCrop + ".bvec", stem + ".bvec");
  tree.link(kCrop + ".bval", stem + ".bval");
}

BatchOptions default_options() { return BatchOptions{}; }

TEST(BidsBatchAudit, WritesReportsAndSummary) {
  if (!have_crop()) GTEST_SKIP() << "shared data not present";
  TempTree tree;
  link_crop_run(tree, "sub-01/dwi/sub-01_dwi");
  // brain_mask.nii comes first but lies on another grid, so the crop's own mask is used.
  tree.file("sub-01/dwi/brain_mask.nii", testing::nifti_float32({2, 2, 2}, std::vector<float>(8, 1.0f)));
  tree.link(testing::kSharedData + "/mrtrix3-testdata/msmt_mask.nii.gz", "sub-01/dwi/sub-01_mask.nii.gz");
  link_crop_run(tree, "sub-02/ses-1/dwi/sub-02_ses-1_dwi");
  tree.file("sub-02/ses-1/dwi/sub-02_ses-1_dwi.json",
            R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.05, "Other": 1})");

  const BatchResult result = run_bids_batch(tree.root(), default_options());
  ASSERT_FALSE(result.failure.has_value()) << result.failure->message;
  ASSERT_TRUE(result.outcome.has_value());
  const BatchOutcome& outcome = *result.outcome;
  const std::string out_dir = tree.path("derivatives/dirsieve");
  EXPECT_EQ(outcome.summary_path, out_dir + "/dataset_summary.json");
  ASSERT_EQ(outcome.results.size(), 2u);
  EXPECT_EQ(outcome.results[0].name, "sub-01_dwi");
  EXPECT_EQ(outcome.results[0].dwi, tree.path("sub-01/dwi/sub-01_dwi.nii.gz"));
  EXPECT_EQ(outcome.results[1].name, "sub-02_ses-1_dwi");
  EXPECT_EQ(outcome.status, std::max(outcome.results[0].status, outcome.results[1].status));

  EXPECT_EQ(read_text(outcome.summary_path), dataset_summary_json(tree.root(), outcome).to_pretty());
  const auto summary = nlohmann::json::parse(read_text(outcome.summary_path));
  const auto call = nlohmann::json::parse(batch_call_summary(outcome));
  EXPECT_EQ(summary.at("results"), call.at("results"));
  EXPECT_EQ(summary.at("n_datasets"), 2);

  const std::string first_text = read_text(out_dir + "/sub-01_dwi_report.json");
  EXPECT_EQ(first_text.rfind("{\n  \"schema_version\": 1,\n", 0), 0u);
  EXPECT_NE(first_text.back(), '\n');
  const auto first = nlohmann::json::parse(first_text);
  ASSERT_EQ(first.at("inputs").size(), 3u);
  EXPECT_EQ(first["inputs"][0]["path"], tree.path("sub-01/dwi/sub-01_dwi.bvec"));
  EXPECT_EQ(first["inputs"][1]["path"], tree.path("sub-01/dwi/sub-01_dwi.bval"));
  EXPECT_EQ(first["inputs"][2]["path"], tree.path("sub-01/dwi/sub-01_mask.nii.gz"));
  EXPECT_EQ(first.at("status"), std::string(status_name(outcome.results[0].status)));
  EXPECT_TRUE(first.contains("flip"));
  for (const auto& note : first.at("notes")) {
    EXPECT_EQ(note.get<std::string>().rfind("BIDS sidecar", 0), std::string::npos);
  }

  const auto second = nlohmann::json::parse(read_text(out_dir + "/sub-02_ses-1_dwi_report.json"));
  ASSERT_EQ(second.at("inputs").size(), 2u);
  ASSERT_FALSE(second.at("notes").empty());
  EXPECT_EQ(second["notes"].back(), "BIDS sidecar: PE=j-, TRT=0.0500s");
  EXPECT_EQ(second.at("status"), std::string(status_name(outcome.results[1].status)));

  // The output folder is skipped by the walk, so a second batch finds the same runs and replaces
  // the reports.
  const BatchResult again = run_bids_batch(tree.root(), default_options());
  ASSERT_TRUE(again.outcome.has_value());
  EXPECT_EQ(again.outcome->results.size(), 2u);
}

TEST(BidsBatchAudit, FailingRunStopsTheBatchKeepingEarlierReports) {
  if (!have_crop()) GTEST_SKIP() << "shared data not present";
  TempTree tree;
  link_crop_run(tree, "sub-01/dwi/sub-01_dwi");
  tree.link(kCrop + ".nii.gz", "sub-02/dwi/sub-02_dwi.nii.gz");
  tree.link(kCrop + ".bval", "sub-02/dwi/sub-02_dwi.bval");
  // Two columns only, against the crop's 102 b-values.
  tree.file("sub-02/dwi/sub-02_dwi.bvec", "1 0\n0 1\n0 0\n");
  link_crop_run(tree, "sub-03/dwi/sub-03_dwi");

  const BatchResult result = run_bids_batch(tree.root(), default_options());
  ASSERT_TRUE(result.failure.has_value());
  auto direct = read_fsl_pair(tree.path("sub-02/dwi/sub-02_dwi.bvec"), tree.path("sub-02/dwi/sub-02_dwi.bval"));
  ASSERT_FALSE(direct.ok());
  EXPECT_EQ(result.failure->message, direct.error().display());
  const std::string out_dir = tree.path("derivatives/dirsieve");
  EXPECT_TRUE(std::filesystem::exists(out_dir + "/sub-01_dwi_report.json"));
  EXPECT_FALSE(std::filesystem::exists(out_dir + "/sub-03_dwi_report.json"));
  EXPECT_FALSE(std::filesystem::exists(out_dir + "/dataset_summary.json"));
}

TEST(BidsBatchAudit, UnwritableReportAndSummaryFiles) {
  if (!have_crop()) GTEST_SKIP() << "shared data not present";
  TempTree tree;
  link_crop_run(tree, "sub-01/dwi/sub-01_dwi");
  tree.dir("derivatives/dirsieve/sub-01_dwi_report.json");
  BatchResult result = run_bids_batch(tree.root(), default_options());
  ASSERT_TRUE(result.failure.has_value());
  EXPECT_EQ(result.failure->message, "I/O error: " + os_error_text(EISDIR));

  std::filesystem::remove(tree.path("derivatives/dirsieve/sub-01_dwi_report.json"));
  tree.dir("derivatives/dirsieve/dataset_summary.json");
  result = run_bids_batch(tree.root(), default_options());
  ASSERT_TRUE(result.failure.has_value());
  EXPECT_EQ(result.failure->message, os_error_text(EISDIR));
  EXPECT_TRUE(std::filesystem::is_regular_file(tree.path("derivatives/dirsieve/sub-01_dwi_report.json")));
}

// The crop's table as rows of text, for writing altered copies of it.
std::vector<std::string> crop_bvec_rows() {
  std::vector<std::string> rows;
  std::istringstream in(read_text(kCrop + ".bvec"));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) rows.push_back(line);
  }
  return rows;
}

// One run with the crop's own table and one with an altered copy of it.
BatchResult run_against_altered_copy(const TempTree& tree, const std::string& altered_bvec) {
  link_crop_run(tree, "sub-01/dwi/sub-01_dwi");
  tree.link(kCrop + ".nii.gz", "sub-02/dwi/sub-02_dwi.nii.gz");
  tree.link(kCrop + ".bval", "sub-02/dwi/sub-02_dwi.bval");
  tree.file("sub-02/dwi/sub-02_dwi.bvec", altered_bvec);
  return run_bids_batch(tree.root(), default_options());
}

TEST(BidsBatchAudit, PassAndWarnGiveExitCodeThree) {
  if (!have_crop()) GTEST_SKIP() << "shared data not present";
  // Doubling every vector makes the table amplitude-encoded, which raises PASS to WARN.
  std::string doubled;
  for (const std::string& row : crop_bvec_rows()) {
    std::istringstream in(row);
    for (double v; in >> v;) doubled += std::to_string(2.0 * v) + " ";
    doubled += "\n";
  }
  TempTree tree;
  const BatchResult result = run_against_altered_copy(tree, doubled);
  ASSERT_TRUE(result.outcome.has_value()) << result.failure->message;
  ASSERT_EQ(result.outcome->results.size(), 2u);
  EXPECT_EQ(result.outcome->results[0].status, Status::Pass);
  EXPECT_EQ(result.outcome->results[1].status, Status::Warn);
  EXPECT_EQ(result.outcome->status, Status::Warn);
  const auto call = nlohmann::json::parse(batch_call_summary(*result.outcome));
  EXPECT_EQ(call.at("exit_code"), 3);
  EXPECT_EQ(call.at("status"), "WARN");
}

TEST(BidsBatchAudit, PassAndFlagGiveExitCodeZero) {
  if (!have_crop()) GTEST_SKIP() << "shared data not present";
  const auto rows = crop_bvec_rows();
  ASSERT_EQ(rows.size(), 3u);
  TempTree tree;
  const BatchResult result = run_against_altered_copy(tree, rows[1] + "\n" + rows[0] + "\n" + rows[2] + "\n");
  ASSERT_TRUE(result.outcome.has_value()) << result.failure->message;
  EXPECT_EQ(result.outcome->results[0].status, Status::Pass);
  EXPECT_EQ(result.outcome->results[1].status, Status::Flag);
  EXPECT_EQ(result.outcome->status, Status::Flag);
  const auto call = nlohmann::json::parse(batch_call_summary(*result.outcome));
  EXPECT_EQ(call.at("exit_code"), 0);
  const auto report =
      nlohmann::json::parse(read_text(tree.path("derivatives/dirsieve/sub-02_dwi_report.json")));
  EXPECT_EQ(report.at("flip").at("recommended_label"), "+y+x+z");
}

}  // namespace
}  // namespace dirsieve
