#include "core/repair/output_safety.hpp"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <utility>
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

namespace {

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

CoreError cannot_write(const std::string& path, int error_number) {
  return CoreError::invalid_input("cannot write " + path + ": " + os_error_text(error_number));
}

// Creates a new, empty file with a unique temporary name beside `path`; returns its name and descriptor.
Result<std::pair<std::string, int>> create_temporary(const std::string& path) {
  // The clock only makes a clash unlikely; O_EXCL is what guarantees a fresh file.
  const std::string stem = folder_of(path) + "/." + base_of(path) + ".dirsieve-" + std::to_string(::getpid()) + "-";
  const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (std::uint64_t attempt = 0; attempt < 100; ++attempt) {
    std::string name = stem + std::to_string(now + attempt) + ".tmp";
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return std::make_pair(std::move(name), fd);
    if (errno != EEXIST) return cannot_write(path, errno);
  }
  return cannot_write(path, EEXIST);
}

// Moves the file at `path` to the first free backup name.
Result<std::string> move_to_backup(const std::string& path) {
  for (std::uint32_t attempt = 0; attempt < std::numeric_limits<std::uint32_t>::max(); ++attempt) {
    std::string candidate = backup_candidate(path, attempt);
    if (occupied(candidate)) continue;
    const MoveAttempt moved = move_no_replace(path, candidate);
    if (moved.outcome == MoveOutcome::Moved) return candidate;
    if (moved.outcome == MoveOutcome::Failed) {
      return CoreError::invalid_input("cannot move " + path + " to its backup " + candidate + ": " +
                                      os_error_text(moved.error_number));
    }
  }
  return CoreError::invalid_input("cannot back up " + path + ": no free backup name");
}

}  // namespace

Result<void> check_output_target(const std::string& path, bool in_place) {
  if (path.empty()) return CoreError::invalid_input("an output path is empty");
  const std::string folder = folder_of(path);
  if (!is_directory(folder)) {
    return CoreError::invalid_input("cannot write " + path + ": folder " + folder + " does not exist");
  }
  if (is_directory(path)) return CoreError::invalid_input("cannot write " + path + ": it is a folder");
  if (occupied(path) && !in_place) return CoreError::refuse_overwrite(path);
  // Permissions alone do not tell (root, read-only mounts, immutable folders): try it.
  DS_TRY_ASSIGN(auto probe, create_temporary(path));
  ::close(probe.second);
  ::unlink(probe.first.c_str());
  return {};
}

OutputSet::~OutputSet() {
  for (const Staged& s : staged_) ::unlink(s.temporary.c_str());
}

Result<void> OutputSet::stage(const std::string& path, std::string_view contents) {
  DS_TRY_ASSIGN(auto created, create_temporary(path));
  auto [temporary, fd] = std::move(created);
  std::size_t done = 0;
  int error_number = 0;
  while (done < contents.size()) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_number = errno;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (error_number == 0 && ::fsync(fd) != 0) error_number = errno;
  if (::close(fd) != 0 && error_number == 0 && errno != EINTR) error_number = errno;
  if (error_number != 0) {
    ::unlink(temporary.c_str());
    return cannot_write(path, error_number);
  }
  staged_.push_back({path, std::move(temporary)});
  return {};
}

Result<std::vector<CommittedOutput>> OutputSet::commit() {
  std::vector<CommittedOutput> committed;
  for (std::size_t i = 0; i < staged_.size(); ++i) {
    const Staged& s = staged_[i];
    Result<void> step = [&]() -> Result<void> {
      CommittedOutput out{s.path, std::nullopt};
      if (occupied(s.path)) {
        if (!in_place_) return CoreError::refuse_overwrite(s.path);
        DS_TRY_ASSIGN(out.backup, move_to_backup(s.path));
      }
      const MoveAttempt moved = move_no_replace(s.temporary, s.path);
      if (moved.outcome != MoveOutcome::Moved) {
        // Put the displaced file back before reporting.
        if (out.backup) move_no_replace(*out.backup, s.path);
        if (moved.outcome == MoveOutcome::Taken) return CoreError::refuse_overwrite(s.path);
        return cannot_write(s.path, moved.error_number);
      }
      committed.push_back(std::move(out));
      return {};
    }();
    if (!step) {
      // Undo what was moved; the destructor removes the temporaries still staged.
      (void)restore_outputs(committed);
      staged_.erase(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(i));
      return std::move(step).error();
    }
  }
  staged_.clear();
  return committed;
}

Result<void> restore_outputs(const std::vector<CommittedOutput>& committed) {
  std::optional<CoreError> first;
  for (auto it = committed.rbegin(); it != committed.rend(); ++it) {
    if (::unlink(it->path.c_str()) != 0 && errno != ENOENT && !first) first = cannot_write(it->path, errno);
    if (it->backup) {
      const MoveAttempt moved = move_no_replace(*it->backup, it->path);
      if (moved.outcome != MoveOutcome::Moved && !first) {
        first = CoreError::invalid_input("cannot move the backup " + *it->backup + " back to " + it->path);
      }
    }
  }
  if (first) return *first;
  return {};
}

}  // namespace dirsieve
