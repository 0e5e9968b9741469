#include "core/bids/batch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

#include "core/bids/discovery.hpp"
#include "core/bids/path_text.hpp"
#include "core/bids/summary.hpp"
#include "core/gradients/fsl_format.hpp"
#include "core/pipeline/audit.hpp"
#include "core/repair/frames.hpp"
#include "core/report/input_record.hpp"
#include "core/report/report.hpp"
#include "core/util/file_io.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve {

namespace {

BatchResult failed(std::string message) {
  BatchResult result;
  result.failure = BatchFailure{std::move(message)};
  return result;
}

std::string parent_path(const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Creates `path` and any missing parents; an existing directory is fine.
Result<void> create_directories(const std::string& path) {
  if (is_directory(path)) return {};
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int error = errno;
  if (error == ENOENT) {
    const std::string parent = parent_path(path);
    if (!parent.empty() && parent != path) {
      DS_TRY(create_directories(parent));
      if (::mkdir(path.c_str(), 0777) == 0) return {};
      error = errno;
    }
  }
  if (error == EEXIST && is_directory(path)) return {};
  return CoreError::io_errno(error);
}

class OutputFile {
 public:
  explicit OutputFile(int fd) : fd_(fd) {}
  ~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  int get() const { return fd_; }
  int close_now() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

// A report file: failing to create it is an I/O error, failing to get the document into it
// (a short disk, a failing close) is a JSON error.
Result<void> write_report_file(const std::string& path, std::string_view text) {
  OutputFile file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (file.get() < 0) return CoreError::io_errno(errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(file.get(), text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return CoreError::json(os_error_text(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  if (file.close_now() != 0 && errno != EINTR) return CoreError::json(os_error_text(errno));
  return {};
}

Result<InputRecord> input_record(const std::string& path) {
  DS_TRY_ASSIGN(InputRecord record, make_input_record(path));
  // Found paths may hold bytes that are not UTF-8; the report must stay valid JSON.
  record.path = lossy_utf8(record.path);
  return record;
}

// The first candidate that loads as a mask on the DWI's grid; unusable candidates are passed over.
struct ChosenMask {
  std::string path;
  MaskVolume volume;
};

std::optional<ChosenMask> choose_mask(const BidsRun& run, const DwiVolume& dwi) {
  for (const std::string& candidate : run.mask_candidates) {
    auto loaded = load_mask(candidate);
    if (!loaded.ok() || !loaded.value().has_value()) continue;
    if (loaded.value()->flags.size() != dwi.grid_voxels()) continue;
    return ChosenMask{candidate, std::move(*loaded.value())};
  }
  return std::nullopt;
}

Result<Status> audit_run(const BidsRun& run, const std::string& out_dir, const BatchOptions& batch) {
  DS_TRY_ASSIGN(GradientTable table, read_fsl_pair(run.bvec, run.bval));
  DS_TRY_ASSIGN(DwiVolume dwi, load_dwi(run.dwi));

  AuditOptions options = batch.audit;
  options.flip.frame_map = frame_map(dwi.affine, /*grad_given=*/false);
  options.flip.step = prepare_volume_options(dwi, /*grad_given=*/false, batch.step).step;

  std::optional<ChosenMask> mask = choose_mask(run, dwi);

  std::vector<InputRecord> inputs;
  DS_TRY_ASSIGN(InputRecord bvec_record, input_record(run.bvec));
  inputs.push_back(std::move(bvec_record));
  DS_TRY_ASSIGN(InputRecord bval_record, input_record(run.bval));
  inputs.push_back(std::move(bval_record));
  if (mask) {
    DS_TRY_ASSIGN(InputRecord mask_record, input_record(mask->path));
    inputs.push_back(std::move(mask_record));
  }

  DS_TRY_ASSIGN(Report report, run_audit(table, std::move(inputs), &dwi, mask ? &mask->volume : nullptr, options));

  if (run.sidecar) {
    if (auto sidecar = read_sidecar(*run.sidecar)) {
      if (auto note = sidecar_note(*sidecar)) report.add_note(std::move(*note));
    }
  }

  DS_TRY(write_report_file(join_path(out_dir, run.name + "_report.json"), report_to_pretty_json(report)));
  return report.status;
}

}  // namespace

BatchResult run_bids_batch(const std::string& root, const BatchOptions& options) {
  auto discovered = discover_runs(root);
  if (!discovered.ok()) return failed(discovered.error().text());
  const std::vector<BidsRun>& runs = discovered.value();
  if (runs.empty()) {
    return failed("no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under " + root);
  }

  const std::string out_dir = join_path(join_path(root, "derivatives"), "dirsieve");
  if (auto created = create_directories(out_dir); !created.ok()) return failed(created.error().text());

  BatchOutcome outcome;
  for (const BidsRun& run : runs) {
    auto status = audit_run(run, out_dir, options);
    if (!status.ok()) return failed(status.error().display());
    outcome.results.push_back(RunResult{run.name, run.dwi, status.value()});
    outcome.status = std::max(outcome.status, status.value());
  }

  outcome.summary_path = join_path(out_dir, "dataset_summary.json");
  const std::string text = dataset_summary_json(root, outcome).to_pretty();
  if (auto written = write_whole_file(outcome.summary_path, text); !written.ok()) {
    return failed(written.error().text());
  }

  BatchResult result;
  result.outcome = std::move(outcome);
  return result;
}

}  // namespace dirsieve
