// Whole-buffer inflation of gzip files with libdeflate. Private to the volumes unit.
#pragma once

#include <cstdint>
#include <span>

namespace dirsieve::volumes_detail {

// Inflates the gzip members at the start of `in`, one after the other, into `out`, and succeeds only
// when they fill it exactly: every member's header is well formed, its deflate data decodes, and its
// trailer's CRC-32 and length (mod 2^32) match what it produced. Whatever follows the member that
// completes `out` is not looked at. Returns false for anything else (corrupt, truncated, a member
// holding more than `out` has room for, ...); `out` is then partly written and the caller decides
// with the streaming decoder, which also names the problem.
bool inflate_gzip_members(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

}  // namespace dirsieve::volumes_detail
