#include "core/util/file_io.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dirsieve {

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes explicitly so that a failing close is reported.
  int release_and_close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

Result<void> write_with_flags(const std::string& path, std::string_view contents, int flags) {
  FileDescriptor fd(::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0666));
  if (fd.get() < 0) return CoreError::io_errno(errno);
  std::size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd.get(), contents.data() + done, contents.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return CoreError::io_errno(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (fd.release_and_close() != 0 && errno != EINTR) return CoreError::io_errno(errno);
  return {};
}

}  // namespace

Result<std::string> read_file_bytes(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return CoreError::io_errno(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return CoreError::io_errno(errno);
  if (S_ISDIR(info.st_mode)) return CoreError::io_errno(EISDIR);
  std::string data;
  if (info.st_size > 0) data.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return CoreError::io_errno(errno);
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

Result<void> write_whole_file(const std::string& path, std::string_view contents) {
  return write_with_flags(path, contents, O_CREAT | O_TRUNC);
}

Result<void> write_new_file(const std::string& path, std::string_view contents) {
  return write_with_flags(path, contents, O_CREAT | O_EXCL);
}

bool path_exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool is_directory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace dirsieve
