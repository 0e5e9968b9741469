#include "core/bids/path_text.hpp"

#include <cstddef>
#include <cstdint>

namespace dirsieve {

namespace {

std::string_view component_at(std::string_view path, std::size_t& pos) {
  while (pos < path.size() && path[pos] == '/') ++pos;
  const std::size_t start = pos;
  while (pos < path.size() && path[pos] != '/') ++pos;
  return path.substr(start, pos - start);
}

}  // namespace

std::string join_path(std::string_view base, std::string_view name) {
  std::string out(base);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

bool path_less(std::string_view a, std::string_view b) {
  // An absolute path sorts before a relative one, as its root is a component of its own.
  const bool a_abs = !a.empty() && a.front() == '/';
  const bool b_abs = !b.empty() && b.front() == '/';
  if (a_abs != b_abs) return a_abs;
  std::size_t pa = 0;
  std::size_t pb = 0;
  for (;;) {
    const std::string_view ca = component_at(a, pa);
    const std::string_view cb = component_at(b, pb);
    if (ca.empty() || cb.empty()) return ca.empty() && !cb.empty();
    // string_view compares as unsigned bytes (char_traits<char>::compare uses memcmp semantics).
    const int order = ca.compare(cb);
    if (order != 0) return order < 0;
  }
}

}  // namespace dirsieve
