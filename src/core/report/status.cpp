#include "core/report/status.hpp"

namespace dirsieve {

std::string_view status_name(Status status) {
  switch (status) {
    case Status::Pass: return "PASS";
    case Status::Warn: return "WARN";
    case Status::Flag: return "FLAG";
  }
  return "PASS";
}

}  // namespace dirsieve
