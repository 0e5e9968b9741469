#include <gtest/gtest.h>

#include <unistd.h>

#include "core/repair/output_safety.hpp"
#include "test_repair_support.hpp"

namespace dirsieve {
namespace {

using testing::put;
using testing::ScratchDir;
using testing::slurp;

TEST(RepairOutputSafety, AbsentIsUntouchedAndExistingIsRefusedWithoutInPlace) {
  ScratchDir dir;
  const std::string target = dir.path("dwi.bvec");
  auto absent = prepare_output(target, false);
  ASSERT_TRUE(absent.ok());
  EXPECT_FALSE(absent->has_value());
  EXPECT_TRUE(dir.entries().empty());

  put(target, "original\n");
  auto refused = prepare_output(target, false);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().display(), "refusing to overwrite existing file: " + target + " (pass --force to allow)");
  EXPECT_EQ(slurp(target), "original\n");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"dwi.bvec"});
}

TEST(RepairOutputSafety, BackupsAreNumberedAndNeverReplaceAnything) {
  ScratchDir dir;
  const std::string target = dir.path("dwi.bvec");
  put(target, "first\n");
  EXPECT_EQ(prepare_output(target, true)->value_or(""), target + ".bak");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"dwi.bvec.bak"});

  put(target + ".bak.1", "older\n");
  ASSERT_EQ(::symlink("nowhere", (target + ".bak.2").c_str()), 0);  // dangling, still taken
  put(target, "second\n");
  EXPECT_EQ(prepare_output(target, true)->value_or(""), target + ".bak.3");
  EXPECT_EQ(slurp(target + ".bak"), "first\n");
  EXPECT_EQ(slurp(target + ".bak.1"), "older\n");
  EXPECT_EQ(std::filesystem::read_symlink(target + ".bak.2"), "nowhere");
  EXPECT_EQ(slurp(target + ".bak.3"), "second\n");
}

TEST(RepairOutputSafety, FileAppearingAfterPreparationIsNotClobbered) {
  ScratchDir dir;
  const std::string target = dir.path("dwi.bvec");
  put(target, "old\n");
  auto prepared = prepare_output_for_write(target, true);
  ASSERT_TRUE(prepared.ok());
  put(target, "someone else's\n");
  auto written = write_prepared_output(target, *prepared, "ours\n");
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().kind(), ErrorKind::Io);
  EXPECT_EQ(slurp(target), "someone else's\n");
  EXPECT_EQ(slurp(target + ".bak"), "old\n");
}

TEST(RepairOutputSafety, UnreachableTargetsAreAbsentAndTheWriteFails) {
  ScratchDir dir;
  put(dir.path("file.txt"), "plain\n");
  for (const std::string& target : {dir.path("missing/dwi.bvec"), dir.path("file.txt/x")}) {
    auto prepared = prepare_output_for_write(target, true);
    ASSERT_TRUE(prepared.ok()) << target;
    EXPECT_FALSE(prepared->backup.has_value());
    auto written = write_prepared_output(target, *prepared, "1\n");
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().display().rfind("I/O error: ", 0), 0u);
  }
  EXPECT_EQ(dir.entries(), std::set<std::string>{"file.txt"});

  // A dangling link counts as absent and is written through to its target.
  ASSERT_EQ(::symlink("made.bvec", dir.path("link.bvec").c_str()), 0);
  auto through = prepare_output_for_write(dir.path("link.bvec"), false);
  ASSERT_TRUE(through.ok());
  ASSERT_TRUE(write_prepared_output(dir.path("link.bvec"), *through, "x\n").ok());
  EXPECT_EQ(slurp(dir.path("made.bvec")), "x\n");
}

TEST(RepairOutputSafety, FailedBackupMoveLeavesTheOriginalInPlace) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path("outdir"));
  put(dir.path("outdir/keep"), "k\n");
  // "outdir/" + ".bak" names a place inside the directory itself, where it cannot be moved.
  auto backup = prepare_output(dir.path("outdir") + "/", true);
  ASSERT_FALSE(backup.ok());
  EXPECT_EQ(backup.error().kind(), ErrorKind::Io);
  EXPECT_EQ(slurp(dir.path("outdir/keep")), "k\n");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"outdir"});
}

}  // namespace
}  // namespace dirsieve
