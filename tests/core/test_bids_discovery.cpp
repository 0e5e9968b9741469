#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bids/discovery.hpp"
#include "core/bids/path_text.hpp"
#include "test_bids_support.hpp"

namespace dirsieve {
namespace {

using testing::TempTree;

std::vector<std::string> dwi_paths(const std::vector<BidsRun>& runs) {
  std::vector<std::string> out;
  for (const BidsRun& run : runs) out.push_back(run.dwi);
  return out;
}

std::vector<BidsRun> discover_ok(const std::string& root) {
  auto runs = discover_runs(root);
  EXPECT_TRUE(runs.ok()) << (runs.ok() ? "" : runs.error().display());
  return runs.ok() ? runs.value() : std::vector<BidsRun>{};
}

// A DWI with both partner files next to it.
void add_run(const TempTree& tree, const std::string& stem, const std::string& dwi_ext = ".nii.gz") {
  tree.file(stem + dwi_ext);
  tree.file(stem + ".bvec");
  tree.file(stem + ".bval");
}

TEST(BidsPathText, ComponentOrderDiffersFromTextOrder) {
  EXPECT_TRUE(path_less("r/sub-10/x", "r/sub-2/x"));
  EXPECT_FALSE(path_less("r/sub-2/x", "r/sub-10/x"));
  // As text '.' < '/', but the component "a" is a prefix of "a.b" and comes first.
  EXPECT_TRUE(path_less("r/a/z", "r/a.b/c"));
  EXPECT_TRUE(path_less("r/a", "r/a/b"));
  EXPECT_TRUE(path_less("r/B", "r/a"));
  // Bytes compare unsigned: a non-ASCII name sorts after every ASCII one.
  EXPECT_TRUE(path_less("r/z", "r/\xC3\xA9"));
  EXPECT_FALSE(path_less("r/a", "r/a"));
  EXPECT_TRUE(path_less("/abs", "rel"));
}

TEST(BidsPathText, JoinAndUtf8) {
  EXPECT_EQ(join_path("root", "x"), "root/x");
  EXPECT_EQ(join_path("root/", "x"), "root/x");
  EXPECT_TRUE(is_valid_utf8("sub-\xC3\xA9\xE2\x86\x92"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("ab\xE2\x86"));        // truncated
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(lossy_utf8("a\xE2\x86"), "a\xEF\xBF\xBD");
  EXPECT_EQ(lossy_utf8("ok\xE2\x86\x92"), "ok\xE2\x86\x92");
}

TEST(BidsDiscovery, SingleRunWithPartnersOnly) {
  TempTree tree;
  add_run(tree, "sub-01/dwi/sub-01_dwi");
  const auto runs = discover_ok(tree.root());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].dwi, tree.root() + "/sub-01/dwi/sub-01_dwi.nii.gz");
  EXPECT_EQ(runs[0].bvec, tree.root() + "/sub-01/dwi/sub-01_dwi.bvec");
  EXPECT_EQ(runs[0].bval, tree.root() + "/sub-01/dwi/sub-01_dwi.bval");
  EXPECT_EQ(runs[0].name, "sub-01_dwi");
  EXPECT_FALSE(runs[0].sidecar.has_value());
  EXPECT_TRUE(runs[0].mask_candidates.empty());
}

TEST(BidsDiscovery, RootTextIsKeptAsPassed) {
  TempTree tree;
  add_run(tree, "sub-01/dwi/sub-01_dwi");
  const auto runs = discover_ok(tree.root() + "/");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].dwi, tree.root() + "/sub-01/dwi/sub-01_dwi.nii.gz");

}

TEST(BidsDiscovery, PartnerFileForms) {
  TempTree tree;
  tree.file("a/sub-01_dwi.nii");
  tree.file("a/sub-01_dwi.bvecs");
  tree.file("a/sub-01_dwi.bval");
  tree.file("b/sub-02_dwi.nii");
  tree.file("b/sub-02_dwi.bvec");
  tree.file("b/sub-02_dwi.bvecs");
  tree.file("b/sub-02_dwi.bvals");
  // A folder carrying a partner's name does not count as that partner.
  tree.file("c/sub-03_dwi.nii");
  tree.dir("c/sub-03_dwi.bvec");
  tree.file("c/sub-03_dwi.bvecs");
  tree.file("c/sub-03_dwi.bval");
  // Only one partner: skipped silently.
  tree.file("d/sub-04_dwi.nii");
  tree.file("d/sub-04_dwi.bvec");

  const auto runs = discover_ok(tree.root());
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].bvec, tree.path("a/sub-01_dwi.bvecs"));
  EXPECT_EQ(runs[0].bval, tree.path("a/sub-01_dwi.bval"));
  EXPECT_EQ(runs[1].bvec, tree.path("b/sub-02_dwi.bvec"));
  EXPECT_EQ(runs[1].bval, tree.path("b/sub-02_dwi.bvals"));
  EXPECT_EQ(runs[2].bvec, tree.path("c/sub-03_dwi.bvecs"));
}

TEST(BidsDiscovery, OnlyBvecGivesNoRun) {
  TempTree tree;
  tree.file("sub-01/dwi/sub-01_dwi.nii.gz");
  tree.file("sub-01/dwi/sub-01_dwi.bvec");
  EXPECT_TRUE(discover_ok(tree.root()).empty());
}

TEST(BidsDiscovery, DwiNameRules) {
  TempTree tree;
  for (const char* stem : {"_dwi", "sub-01_dwi", "sub-01_DWI", "._sub-01_dwi", "dwi", "sub-02_dwi_x"}) {
    add_run(tree, std::string("n/") + stem, ".nii");
  }
  add_run(tree, "n/sub-03_dwi", ".NII");
  add_run(tree, "n/sub-04_dwi", ".nii.gz");
  tree.file("n/sub-05_dwi.nii.gz.bak");
  tree.file("n/sub-05_dwi.bvec");
  tree.file("n/sub-05_dwi.bval");
  // A folder with a DWI's name is walked, not taken as an image.
  tree.dir("n/sub-06_dwi.nii");
  tree.file("n/sub-06_dwi.bvec");
  tree.file("n/sub-06_dwi.bval");
  // Not valid UTF-8: never a DWI.
  add_run(tree, "n/sub-\xFF_dwi", ".nii");

  std::vector<std::string> names;
  for (const BidsRun& run : discover_ok(tree.root())) names.push_back(run.name);
  EXPECT_EQ(names, (std::vector<std::string>{"_dwi", "sub-01_dwi", "sub-04_dwi"}));
}

TEST(BidsDiscovery, DerivativesSkippedAtEveryDepth) {
  TempTree tree;
  add_run(tree, "derivatives/sub-01/dwi/sub-01_dwi");
  add_run(tree, "sub-01/derivatives/sub-01_dwi");
  add_run(tree, "sub-01/ses-1/derivatives/dwi/sub-01_ses-1_dwi");
  add_run(tree, "Derivatives/sub-02_dwi");
  add_run(tree, "sub-03/derivativesX/sub-03_dwi");
  const auto runs = discover_ok(tree.root());
  EXPECT_EQ(dwi_paths(runs), (std::vector<std::string>{tree.path("Derivatives/sub-02_dwi.nii.gz"),
                                                        tree.path("sub-03/derivativesX/sub-03_dwi.nii.gz")}));
}

TEST(BidsDiscovery, RunsInByteOrderOfComponents) {
  TempTree tree;
  add_run(tree, "sub-2/dwi/sub-2_dwi");
  add_run(tree, "sub-10/dwi/sub-10_dwi");
  add_run(tree, "sub-1.5/dwi/sub-1.5_dwi");
  add_run(tree, "sub-1/dwi/sub-1_dwi");
  add_run(tree, "sub-1/dwi/sub-1_acq-b_dwi");
  add_run(tree, "sub-1/dwi/sub-1_acq-B_dwi");
  const auto runs = discover_ok(tree.root());
  std::vector<std::string> names;
  for (const BidsRun& run : runs) names.push_back(run.name);
  EXPECT_EQ(names, (std::vector<std::string>{"sub-1_acq-B_dwi", "sub-1_acq-b_dwi", "sub-1_dwi", "sub-1.5_dwi",
                                             "sub-10_dwi", "sub-2_dwi"}));
}

TEST(BidsDiscovery, SidecarAndMaskCandidates) {
  TempTree tree;
  add_run(tree, "sub-01/dwi/sub-01_dwi");
  tree.file("sub-01/dwi/sub-01_dwi.json", "{}");
  tree.file("sub-01/dwi/sub-01_mask.nii.gz");
  tree.file("sub-01/dwi/brain_MASK.NII");
  tree.file("sub-01/dwi/mask.nii");
  tree.file("sub-01/dwi/Mask.Nii.Gz");
  tree.dir("sub-01/dwi/zz_mask.nii");    // a folder
  tree.file("sub-01/dwi/._mask.nii");     // AppleDouble companion
  tree.file("sub-01/dwi/mask.nii.txt");   // wrong extension
  tree.file("sub-01/dwi/brain.nii.gz");   // no "mask"
  tree.file("sub-01/anat/sub-01_mask.nii.gz");  // another folder
  add_run(tree, "sub-02/dwi/sub-02_dwi");
  tree.dir("sub-02/dwi/sub-02_dwi.json");  // a folder is no sidecar

  const auto runs = discover_ok(tree.root());
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].sidecar, tree.path("sub-01/dwi/sub-01_dwi.json"));
  EXPECT_EQ(runs[0].mask_candidates,
            (std::vector<std::string>{tree.path("sub-01/dwi/Mask.Nii.Gz"), tree.path("sub-01/dwi/brain_MASK.NII"),
                                      tree.path("sub-01/dwi/mask.nii"), tree.path("sub-01/dwi/sub-01_mask.nii.gz")}));
  EXPECT_FALSE(runs[1].sidecar.has_value());
  EXPECT_TRUE(runs[1].mask_candidates.empty());
}

TEST(BidsDiscovery, MissingOrNonDirectoryRootGivesNothing) {
  TempTree tree;
  add_run(tree, "sub-01_dwi");
  EXPECT_TRUE(discover_ok(tree.path("absent")).empty());
  EXPECT_TRUE(discover_ok(tree.path("sub-01_dwi.bvec")).empty());
  EXPECT_TRUE(discover_ok("").empty());
}

TEST(BidsDiscovery, LinkedDirectoriesAreWalkedAndCyclesEnd) {
  TempTree outside;
  add_run(outside, "data/sub-07_dwi");
  TempTree tree;
  add_run(tree, "sub-01/dwi/sub-01_dwi");
  tree.link(outside.path("data"), "sub-07/dwi");  // a linked subject folder
  tree.link("..", "sub-01/dwi/up");             // a cycle back to sub-01
  tree.link(tree.root(), "sub-01/root");        // a cycle back to the root
  tree.link("loop-b", "sub-01/loop-a");         // a link that resolves to nothing
  tree.link("loop-a", "sub-01/loop-b");

  const auto runs = discover_ok(tree.root());
  EXPECT_EQ(dwi_paths(runs), (std::vector<std::string>{tree.path("sub-01/dwi/sub-01_dwi.nii.gz"),
                                                        tree.path("sub-07/dwi/sub-07_dwi.nii.gz")}));
}

TEST(BidsDiscovery, SecondLinkToAFolderIsWalkedOnceAtItsFirstPlace) {
  TempTree tree;
  add_run(tree, "sub-01/dwi/sub-01_dwi");
  tree.link("sub-01", "sub-00");  // comes first in path order
  tree.link("sub-01", "sub-02");
  const auto runs = discover_ok(tree.root());
  EXPECT_EQ(dwi_paths(runs), (std::vector<std::string>{tree.path("sub-00/dwi/sub-01_dwi.nii.gz")}));
}

TEST(BidsDiscovery, ListingFailureAbortsEvenAtTheRoot) {
  TempTree tree;
  add_run(tree, "sub-01/dwi/sub-01_dwi");
  std::optional<Result<std::vector<BidsRun>>> runs;
  {
    testing::DescriptorsExhausted exhausted;
    runs.emplace(discover_runs(tree.root()));
  }
  ASSERT_FALSE(runs->ok());
  EXPECT_EQ(runs->error().kind(), ErrorKind::Io);
  EXPECT_EQ(runs->error().text(), os_error_text(EMFILE));
}

TEST(BidsDiscovery, RealExampleTreesFindExactlyTheirRuns) {
  const std::string root = testing::kSharedData + "/bids-examples-dwi";
  if (!std::filesystem::is_directory(root)) GTEST_SKIP() << "shared data not present";
  const auto runs = discover_ok(root);
  std::vector<std::string> expected;
  for (const char* sub : {"01", "02", "03", "04", "05", "06", "09", "12", "13", "14", "15"}) {
    expected.push_back(root + "/ds000117/sub-" + sub + "/ses-mri/dwi/sub-" + sub + "_ses-mri_dwi.nii.gz");
  }
  expected.push_back(root + "/dwi_deriv/sub-01/dwi/sub-01_dwi.nii");
  for (const char* sub : {"32", "35", "36"}) {
    for (const char* acq : {"NODDI10DIR", "NODDI33DIR"}) {
      expected.push_back(root + "/eeg_rest_fmri/sub-" + sub + "/dwi/sub-" + sub + "_acq-" + acq + "_dwi.nii.gz");
    }
  }
  // ds114 and genetics_ukbb keep their tables at the dataset root only, which is no sibling pair.
  EXPECT_EQ(dwi_paths(runs), expected);
  ASSERT_EQ(runs.size(), 18u);
  EXPECT_EQ(runs[11].name, "sub-01_dwi");
  EXPECT_EQ(runs[11].bvec, root + "/dwi_deriv/sub-01/dwi/sub-01_dwi.bvec");
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].sidecar.has_value(), i < 12) << runs[i].dwi;
    EXPECT_TRUE(runs[i].mask_candidates.empty());
  }
}

// ---- sidecars ----

std::optional<BidsSidecar> sidecar_from(const std::string& text) {
  TempTree tree;
  return read_sidecar(tree.file("s.json", text));
}

TEST(BidsSidecar, ReadsTheThreeKeysAndIgnoresOthers) {
  auto s = sidecar_from(R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.05, "EchoTime": [1, {"a": 2}]})");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->phase_encoding_direction, "j-");
  EXPECT_EQ(s->total_readout_time, 0.05);
  EXPECT_FALSE(s->multiband_acceleration_factor.has_value());
  EXPECT_EQ(sidecar_note(*s), "BIDS sidecar: PE=j-, TRT=0.0500s");

  s = sidecar_from("{\"MultibandAccelerationFactor\": 4, \"TotalReadoutTime\": 1, \"PhaseEncodingDirection\": null}\n\t ");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(sidecar_note(*s), "BIDS sidecar: TRT=1.0000s, MB=4");

  s = sidecar_from(R"({"MultibandAccelerationFactor": 4294967295, "TotalReadoutTime": null})");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(sidecar_note(*s), "BIDS sidecar: MB=4294967295");

  s = sidecar_from(R"({"phaseencodingdirection": "i", "Nested": {"PhaseEncodingDirection": 5}})");
  ASSERT_TRUE(s.has_value());
  EXPECT_FALSE(s->phase_encoding_direction.has_value());
  EXPECT_FALSE(sidecar_note(*s).has_value());
}

TEST(BidsSidecar, WrongTypesYieldNothing) {
  for (const char* text : {
           R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.05, "MultibandAccelerationFactor": 3.0})",
           R"({"MultibandAccelerationFactor": -1})",
           R"({"MultibandAccelerationFactor": 4294967296})",
           R"({"MultibandAccelerationFactor": 3e0})",
           R"({"MultibandAccelerationFactor": "3"})",
           R"({"MultibandAccelerationFactor": true})",
           R"({"PhaseEncodingDirection": 5})",
           R"({"PhaseEncodingDirection": ["j-"]})",
           R"({"PhaseEncodingDirection": {"v": "j-"}})",
           R"({"TotalReadoutTime": "0.05"})",
           R"({"TotalReadoutTime": false})",
           R"({"TotalReadoutTime": 1e400})",
       }) {
    EXPECT_FALSE(sidecar_from(text).has_value()) << text;
  }
}

TEST(BidsSidecar, DuplicatesOfReportedKeysYieldNothing) {
  EXPECT_FALSE(sidecar_from(R"({"PhaseEncodingDirection": "j", "PhaseEncodingDirection": "j-"})").has_value());
  EXPECT_FALSE(sidecar_from(R"({"TotalReadoutTime": null, "TotalReadoutTime": 0.1})").has_value());
  EXPECT_FALSE(sidecar_from(R"({"MultibandAccelerationFactor": 2, "X": 1, "MultibandAccelerationFactor": 2})")
                   .has_value());
  // Escapes spell the same key.
  EXPECT_FALSE(sidecar_from(R"({"TotalReadoutTime": 1, "Total\u0052eadoutTime": 1})").has_value());
  // Other keys may repeat, and nested objects may hold the names again.
  auto s = sidecar_from(R"({"EchoTime": 1, "EchoTime": 2, "A": {"TotalReadoutTime": 1}, "TotalReadoutTime": 2})");
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->total_readout_time, 2.0);
}

TEST(BidsSidecar, UnparsableOrMissingFilesYieldNothing) {
  for (const char* text : {"", "[1]", "\"text\"", "{} x", "{}{}", "{\"a\": }", "{\"a\": 1,}", "\xEF\xBB\xBF{}",
                           "{\"PhaseEncodingDirection\": \"\xFF\"}", "{\"a\": 1} // note"}) {
    EXPECT_FALSE(sidecar_from(text).has_value()) << text;
  }
  EXPECT_TRUE(sidecar_from("{}").has_value());
  EXPECT_FALSE(read_sidecar("/nonexistent/dir/s.json").has_value());
  TempTree tree;
  EXPECT_FALSE(read_sidecar(tree.dir("folder.json")).has_value());
}

TEST(BidsSidecar, NoteOfEachPartAlone) {
  BidsSidecar s;
  EXPECT_FALSE(sidecar_note(s).has_value());
  s.phase_encoding_direction = "i";
  EXPECT_EQ(sidecar_note(s), "BIDS sidecar: PE=i");
  s = BidsSidecar{};
  s.total_readout_time = 0.12345678;
  EXPECT_EQ(sidecar_note(s), "BIDS sidecar: TRT=0.1235s");
  s.multiband_acceleration_factor = 0;
  EXPECT_EQ(sidecar_note(s), "BIDS sidecar: TRT=0.1235s, MB=0");
}

TEST(BidsSidecar, RealSidecars) {
  const std::string root = testing::kSharedData + "/bids-examples-dwi";
  if (!std::filesystem::is_directory(root)) GTEST_SKIP() << "shared data not present";
  auto a = read_sidecar(root + "/ds000117/sub-01/ses-mri/dwi/sub-01_ses-mri_dwi.json");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(sidecar_note(*a), "BIDS sidecar: PE=j-, TRT=0.0690s");
  auto b = read_sidecar(root + "/dwi_deriv/sub-01/dwi/sub-01_dwi.json");
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(sidecar_note(*b), "BIDS sidecar: PE=j-, TRT=0.0275s, MB=2");
}

}  // namespace
}  // namespace dirsieve
