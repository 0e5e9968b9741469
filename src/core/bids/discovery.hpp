// Finding the diffusion runs of a BIDS dataset and reading their sidecars.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/util/result.hpp"

namespace dirsieve {

struct BidsRun {
  std::string dwi;
  std::string bvec;
  std::string bval;
  std::vector<std::string> mask_candidates;
  std::optional<std::string> sidecar;
  std::string name;  // the DWI stem, e.g. sub-01_ses-1_dwi
};

// An I/O failure carries the platform text only (CoreError::io).
Result<std::vector<BidsRun>> discover_runs(const std::string& root);

struct BidsSidecar {
  std::optional<std::string> phase_encoding_direction;
  std::optional<double> total_readout_time;
  std::optional<std::uint32_t> multiband_acceleration_factor;
};

std::optional<BidsSidecar> read_sidecar(const std::string& path);
std::optional<std::string> sidecar_note(const BidsSidecar& sidecar);

}  // namespace dirsieve
