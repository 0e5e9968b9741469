// The core's single error type: one kind per expected failure, each with a fixed display text.
#pragma once

#include <cstdint>
#include <string>

namespace dirsieve {

enum class ErrorKind : std::uint8_t {
  Io,
  Nifti,
  Json,
  Parse,
  GradientTableMismatch,
  VolumeMismatch,
  MaskGridMismatch,
  BadThreadCount,
  ThreadPool,
  DtiFit,
  NoFlipShell,
  BadMarginThreshold,
  StrictAmplitude,
  RefuseOverwrite,
  InvalidInput,  // checks of the engine beyond the module's own: the message says it all
};

class CoreError {
 public:
  // I/O failure with an already formatted platform message ("... (os error N)" where applicable).
  static CoreError io(std::string message);
  // I/O failure reported by the operating system through errno.
  static CoreError io_errno(int error_number);
  static CoreError nifti(std::string message);
  static CoreError json(std::string message);
  static CoreError parse(std::string what, std::string detail);
  static CoreError gradient_table_mismatch(std::uint64_t directions, std::uint64_t bvals);
  static CoreError volume_mismatch(std::uint64_t gradients, std::uint64_t volumes);
  static CoreError mask_grid_mismatch(std::uint64_t mask_voxels, std::uint64_t grid_voxels);
  static CoreError bad_thread_count();
  static CoreError thread_pool(std::string message);
  static CoreError dti_fit(std::string message);
  static CoreError no_flip_shell();
  static CoreError bad_margin_threshold(double value);
  static CoreError strict_amplitude(std::string note);
  static CoreError refuse_overwrite(std::string path);
  static CoreError invalid_input(std::string message);

  ErrorKind kind() const { return kind_; }
  // The payload text: the message, the path or the note, depending on the kind.
  const std::string& text() const { return text_; }
  std::string display() const;

 private:
  explicit CoreError(ErrorKind kind) : kind_(kind) {}

  ErrorKind kind_;
  std::string text_;
  std::string detail_;
  std::uint64_t first_ = 0;
  std::uint64_t second_ = 0;
  double value_ = 0.0;
};

// The operating system's text for an errno value followed by " (os error N)".
std::string os_error_text(int error_number);

}  // namespace dirsieve
