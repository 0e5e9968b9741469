#pragma once

#include <string>
#include <string_view>

namespace dirsieve {

// SHA-256 of `data` as 64 lowercase hexadecimal digits.
std::string sha256_hex(std::string_view data);

}  // namespace dirsieve
