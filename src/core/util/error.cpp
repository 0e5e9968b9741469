#include "core/util/error.hpp"

#include <cstring>

#include "core/util/number_format.hpp"

namespace dirsieve {

CoreError CoreError::io(std::string message) {
  CoreError e(ErrorKind::Io);
  e.text_ = std::move(message);
  return e;
}

CoreError CoreError::io_errno(int error_number) { return io(os_error_text(error_number)); }

CoreError CoreError::nifti(std::string message) {
  CoreError e(ErrorKind::Nifti);
  e.text_ = std::move(message);
  return e;
}

CoreError CoreError::json(std::string message) {
  CoreError e(ErrorKind::Json);
  e.text_ = std::move(message);
  return e;
}

CoreError CoreError::parse(std::string what, std::string detail) {
  CoreError e(ErrorKind::Parse);
  e.text_ = std::move(what);
  e.detail_ = std::move(detail);
  return e;
}

CoreError CoreError::gradient_table_mismatch(std::uint64_t directions, std::uint64_t bvals) {
  CoreError e(ErrorKind::GradientTableMismatch);
  e.first_ = directions;
  e.second_ = bvals;
  return e;
}

CoreError CoreError::volume_mismatch(std::uint64_t gradients, std::uint64_t volumes) {
  CoreError e(ErrorKind::VolumeMismatch);
  e.first_ = gradients;
  e.second_ = volumes;
  return e;
}

CoreError CoreError::mask_grid_mismatch(std::uint64_t mask_voxels, std::uint64_t grid_voxels) {
  CoreError e(ErrorKind::MaskGridMismatch);
  e.first_ = mask_voxels;
  e.second_ = grid_voxels;
  return e;
}

CoreError CoreError::bad_thread_count() { return CoreError(ErrorKind::BadThreadCount); }

CoreError CoreError::thread_pool(std::string message) {
  CoreError e(ErrorKind::ThreadPool);
  e.text_ = std::move(message);
  return e;
}

CoreError CoreError::dti_fit(std::string message) {
  CoreError e(ErrorKind::DtiFit);
  e.text_ = std::move(message);
  return e;
}

CoreError CoreError::no_flip_shell() { return CoreError(ErrorKind::NoFlipShell); }

CoreError CoreError::bad_margin_threshold(double value) {
  CoreError e(ErrorKind::BadMarginThreshold);
  e.value_ = value;
  return e;
}

CoreError CoreError::strict_amplitude(std::string note) {
  CoreError e(ErrorKind::StrictAmplitude);
  e.text_ = std::move(note);
  return e;
}

CoreError CoreError::refuse_overwrite(std::string path) {
  CoreError e(ErrorKind::RefuseOverwrite);
  e.text_ = std::move(path);
  return e;
}

CoreError CoreError::invalid_input(std::string message) {
  CoreError e(ErrorKind::InvalidInput);
  e.text_ = std::move(message);
  return e;
}

std::string CoreError::display() const {
  switch (kind_) {
    case ErrorKind::Io:
      return "I/O error: " + text_;
    case ErrorKind::Nifti:
      return "NIfTI error: " + text_;
    case ErrorKind::Json:
      return "JSON error: " + text_;
    case ErrorKind::Parse:
      return "failed to parse " + text_ + ": " + detail_;
    case ErrorKind::GradientTableMismatch:
      return "gradient table mismatch: " + std::to_string(first_) + " directions but " +
             std::to_string(second_) + " b-values";
    case ErrorKind::VolumeMismatch:
      return "volume mismatch: " + std::to_string(first_) + " gradients but " +
             std::to_string(second_) + " DWI volumes";
    case ErrorKind::MaskGridMismatch:
      return "mask grid mismatch: mask has " + std::to_string(first_) +
             " voxels but the DWI grid has " + std::to_string(second_);
    case ErrorKind::BadThreadCount:
      return "threads must be a positive integer";
    case ErrorKind::ThreadPool:
      return "could not create thread pool: " + text_;
    case ErrorKind::DtiFit:
      return "DTI fit failed: " + text_;
    case ErrorKind::NoFlipShell:
      return "no usable non-b0 shell for flip detection";
    case ErrorKind::BadMarginThreshold:
      return "margin threshold must be finite and in (0, 1]: " + format_shortest_plain(value_);
    case ErrorKind::StrictAmplitude:
      return "amplitude-encoded bvecs (--strict): " + text_;
    case ErrorKind::RefuseOverwrite:
      return "refusing to overwrite existing file: " + text_ + " (pass --force to allow)";
    case ErrorKind::InvalidInput:
      return text_;
  }
  return "unknown error";
}

std::string os_error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r returns a pointer that may or may not be the buffer.
  const char* message = strerror_r(error_number, buffer, sizeof buffer);
  return std::string(message) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace dirsieve
