// Path texts of the batch: paths are built and compared as byte strings, never normalised.
#pragma once

#include <string>
#include <string_view>

#include "core/util/utf8.hpp"  // is_valid_utf8, lossy_utf8

namespace dirsieve {

// `base` + "/" + `name`; no second separator when `base` already ends in one.
std::string join_path(std::string_view base, std::string_view name);

// Orders paths component by component, each component compared as bytes (so "sub-10" < "sub-2"
// and "a/b" < "a.b/c", where a plain text comparison would disagree).
bool path_less(std::string_view a, std::string_view b);

}  // namespace dirsieve
