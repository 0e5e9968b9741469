// Discovery of the diffusion runs of a BIDS dataset for the engine's dataset runner: the folders BIDS
// sets aside are skipped, tables and sidecars are inherited from higher levels, and runs that cannot
// be audited are listed with the reason.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/bids/acquisition.hpp"
#include "core/util/json.hpp"
#include "core/util/result.hpp"

namespace dirsieve {

struct DatasetRun {
  std::string name;  // the DWI stem, e.g. sub-01_ses-1_dwi
  std::string subject;  // the sub- label of the file name ("" when it has none)
  std::optional<std::string> session;
  std::string dwi;
  std::string folder;  // the DWI's folder relative to the root ("" at the root), e.g. sub-01/ses-1/dwi
  std::optional<std::string> bvec;  // the run's own table file, or the one it inherits
  std::optional<std::string> bval;
  bool bvec_inherited = false;
  bool bval_inherited = false;
  std::optional<std::string> mask;  // the first mask file beside the DWI whose grid is the DWI's
  std::vector<std::string> sidecars;  // the JSON sidecars that apply, outermost first
  AcquisitionFacts acquisition;
  std::vector<std::string> notes;  // what discovery could not use (a sidecar that is not JSON, ...)
  std::optional<std::string> problem;  // why the run cannot be audited
};

struct DatasetFilter {
  std::vector<std::string> participants;  // labels, with or without "sub-"; empty: every participant
  std::vector<std::string> sessions;      // labels, with or without "ses-"; empty: every session
};

// Walks `root`, skipping sourcedata/, code/, derivatives/ and hidden entries at every depth. A table
// file (.bvec/.bval) applies to a run when it is the run's own (same stem; the plural .bvecs/.bvals
// forms are accepted there too) or, by the BIDS inheritance principle, when it sits in the run's folder
// or a folder above it within the root and its entities are a subset of the run's ("dwi.bval",
// "sub-01_dwi.bval", "acq-b1000_dwi.bval"): the nearest level wins, and two files at that level
// that apply equally make the run a problem. Sidecars merge from the outermost level inwards.
Result<std::vector<DatasetRun>> discover_dataset(const std::string& root, const DatasetFilter& filter);

JsonValue to_json(const DatasetRun& run);

}  // namespace dirsieve
