#include "core/repair/output_safety.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "core/gradients/fsl_format.hpp"
#include "core/gradients/grad_format.hpp"
#include "core/util/file_io.hpp"

namespace dirsieve {

namespace {

bool occupied(const std::string& path) {
  // Any directory entry counts, a dangling link included: a backup must never replace anything.
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

bool is_dangling_link(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && !path_exists(path);
}

enum class MoveOutcome { Moved, Taken, Failed };

struct MoveAttempt {
  MoveOutcome outcome;
  int error_number = 0;
};

// Moves `from` to `to` without ever replacing an entry at `to`.
MoveAttempt move_no_replace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return {MoveOutcome::Moved};
  }
  int err = errno;
  if (err == EEXIST) return {MoveOutcome::Taken};
  if (err != EINVAL && err != ENOSYS && err != ENOTSUP) return {MoveOutcome::Failed, err};

  // The file system does not know the flag: a hard link is just as exclusive.
  if (::link(from.c_str(), to.c_str()) == 0) {
    if (::unlink(from.c_str()) == 0) return {MoveOutcome::Moved};
    err = errno;
    ::unlink(to.c_str());
    return {MoveOutcome::Failed, err};
  }
  err = errno;
  if (err == EEXIST) return {MoveOutcome::Taken};
  if (err != EPERM && err != ENOTSUP && err != EMLINK) return {MoveOutcome::Failed, err};

  // No hard links here (or a directory): only a plain rename is left, guarded by a fresh check.
  if (occupied(to)) return {MoveOutcome::Taken};
  if (::rename(from.c_str(), to.c_str()) == 0) return {MoveOutcome::Moved};
  return {MoveOutcome::Failed, errno};
}

}  // namespace

std::string backup_candidate(const std::string& path, std::uint32_t attempt) {
  if (attempt == 0) return path + ".bak";
  return path + ".bak." + std::to_string(attempt);
}

Result<PreparedOutput> prepare_output_for_write(const std::string& path, bool in_place) {
  PreparedOutput prepared;
  if (!path_exists(path)) {
    prepared.create_exclusive = !is_dangling_link(path);
    return prepared;
  }
  if (!in_place) return CoreError::refuse_overwrite(path);

  std::uint32_t attempt = 0;
  for (;;) {
    std::string candidate = backup_candidate(path, attempt);
    if (!occupied(candidate)) {
      MoveAttempt moved = move_no_replace(path, candidate);
      if (moved.outcome == MoveOutcome::Moved) {
        prepared.backup = std::move(candidate);
        return prepared;
      }
      if (moved.outcome == MoveOutcome::Failed) return CoreError::io_errno(moved.error_number);
      // Taken in the meantime: try the next number.
    }
    if (attempt == std::numeric_limits<std::uint32_t>::max()) {
      return CoreError::io("no free backup name");
    }
    ++attempt;
  }
}

Result<std::optional<std::string>> prepare_output(const std::string& path, bool in_place) {
  DS_TRY_ASSIGN(PreparedOutput prepared, prepare_output_for_write(path, in_place));
  return std::move(prepared.backup);
}

Result<void> write_prepared_output(const std::string& path, const PreparedOutput& prepared,
                                   std::string_view contents) {
  if (prepared.create_exclusive) return write_new_file(path, contents);
  return write_whole_file(path, contents);
}

Result<void> write_prepared_fsl_pair(const std::string& bvec_path, const PreparedOutput& bvec_prepared,
                                     const std::string& bval_path, const PreparedOutput& bval_prepared,
                                     const GradientTable& table) {
  auto [bvec_text, bval_text] = format_fsl_pair_text(table);
  DS_TRY(write_prepared_output(bvec_path, bvec_prepared, bvec_text));
  return write_prepared_output(bval_path, bval_prepared, bval_text);
}

Result<void> write_prepared_grad_file(const std::string& path, const PreparedOutput& prepared,
                                      const GradientTable& table) {
  return write_prepared_output(path, prepared, format_grad_text(table));
}

}  // namespace dirsieve
