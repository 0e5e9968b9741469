#include "core/bids/discovery.hpp"

#include <utility>

#include "core/bids/tree_walk.hpp"

namespace dirsieve {

Result<std::vector<BidsRun>> discover_runs(const std::string& root) {
  using namespace bids_detail;
  // The batch skips only derivatives folders, at every depth.
  DS_TRY_ASSIGN(std::vector<std::string> files,
                collect_files(root, [](std::string_view name) { return name != "derivatives"; }));

  std::vector<BidsRun> runs;
  for (const std::string& path : files) {
    // Every collected path was built as directory + "/" + name.
    const auto split = split_file_path(path);
    if (!split) continue;
    const auto stem = dwi_stem(split->name);
    if (!stem) continue;
    const std::string stem_path = split->prefix + std::string(*stem);

    auto bvec = first_existing_file(stem_path, "bvec", "bvecs");
    auto bval = first_existing_file(stem_path, "bval", "bvals");
    if (!bvec || !bval) continue;

    BidsRun run;
    run.dwi = path;
    run.bvec = std::move(*bvec);
    run.bval = std::move(*bval);
    run.mask_candidates = mask_candidates(split->dir);
    const std::string sidecar = stem_path + ".json";
    if (is_existing_non_directory(sidecar)) run.sidecar = sidecar;
    run.name = std::string(*stem);
    runs.push_back(std::move(run));
  }
  return runs;
}

}  // namespace dirsieve
