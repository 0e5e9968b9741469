// read_sidecar on arbitrary bytes: never a crash or an exception, and what it accepts is consistent.
#include <cmath>
#include <cstdlib>

#include "core/bids/discovery.hpp"
#include "core/util/json.hpp"
#include "fuzz_input_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = dirsieve_fuzz::write_input(".json", data, size);
  auto sidecar = dirsieve::read_sidecar(path);
  if (!sidecar) return 0;
  if (sidecar->total_readout_time && !std::isfinite(*sidecar->total_readout_time)) std::abort();
  auto note = dirsieve::sidecar_note(*sidecar);
  const bool any = sidecar->phase_encoding_direction || sidecar->total_readout_time ||
                   sidecar->multiband_acceleration_factor;
  if (note.has_value() != any) std::abort();
  if (note) {
    // The note ends up in JSON reports.
    std::string out;
    dirsieve::append_json_string(out, *note);
  }
  return 0;
}
