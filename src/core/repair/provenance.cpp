#include <sys/stat.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "core/repair/repair.hpp"

namespace dirsieve {

namespace {

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  // Closes now so that a failing close can be reported.
  int close_now() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

}  // namespace

JsonValue provenance_json(const ProvenanceContent& content, const std::string& timestamp) {
  JsonValue doc = JsonValue::object();
  doc.add("schema_version", std::uint32_t{1});
  doc.add("tool", kToolName);
  doc.add("tool_version", kToolVersion);
  doc.add("timestamp", timestamp);
  doc.add("inputs", to_json(content.inputs));
  if (!content.images.empty()) doc.add("images", to_json(content.images));
  if (content.invocation != nullptr) {
    for (const auto& [key, value] : content.invocation->as_object()) doc.add(key, value);
  }
  if (content.shells != nullptr) doc.add("shells", to_json(*content.shells));
  if (content.angular != nullptr) doc.add("angular", to_json(*content.angular));
  if (content.flip != nullptr) {
    doc.add("flip", to_json(*content.flip));
    if (content.verdict == nullptr && content.flip->recommended_transform && content.flip->recommended_label) {
      // Only an automatic (FLAG) repair names its transform here; a forced one carries no recommendation.
      doc.add("applied_transform", json_mat3(*content.flip->recommended_transform));
      doc.add("applied_label", *content.flip->recommended_label);
    }
  }
  if (content.verdict != nullptr) {
    doc.add("verdict", *content.verdict);
    if (content.applied_transform && content.applied_label) {
      doc.add("applied_transform", json_mat3(*content.applied_transform));
      doc.add("applied_label", *content.applied_label);
    }
    if (!content.applied_fix.is_null()) doc.add("applied_fix", content.applied_fix);
  }
  if (content.frame != nullptr) doc.add("frame", to_json(*content.frame, content.emitted_mrtrix));
  doc.add("outputs", json_array_of(content.outputs));
  doc.add("notes", json_array_of(content.notes));
  return doc;
}

Result<void> write_provenance(const std::string& path, const ProvenanceContent& content) {
  const std::string text = provenance_json(content, utc_timestamp_now()).to_pretty();

  ScopedFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) return CoreError::io_errno(errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return CoreError::json(os_error_text(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  if (fd.close_now() != 0 && errno != EINTR) return CoreError::json(os_error_text(errno));
  return {};
}

Result<void> check_provenance_target(const std::string& provenance, const std::vector<std::string>& protected_paths) {
  struct stat target {};
  const bool target_exists = ::stat(provenance.c_str(), &target) == 0;
  for (const std::string& path : protected_paths) {
    struct stat other {};
    const bool same_file = target_exists && ::stat(path.c_str(), &other) == 0 && other.st_dev == target.st_dev &&
                           other.st_ino == target.st_ino;
    if (path == provenance || same_file) return CoreError::refuse_overwrite(provenance);
  }
  return {};
}

}  // namespace dirsieve
