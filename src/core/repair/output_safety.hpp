// The rule that guards every rewritten gradient file: refuse, or move the old file to a numbered backup.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/gradients/table.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

// Returns the backup path when an existing file was moved aside.
Result<std::optional<std::string>> prepare_output(const std::string& path, bool in_place);

// What prepare_output_for_write leaves behind for the write that follows.
struct PreparedOutput {
  std::optional<std::string> backup;
  // The path is free (absent, or its old file moved aside): the write must create it exclusively, so a file
  // that appears in between is reported instead of clobbered. False only when a dangling symbolic link stands
  // at the path; that is written through, creating the link's target.
  bool create_exclusive = true;
};

// As prepare_output, also telling the caller how to write the file.
Result<PreparedOutput> prepare_output_for_write(const std::string& path, bool in_place);

// Writes the whole contents at a path that prepare_output_for_write has prepared.
Result<void> write_prepared_output(const std::string& path, const PreparedOutput& prepared,
                                   std::string_view contents);

// The gradient text formats written at prepared paths: the bvec file first; a failed bvec write leaves the
// bval path untouched.
Result<void> write_prepared_fsl_pair(const std::string& bvec_path, const PreparedOutput& bvec_prepared,
                                     const std::string& bval_path, const PreparedOutput& bval_prepared,
                                     const GradientTable& table);
Result<void> write_prepared_grad_file(const std::string& path, const PreparedOutput& prepared,
                                      const GradientTable& table);

// The backup name for attempt `attempt`: "<path>.bak" for 0, "<path>.bak.<n>" for n >= 1.
std::string backup_candidate(const std::string& path, std::uint32_t attempt);

// A file an output set put in place, and where the file it replaced went (with in_place).
struct CommittedOutput {
  std::string path;
  std::optional<std::string> backup;
};

// Checks a target before any work: its folder exists and accepts a new file (tried, not assumed), the
// target is not a folder, and without `in_place` nothing stands there yet.
Result<void> check_output_target(const std::string& path, bool in_place);

// Files written all or nothing: each is written in full under a temporary name beside its target, and only
// when every one is complete are they moved into place (an existing file first to a numbered backup, with
// in_place). When anything fails, the temporaries are removed and every file that stood at a target is back
// where it was. Temporaries left by an unfinished set are removed by its destructor.
class OutputSet {
 public:
  explicit OutputSet(bool in_place) : in_place_(in_place) {}
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
  OutputSet(OutputSet&&) noexcept = default;
  OutputSet& operator=(OutputSet&&) noexcept = default;
  ~OutputSet();

  // Writes `contents` under a temporary name beside `path` (nothing at `path` is touched yet).
  Result<void> stage(const std::string& path, std::string_view contents);
  // Moves every staged file into place, in staging order.
  Result<std::vector<CommittedOutput>> commit();
  bool empty() const { return staged_.empty(); }

 private:
  struct Staged {
    std::string path;
    std::string temporary;
  };
  bool in_place_;
  std::vector<Staged> staged_;
};

// Undoes a committed set: each file is removed and the backup it displaced moved back, last first.
Result<void> restore_outputs(const std::vector<CommittedOutput>& committed);

}  // namespace dirsieve
