// Large buffers taken straight from the kernel: anonymous memory for image-sized arrays and
// read-only views of files, both released when their owner goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/util/result.hpp"

namespace dirsieve {

// Zero-filled anonymous memory. Buffers of several megabytes are advised to use huge pages, which
// makes first touch of an image-sized array several times cheaper.
class PageBuffer {
 public:
  PageBuffer() = default;
  static Result<PageBuffer> allocate(std::size_t bytes);

  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  ~PageBuffer();

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// A whole regular file mapped read-only; empty for an empty file.
class MappedFile {
 public:
  MappedFile() = default;
  // Maps `size` bytes of the open descriptor `fd` (which the caller keeps owning).
  static Result<MappedFile> map(int fd, std::uint64_t size);

  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Advises the whole huge pages inside [data, data + bytes) to be backed by huge pages; a hint only.
void advise_huge_pages(void* data, std::size_t bytes);

// Backs the whole pages inside [data, data + bytes) with memory now, as writes would, without
// changing what they hold; a hint only (kernels before 5.14 ignore it). `prefault` spreads the work
// over the current task arena; `prefault_backwards` works from the end on the calling thread, so that
// it can run beside a writer that fills the range from the front.
void prefault(void* data, std::size_t bytes);
void prefault_backwards(void* data, std::size_t bytes);

}  // namespace dirsieve
