#pragma once

#include <string_view>

namespace dirsieve {

// In rising severity.
enum class Status { Pass, Warn, Flag };

std::string_view status_name(Status status);

}  // namespace dirsieve
