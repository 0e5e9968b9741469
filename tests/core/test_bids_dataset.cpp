// The engine's dataset discovery (set-aside folders, inherited tables and sidecars, filters, image facts)
// and the acquisition group check.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bids/acquisition.hpp"
#include "core/bids/dataset.hpp"
#include "test_bids_support.hpp"

namespace dirsieve {
namespace {

using testing::TempTree;

std::vector<DatasetRun> discover_ok(const std::string& root, const DatasetFilter& filter = {}) {
  auto runs = discover_dataset(root, filter);
  EXPECT_TRUE(runs.ok()) << (runs.ok() ? "" : runs.error().display());
  return runs.ok() ? runs.value() : std::vector<DatasetRun>{};
}

std::vector<std::string> names_of(const std::vector<DatasetRun>& runs) {
  std::vector<std::string> out;
  for (const DatasetRun& run : runs) out.push_back(run.name);
  return out;
}

const DatasetRun& find_run(const std::vector<DatasetRun>& runs, const std::string& name) {
  for (const DatasetRun& run : runs)
    if (run.name == name) return run;
  ADD_FAILURE() << "no run " << name;
  static const DatasetRun none;
  return none;
}

// A 2x3x4 image with `volumes` volumes (a 3-D image when 0), placed by the header's voxel sizes.
std::string image(int volumes) {
  std::vector<std::int16_t> dims = {2, 3, 4};
  if (volumes > 0) dims.push_back(static_cast<std::int16_t>(volumes));
  return testing::nifti_float32(dims, std::vector<float>(24 * static_cast<std::size_t>(std::max(volumes, 1)), 1.0f));
}

void add_run(const TempTree& tree, const std::string& stem, bool table = true) {
  tree.file(stem + ".nii", image(3));
  if (table) {
    tree.file(stem + ".bvec");
    tree.file(stem + ".bval");
  }
}

TEST(BidsDataset, SetAsideAndHiddenFoldersAreSkipped) {
  TempTree tree;
  add_run(tree, "sub-01/dwi/sub-01_dwi");
  for (const char* folder : {"sourcedata", "code", "derivatives", ".git", "sub-01/.snapshot", "sub-01/derivatives"}) {
    add_run(tree, std::string(folder) + "/sub-09/dwi/sub-09_dwi");
  }
  add_run(tree, "sub-01/dwi/.sub-01_acq-x_dwi");
  add_run(tree, "codes/sub-02/dwi/sub-02_dwi");  // only the exact names are set aside
  const auto runs = discover_ok(tree.root());
  EXPECT_EQ(names_of(runs), (std::vector<std::string>{"sub-02_dwi", "sub-01_dwi"}));
  EXPECT_EQ(runs[1].folder, "sub-01/dwi");
  EXPECT_EQ(runs[1].subject, "01");
  EXPECT_FALSE(runs[1].session.has_value());
  EXPECT_FALSE(runs[1].problem.has_value());
}

TEST(BidsDataset, TablesAreInheritedFromTheNearestLevel) {
  TempTree tree;
  tree.file("dwi.bvec");
  tree.file("dwi.bval");
  tree.file("acq-multi_dwi.bval");       // more specific than dwi.bval at the root
  tree.file("acq-other_dwi.bvec");       // entities the runs lack: applies to none
  tree.file("sub-02/sub-02_dwi.bvec");   // subject level beats the root
  tree.file("sub-02/sub-03_dwi.bval");   // another subject's name: does not apply
  add_run(tree, "sub-01/ses-1/dwi/sub-01_ses-1_dwi", false);
  add_run(tree, "sub-01/ses-2/dwi/sub-01_ses-2_acq-multi_dwi", false);
  add_run(tree, "sub-02/dwi/sub-02_dwi", false);
  add_run(tree, "sub-03/dwi/sub-03_dwi");  // its own pair wins
  tree.file("sub-04/dwi/sub-04_dwi.nii", image(3));
  tree.file("sub-04/dwi/sub-04_dwi.bvecs");  // the plural form counts for the run's own files

  const auto runs = discover_ok(tree.root());
  const DatasetRun& s1 = find_run(runs, "sub-01_ses-1_dwi");
  EXPECT_EQ(s1.bvec, tree.path("dwi.bvec"));
  EXPECT_EQ(s1.bval, tree.path("dwi.bval"));
  EXPECT_TRUE(s1.bvec_inherited && s1.bval_inherited);
  EXPECT_EQ(s1.session, "1");
  EXPECT_EQ(s1.folder, "sub-01/ses-1/dwi");
  EXPECT_EQ(find_run(runs, "sub-01_ses-2_acq-multi_dwi").bval, tree.path("acq-multi_dwi.bval"));
  const DatasetRun& s2 = find_run(runs, "sub-02_dwi");
  EXPECT_EQ(s2.bvec, tree.path("sub-02/sub-02_dwi.bvec"));
  EXPECT_EQ(s2.bval, tree.path("dwi.bval"));
  const DatasetRun& s3 = find_run(runs, "sub-03_dwi");
  EXPECT_EQ(s3.bvec, tree.path("sub-03/dwi/sub-03_dwi.bvec"));
  EXPECT_FALSE(s3.bvec_inherited || s3.bval_inherited);
  const DatasetRun& s4 = find_run(runs, "sub-04_dwi");
  EXPECT_EQ(s4.bvec, tree.path("sub-04/dwi/sub-04_dwi.bvecs"));
  EXPECT_FALSE(s4.bvec_inherited);
  EXPECT_EQ(s4.bval, tree.path("dwi.bval"));
  for (const DatasetRun& run : runs) EXPECT_FALSE(run.problem.has_value()) << run.name << ": " << *run.problem;
}

TEST(BidsDataset, RunsThatCannotBeAuditedAreListedWithTheReason) {
  TempTree tree;
  add_run(tree, "sub-01/dwi/sub-01_dwi", false);
  tree.file("sub-01/dwi/sub-01_dwi.bvec");
  add_run(tree, "sub-02/dwi/sub-02_dwi", false);
  tree.file("sub-02/sub-02_dwi.bvec");
  tree.file("sub-02/dwi/sub-02_dwi.bval");  // with the inherited bvec: complete
  add_run(tree, "sub-05/dwi/sub-05_acq-a_run-1_dwi", false);
  tree.file("sub-05/acq-a_dwi.bval");  // two files apply equally at one level
  tree.file("sub-05/run-1_dwi.bval");
  tree.file("sub-05/sub-05_dwi.bvec");
  add_run(tree, "sub-03/dwi/sub-03_dwi");
  tree.file("sub-03/dwi/sub-03_dwi.nii.gz");  // a second image of the same name
  add_run(tree, "sub-04/dwi/sub-04_x_dwi");   // not BIDS entities

  const auto runs = discover_ok(tree.root());
  EXPECT_EQ(find_run(runs, "sub-01_dwi").problem,
            "no .bval beside the image or inherited from a folder above it");
  EXPECT_FALSE(find_run(runs, "sub-02_dwi").problem.has_value());
  const auto& ambiguous = find_run(runs, "sub-05_acq-a_run-1_dwi").problem;
  ASSERT_TRUE(ambiguous.has_value());
  EXPECT_EQ(*ambiguous, "more than one .bval applies: " + tree.path("sub-05/acq-a_dwi.bval") + " and " +
                            tree.path("sub-05/run-1_dwi.bval"));
  ASSERT_EQ(runs.size(), 6u);
  EXPECT_EQ(runs[3].dwi, tree.path("sub-03/dwi/sub-03_dwi.nii.gz"));
  EXPECT_EQ(runs[3].problem, "another image of the same name comes first: " + tree.path("sub-03/dwi/sub-03_dwi.nii"));
  EXPECT_FALSE(runs[2].problem.has_value());
  EXPECT_TRUE(find_run(runs, "sub-04_x_dwi").problem->find("BIDS entities") != std::string::npos);
}

TEST(BidsDataset, ParticipantAndSessionFilters) {
  TempTree tree;
  for (const char* stem : {"sub-01/ses-1/dwi/sub-01_ses-1_dwi", "sub-01/ses-2/dwi/sub-01_ses-2_dwi",
                           "sub-02/dwi/sub-02_dwi", "sub-10/ses-1/dwi/sub-10_ses-1_dwi"}) {
    add_run(tree, stem);
  }
  EXPECT_EQ(names_of(discover_ok(tree.root(), {{"01", "sub-02"}, {}})),
            (std::vector<std::string>{"sub-01_ses-1_dwi", "sub-01_ses-2_dwi", "sub-02_dwi"}));
  EXPECT_EQ(names_of(discover_ok(tree.root(), {{}, {"ses-1"}})),
            (std::vector<std::string>{"sub-01_ses-1_dwi", "sub-10_ses-1_dwi"}));
  EXPECT_EQ(names_of(discover_ok(tree.root(), {{"1"}, {}})), std::vector<std::string>{});
}

TEST(BidsDataset, SidecarsMergeInwardsAndBadOnesAreNoted) {
  TempTree tree;
  tree.file("dwi.json", R"({"Manufacturer": "Acme", "SoftwareVersions": "v1", "ConversionSoftware": "dcm2niix"})");
  tree.file("sub-01/sub-01_dwi.json", R"({"SoftwareVersions": "v2", "ManufacturersModelName": 7})");
  add_run(tree, "sub-01/dwi/sub-01_dwi");
  tree.file("sub-01/dwi/sub-01_dwi.json", R"({"ConversionSoftwareVersion": "v1.0", "Manufacturer": "Acme"})");
  add_run(tree, "sub-02/dwi/sub-02_dwi");
  tree.file("sub-02/dwi/sub-02_dwi.json", "{\"Manufacturer\": ");

  const auto runs = discover_ok(tree.root());
  const AcquisitionFacts& a = runs[0].acquisition;
  EXPECT_EQ(a.manufacturer, "Acme");
  EXPECT_EQ(a.software_versions, "v2");
  EXPECT_EQ(a.model, "7");
  EXPECT_EQ(a.conversion_software, "dcm2niix");
  EXPECT_EQ(a.conversion_software_version, "v1.0");
  EXPECT_EQ(runs[0].sidecars, (std::vector<std::string>{tree.path("dwi.json"), tree.path("sub-01/sub-01_dwi.json"),
                                                          tree.path("sub-01/dwi/sub-01_dwi.json")}));
  EXPECT_EQ(runs[1].acquisition.manufacturer, "Acme");
  EXPECT_EQ(runs[1].notes,
            std::vector<std::string>{"sidecar " + tree.path("sub-02/dwi/sub-02_dwi.json") + " is not used: not valid JSON"});
}

TEST(BidsDataset, OrientationAndMaskFromTheHeaders) {
  TempTree tree;
  add_run(tree, "sub-01/dwi/sub-01_dwi");
  tree.file("sub-01/dwi/a_mask.nii", testing::nifti_float32({3, 3, 3}, std::vector<float>(27, 1.0f)));  // other grid
  tree.file("sub-01/dwi/b_mask.nii", image(0));
  tree.file("sub-02/dwi/sub-02_dwi.nii", "not an image");
  tree.file("sub-02/dwi/sub-02_dwi.bvec");
  tree.file("sub-02/dwi/sub-02_dwi.bval");
  tree.file("sub-02/dwi/sub-02_mask.nii", image(0));

  const auto runs = discover_ok(tree.root());
  EXPECT_EQ(runs[0].mask, tree.path("sub-01/dwi/b_mask.nii"));
  EXPECT_EQ(runs[0].acquisition.axis_codes, "RAS");
  EXPECT_EQ(runs[0].acquisition.slice_orientation, "axial");
  // An unreadable image is still a run (its audit will say why); it has no orientation and no mask.
  EXPECT_FALSE(runs[1].problem.has_value());
  EXPECT_FALSE(runs[1].mask.has_value() || runs[1].acquisition.axis_codes.has_value());
  ASSERT_EQ(runs[1].notes.size(), 1u);
  EXPECT_EQ(runs[1].notes[0].rfind("the image header cannot be read: NIfTI error: ", 0), 0u) << runs[1].notes[0];

  AcquisitionFacts facts;
  // Sagittal slices: voxel axes along -y (P), -z (I) and +x (R), the largest entry of each column.
  set_orientation(Mat4{{{0.1, 0.0, 2.0, 0.0}, {-1.0, 0.2, 0.0, 0.0}, {0.0, -1.5, 0.3, 0.0}, {0.0, 0.0, 0.0, 1.0}}},
                  facts);
  EXPECT_EQ(facts.axis_codes, "PIR");
  EXPECT_EQ(facts.slice_orientation, "sagittal");
  set_orientation(Mat4{{{1.0, 0.0, 0.0, 0.0}, {0.0, 1.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 1.0}}},
                  facts);
  EXPECT_FALSE(facts.axis_codes.has_value() || facts.slice_orientation.has_value());
}

TEST(BidsDataset, RootErrorsNameTheRoot) {
  TempTree tree;
  tree.file("file.txt");
  auto missing = discover_dataset(tree.path("absent"), {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().display(), "BIDS root not found: " + tree.path("absent"));
  auto file = discover_dataset(tree.path("file.txt"), {});
  ASSERT_FALSE(file.ok());
  EXPECT_EQ(file.error().display(), "BIDS root is not a folder: " + tree.path("file.txt"));
  {
    testing::DescriptorsExhausted exhausted;
    auto walk = discover_dataset(tree.root(), {});
    ASSERT_FALSE(walk.ok());
    EXPECT_EQ(walk.error().kind(), ErrorKind::Io);
    EXPECT_EQ(walk.error().text().rfind("cannot walk the BIDS root " + tree.root() + ": ", 0), 0u);
  }
}

// --------------------------------------------------------------------------- acquisition groups

GroupMember member(const std::string& status, std::optional<double> confidence = std::nullopt,
                   std::optional<std::string> label = std::nullopt, std::vector<double> shells = {1000.0}) {
  GroupMember m;
  m.acquisition.manufacturer = "Acme";
  m.acquisition.slice_orientation = "axial";
  m.status = status;
  m.confidence = confidence;
  m.recommended_label = std::move(label);
  m.shell_b_values = std::move(shells);
  return m;
}

TEST(BidsGroups, KeyHoldsTheFactsPresentTheRoundedShellsAndTheSlices) {
  GroupMember m = member("PASS", 5.0, std::nullopt, {2010.0, 995.0, 1004.0});
  m.acquisition.conversion_software = "dcm2niix";
  m.acquisition.conversion_software_version = "v1";
  EXPECT_EQ(acquisition_key(m, {}), "manufacturer=Acme; converter=dcm2niix v1; b=1000,2000; slices=axial");
  EXPECT_EQ(acquisition_key(GroupMember{}, {}), "b=?; slices=?");
}

TEST(BidsGroups, OutliersAndInferredLabels) {
  const std::vector<GroupMember> members = {
      member("PASS", 6.0),
      member("PASS", 4.0),
      member("FLAG", 9.0, "-x+y+z"),                 // confident, disagrees: outlier
      member("WARN", 1.0),                           // gets the group's label
      member("PASS", 2.0),                           // a PASS short of confidence counts as low-confidence
      member("ERROR"),                               // no verdict: nothing inferred
      member("FLAG", 8.0, "+y+x+z", {1000.0, 3000.0}),  // another b-value set: its own group
  };
  const auto findings = check_acquisition_groups(members, {});
  ASSERT_EQ(findings.size(), members.size());
  for (int i : {0, 1, 3, 4}) EXPECT_EQ(findings[i].group_label, "+x+y+z") << i;
  EXPECT_FALSE(findings[0].outlier || findings[1].outlier || findings[0].inferred_label || findings[1].inferred_label);
  EXPECT_TRUE(findings[2].outlier);
  EXPECT_FALSE(findings[2].inferred_label.has_value());
  EXPECT_EQ(findings[3].inferred_label, "+x+y+z");
  EXPECT_EQ(findings[4].inferred_label, "+x+y+z");
  EXPECT_FALSE(findings[5].inferred_label.has_value() || findings[5].outlier);
  EXPECT_EQ(findings[6].group, "manufacturer=Acme; b=1000,3000; slices=axial");
  EXPECT_EQ(findings[6].group_label, "+y+x+z");
  EXPECT_FALSE(findings[6].outlier);
}

TEST(BidsGroups, NoLabelWithoutAMajorityAndSignEquivalentFixesAgree) {
  const auto split = check_acquisition_groups({member("PASS", 5.0), member("FLAG", 5.0, "-x+y+z"), member("WARN")}, {});
  for (const GroupFinding& f : split) EXPECT_FALSE(f.group_label || f.outlier || f.inferred_label);
  // -x+y+z and +x-y-z are one fix (g and -g are the same direction).
  const auto agree = check_acquisition_groups(
      {member("FLAG", 5.0, "-x+y+z"), member("FLAG", 4.0, "+x-y-z"), member("PASS", 7.0), member("WARN")}, {});
  EXPECT_EQ(agree[3].inferred_label, "-x+y+z");
  EXPECT_FALSE(agree[0].outlier || agree[1].outlier);
  EXPECT_TRUE(agree[2].outlier);
}

TEST(BidsGroups, MembersFromJson) {
  auto members = group_members_from_json(R"([{"acquisition": {"manufacturer": "Acme", "slice_orientation": "axial"},
      "shells": [{"nominal_b": 0, "is_b0": true}, {"nominal_b": 1000, "is_b0": false}],
      "status": "FLAG", "confidence": 4.5, "recommended_label": "-x+y+z"}, {}])");
  ASSERT_TRUE(members.ok());
  ASSERT_EQ(members->size(), 2u);
  EXPECT_EQ((*members)[0].shell_b_values, std::vector<double>{1000.0});
  EXPECT_EQ((*members)[0].confidence, 4.5);
  EXPECT_EQ(acquisition_key((*members)[0], {}), "manufacturer=Acme; b=1000; slices=axial");
  EXPECT_EQ((*members)[1].status, "ERROR");
  for (const char* bad : {"", "{}", "[1]", "[{]"}) {
    auto parsed = group_members_from_json(bad);
    ASSERT_FALSE(parsed.ok()) << bad;
    EXPECT_EQ(parsed.error().display(), "group records must be a JSON array of objects");
  }
}

}  // namespace
}  // namespace dirsieve
