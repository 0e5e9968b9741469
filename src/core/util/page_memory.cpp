#include "core/util/page_memory.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

namespace dirsieve {

namespace {

constexpr std::size_t kHugePage = std::size_t{1} << 21;

}  // namespace

void advise_huge_pages(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
  const std::uintptr_t last = (begin + bytes) & ~(std::uintptr_t{kHugePage} - 1);
  if (bytes < 2 * kHugePage || last <= first) return;
  // Only a hint: kernels without transparent huge pages refuse it, and small pages still work.
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

namespace {

// The whole pages inside [data, data + bytes), as [first, last).
std::pair<std::uintptr_t, std::uintptr_t> whole_pages(void* data, std::size_t bytes) {
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
  return {first, std::max(first, last)};
}

void populate(std::uintptr_t first, std::uintptr_t last) {
#ifdef MADV_POPULATE_WRITE
  if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)first;
  (void)last;
#endif
}

}  // namespace

void prefault(void* data, std::size_t bytes) {
  const std::pair<std::uintptr_t, std::uintptr_t> pages = whole_pages(data, bytes);
  const std::uintptr_t first = pages.first;
  const std::uintptr_t last = pages.second;
  const std::size_t pieces = (last - first + kHugePage - 1) / kHugePage;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, pieces), [&](const tbb::blocked_range<std::size_t>& r) {
    populate(first + r.begin() * kHugePage, std::min<std::uintptr_t>(last, first + r.end() * kHugePage));
  });
}

void prefault_backwards(void* data, std::size_t bytes) {
  const auto [first, last] = whole_pages(data, bytes);
  for (std::uintptr_t end = last; end > first;) {
    const std::uintptr_t begin = end - std::min<std::uintptr_t>(end - first, kHugePage);
    populate(begin, end);
    end = begin;
  }
}

Result<PageBuffer> PageBuffer::allocate(std::size_t bytes) {
  PageBuffer buffer;
  if (bytes == 0) return buffer;
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    return CoreError::io("out of memory: cannot reserve " + std::to_string(bytes) + " bytes (" +
                         os_error_text(errno) + ")");
  }
  advise_huge_pages(p, bytes);
  buffer.data_ = static_cast<std::uint8_t*>(p);
  buffer.size_ = bytes;
  return buffer;
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) ::munmap(data_, size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

PageBuffer::~PageBuffer() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

Result<MappedFile> MappedFile::map(int fd, std::uint64_t size) {
  MappedFile file;
  if (size == 0) return file;
  if (size > static_cast<std::uint64_t>(SIZE_MAX)) return CoreError::io("file too large to map");
  void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return CoreError::io("cannot map image file: " + os_error_text(errno));
  // Read front to back once.
  (void)::madvise(p, static_cast<std::size_t>(size), MADV_SEQUENTIAL);
  file.data_ = static_cast<const std::uint8_t*>(p);
  file.size_ = static_cast<std::size_t>(size);
  return file;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

}  // namespace dirsieve
