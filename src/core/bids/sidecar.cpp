#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/bids/discovery.hpp"
#include "core/util/file_io.hpp"
#include "core/util/number_format.hpp"

namespace dirsieve {

namespace {

enum class Field { None, PhaseEncoding, ReadoutTime, Multiband };

// Reads the three reported members of the top-level object straight from the token stream, so
// that a repeated member is seen (a DOM would keep only one of them) and other members cost nothing.
class SidecarSax : public nlohmann::json_sax<nlohmann::json> {
 public:
  BidsSidecar sidecar;

  bool null() override { return value_seen(); }
  bool boolean(bool) override { return wrong_type_unless_ignored(); }
  bool number_integer(number_integer_t value) override {
    if (!at_member_value()) return true;
    switch (take_field()) {
      case Field::ReadoutTime:
        sidecar.total_readout_time = static_cast<double>(value);
        return true;
      case Field::Multiband:
        if (value < 0 || value > std::numeric_limits<std::uint32_t>::max()) return false;
        sidecar.multiband_acceleration_factor = static_cast<std::uint32_t>(value);
        return true;
      case Field::PhaseEncoding:
        return false;
      case Field::None:
        return true;
    }
    return true;
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (!at_member_value()) return true;
    switch (take_field()) {
      case Field::ReadoutTime:
        sidecar.total_readout_time = static_cast<double>(value);
        return true;
      case Field::Multiband:
        if (value > std::numeric_limits<std::uint32_t>::max()) return false;
        sidecar.multiband_acceleration_factor = static_cast<std::uint32_t>(value);
        return true;
      case Field::PhaseEncoding:
        return false;
      case Field::None:
        return true;
    }
    return true;
  }
  bool number_float(number_float_t value, const string_t&) override {
    if (!at_member_value()) return true;
    switch (take_field()) {
      case Field::ReadoutTime:
        // The parser turns out-of-range literals such as 1e400 into infinities; they are not numbers.
        if (!std::isfinite(value)) return false;
        sidecar.total_readout_time = value;
        return true;
      case Field::Multiband:
      case Field::PhaseEncoding:
        return false;
      case Field::None:
        return true;
    }
    return true;
  }
  bool string(string_t& value) override {
    if (!at_member_value()) return true;
    switch (take_field()) {
      case Field::PhaseEncoding:
        sidecar.phase_encoding_direction = value;
        return true;
      case Field::ReadoutTime:
      case Field::Multiband:
        return false;
      case Field::None:
        return true;
    }
    return true;
  }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override { return open_container(true); }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override { return open_container(false); }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool key(string_t& name) override {
    if (depth_ != 1) return true;
    pending_ = field_of(name);
    if (pending_ == Field::None) return true;
    const auto index = static_cast<std::size_t>(pending_);
    if (seen_[index]) return false;  // duplicate field
    seen_[index] = true;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

  bool top_level_was_object() const { return top_is_object_; }

 private:
  static Field field_of(const std::string& name) {
    if (name == "PhaseEncodingDirection") return Field::PhaseEncoding;
    if (name == "TotalReadoutTime") return Field::ReadoutTime;
    if (name == "MultibandAccelerationFactor") return Field::Multiband;
    return Field::None;
  }

  // A scalar at depth 0 means the document is not an object; inside the top-level object a scalar
  // is the value of the member whose key came last.
  bool at_member_value() const { return depth_ == 1; }
  Field take_field() {
    const Field field = pending_;
    pending_ = Field::None;
    return field;
  }
  bool value_seen() {
    if (at_member_value()) take_field();
    return true;
  }
  bool wrong_type_unless_ignored() {
    if (!at_member_value()) return true;
    return take_field() == Field::None;
  }
  bool open_container(bool is_object) {
    if (depth_ == 0) top_is_object_ = is_object;
    if (depth_ == 1 && take_field() != Field::None) return false;
    ++depth_;
    return true;
  }

  int depth_ = 0;
  bool top_is_object_ = false;
  Field pending_ = Field::None;
  bool seen_[4] = {false, false, false, false};
};

}  // namespace

std::optional<BidsSidecar> read_sidecar(const std::string& path) {
  auto bytes = read_file_bytes(path);
  if (!bytes.ok()) return std::nullopt;
  const std::string& text = bytes.value();
  // The parser would skip a byte-order mark silently; it is not JSON whitespace.
  if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) return std::nullopt;
  SidecarSax sax;
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(text, &sax, nlohmann::json::input_format_t::json, /*strict=*/true);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!parsed || !sax.top_level_was_object()) return std::nullopt;
  return sax.sidecar;
}

std::optional<std::string> sidecar_note(const BidsSidecar& sidecar) {
  std::vector<std::string> parts;
  if (sidecar.phase_encoding_direction) parts.push_back("PE=" + *sidecar.phase_encoding_direction);
  if (sidecar.total_readout_time) parts.push_back("TRT=" + format_fixed(*sidecar.total_readout_time, 4) + "s");
  if (sidecar.multiband_acceleration_factor) {
    parts.push_back("MB=" + std::to_string(*sidecar.multiband_acceleration_factor));
  }
  if (parts.empty()) return std::nullopt;
  std::string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) joined += ", ";
    joined += parts[i];
  }
  return "BIDS sidecar: " + joined;
}

}  // namespace dirsieve
