#include "core/bids/dataset.hpp"

#include <algorithm>
#include <map>
#include <string_view>
#include <utility>

#include "core/bids/path_text.hpp"
#include "core/bids/tree_walk.hpp"
#include "core/util/file_io.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve {

namespace {

using namespace bids_detail;

// Folders BIDS keeps apart from the raw data, and hidden entries.
bool is_raw_data_folder(std::string_view name) {
  return name != "sourcedata" && name != "code" && name != "derivatives" && !name.starts_with(".");
}

// The key-value entities of a stem such as "sub-01_ses-1_dwi" (the suffix is dropped); nothing when a
// part before the suffix is not of the form key-value.
std::optional<std::map<std::string, std::string>> entities_of(std::string_view stem) {
  std::map<std::string, std::string> entities;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = stem.find('_', start);
    if (end == std::string_view::npos) return entities;  // the rest is the suffix
    const std::string_view part = stem.substr(start, end - start);
    const std::size_t dash = part.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == part.size()) return std::nullopt;
    if (!entities.emplace(std::string(part.substr(0, dash)), std::string(part.substr(dash + 1))).second) {
      return std::nullopt;
    }
    start = end + 1;
  }
}

std::string strip_prefix(const std::string& label, std::string_view prefix) {
  return label.starts_with(prefix) ? label.substr(prefix.size()) : label;
}

bool selected(const std::vector<std::string>& wanted, std::string_view prefix, const std::optional<std::string>& label) {
  if (wanted.empty()) return true;
  if (!label) return false;
  return std::any_of(wanted.begin(), wanted.end(),
                     [&](const std::string& w) { return strip_prefix(w, prefix) == *label; });
}

// The root text without trailing separators ("/" stays "/").
std::string trimmed_root(const std::string& root) {
  std::string out = root;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// Folder listings, each read once however many runs look at it.
class Listings {
 public:
  const std::vector<std::string>& names(const std::string& dir) {
    auto it = cache_.find(dir);
    if (it == cache_.end()) {
      auto listed = list_directory(dir);
      it = cache_.emplace(dir, listed.ok() ? std::move(listed).value() : std::vector<std::string>{}).first;
      std::sort(it->second.begin(), it->second.end());
    }
    return it->second;
  }

 private:
  std::map<std::string, std::vector<std::string>> cache_;
};

// What one level of the hierarchy holds for a run and an extension.
struct LevelMatch {
  std::optional<std::string> path;
  std::optional<std::string> ambiguity;  // two files that apply equally
};

// The most specific file at `dir` named [entities_]dwi.<ext> whose entities the run has.
LevelMatch match_at_level(Listings& listings, const std::string& dir, const std::map<std::string, std::string>& run,
                          std::string_view extension) {
  const std::string ending = "dwi." + std::string(extension);
  LevelMatch match;
  std::size_t best_count = 0;
  for (const std::string& name : listings.names(dir)) {
    if (!is_plain_name(name) || name.starts_with(".") || !ends_with(name, ending)) continue;
    const std::string_view stem = std::string_view(name).substr(0, name.size() - extension.size() - 1);
    if (stem != "dwi" && !ends_with(stem, "_dwi")) continue;
    const auto entities = entities_of(stem);
    if (!entities) continue;
    const bool applies = std::all_of(entities->begin(), entities->end(), [&](const auto& entity) {
      const auto it = run.find(entity.first);
      return it != run.end() && it->second == entity.second;
    });
    const std::string path = join_path(dir, name);
    if (!applies || !is_existing_non_directory(path)) continue;
    if (!match.path || entities->size() > best_count) {
      match.path = path;
      match.ambiguity.reset();
      best_count = entities->size();
    } else if (entities->size() == best_count) {
      match.ambiguity = *match.path + " and " + path;
    }
  }
  return match;
}

struct RunPlace {
  std::vector<std::string> levels;  // the run's folder first, then each folder above it up to the root
};

RunPlace place_of(const std::string& root, const std::string& dir, std::string& folder) {
  RunPlace place;
  const std::string base = trimmed_root(root);
  folder.clear();
  // Every found path was built on the root's text.
  if (dir.size() > base.size()) folder = dir.substr(base.size() + (base == "/" ? 0 : 1));
  place.levels.push_back(dir);
  std::string rest = folder;
  while (!rest.empty()) {
    const std::size_t slash = rest.rfind('/');
    rest = slash == std::string::npos ? std::string() : rest.substr(0, slash);
    place.levels.push_back(rest.empty() ? base : join_path(base, rest));
  }
  return place;
}

// The run's table file of one kind: its own, else the nearest inherited one.
void resolve_table(Listings& listings, const RunPlace& place, const std::string& stem_path,
                   const std::map<std::string, std::string>& entities, std::string_view extension,
                   std::optional<std::string>& path, bool& inherited, std::optional<std::string>& problem) {
  const std::string plural = std::string(extension) + "s";
  if (auto own = first_existing_file(stem_path, extension, plural)) {
    path = std::move(own);
    return;
  }
  for (const std::string& level : place.levels) {
    LevelMatch match = match_at_level(listings, level, entities, extension);
    if (match.ambiguity) {
      if (!problem) problem = "more than one ." + std::string(extension) + " applies: " + *match.ambiguity;
      return;
    }
    if (match.path) {
      path = std::move(match.path);
      inherited = true;
      return;
    }
  }
}

void read_sidecars(Listings& listings, const RunPlace& place, const std::map<std::string, std::string>& entities,
                   DatasetRun& run) {
  for (auto level = place.levels.rbegin(); level != place.levels.rend(); ++level) {
    LevelMatch match = match_at_level(listings, *level, entities, "json");
    if (match.ambiguity) {
      run.notes.push_back("sidecars " + *match.ambiguity + " apply equally; neither is used");
      continue;
    }
    if (!match.path) continue;
    auto text = read_file_bytes(*match.path);
    std::string error;
    if (text.ok()) {
      merge_sidecar_facts(text.value(), run.acquisition, error);
    } else {
      error = text.error().display();
    }
    if (!error.empty()) {
      run.notes.push_back("sidecar " + *match.path + " is not used: " + error);
      continue;
    }
    run.sidecars.push_back(std::move(*match.path));
  }
}

void read_image_facts(const std::string& dir, DatasetRun& run) {
  auto grid = read_image_grid(run.dwi);
  if (!grid.ok()) {
    run.notes.push_back("the image header cannot be read: " + grid.error().display());
    return;
  }
  set_orientation(grid->affine, run.acquisition);
  for (const std::string& candidate : mask_candidates(dir)) {
    auto mask = read_image_grid(candidate);
    if (mask.ok() && mask->dims == grid->dims) {
      run.mask = candidate;
      return;
    }
  }
}

}  // namespace

Result<std::vector<DatasetRun>> discover_dataset(const std::string& root, const DatasetFilter& filter) {
  if (!path_exists(root)) return CoreError::invalid_input("BIDS root not found: " + lossy_utf8(root));
  if (!is_directory(root)) return CoreError::invalid_input("BIDS root is not a folder: " + lossy_utf8(root));
  auto files = collect_files(root, is_raw_data_folder);
  if (!files.ok()) {
    return CoreError::io("cannot walk the BIDS root " + lossy_utf8(root) + ": " + files.error().text());
  }

  Listings listings;
  std::map<std::pair<std::string, std::string>, std::string> first_dwi;  // (folder, name) -> the DWI
  std::vector<DatasetRun> runs;
  for (const std::string& path : files.value()) {
    const auto split = split_file_path(path);
    if (!split || split->name.starts_with(".")) continue;
    const auto stem = dwi_stem(split->name);
    if (!stem) continue;
    const auto entities = entities_of(*stem);
    DatasetRun run;
    run.name = std::string(*stem);
    run.dwi = path;
    if (entities) {
      if (const auto it = entities->find("sub"); it != entities->end()) run.subject = it->second;
      if (const auto it = entities->find("ses"); it != entities->end()) run.session = it->second;
    }
    const auto subject = run.subject.empty() ? std::nullopt : std::optional<std::string>(run.subject);
    if (!selected(filter.participants, "sub-", subject) || !selected(filter.sessions, "ses-", run.session)) continue;
    const RunPlace place = place_of(root, split->dir, run.folder);
    const auto key = std::make_pair(run.folder, run.name);
    if (const auto it = first_dwi.find(key); it != first_dwi.end()) {
      run.problem = "another image of the same name comes first: " + lossy_utf8(it->second);
      runs.push_back(std::move(run));
      continue;
    }
    first_dwi.emplace(key, path);

    const std::string stem_path = split->prefix + run.name;
    const std::map<std::string, std::string> run_entities = entities.value_or(std::map<std::string, std::string>{});
    if (!entities) {
      run.problem = "the file name is not made of BIDS entities (key-value parts joined by _)";
    } else {
      resolve_table(listings, place, stem_path, run_entities, "bvec", run.bvec, run.bvec_inherited, run.problem);
      resolve_table(listings, place, stem_path, run_entities, "bval", run.bval, run.bval_inherited, run.problem);
      if (!run.problem && (!run.bvec || !run.bval)) {
        const char* missing = !run.bvec && !run.bval ? ".bvec and .bval" : !run.bvec ? ".bvec" : ".bval";
        run.problem = std::string("no ") + missing + " beside the image or inherited from a folder above it";
      }
      read_sidecars(listings, place, run_entities, run);
    }
    read_image_facts(split->dir, run);
    runs.push_back(std::move(run));
  }
  return runs;
}

JsonValue to_json(const DatasetRun& run) {
  const auto text = [](const std::optional<std::string>& value) {
    return value ? JsonValue(*value) : JsonValue(nullptr);
  };
  JsonValue out = JsonValue::object();
  out.add("name", run.name);
  out.add("subject", run.subject);
  out.add("session", text(run.session));
  out.add("dwi", run.dwi);
  out.add("folder", run.folder);
  out.add("bvec", text(run.bvec));
  out.add("bval", text(run.bval));
  out.add("bvec_inherited", run.bvec_inherited);
  out.add("bval_inherited", run.bval_inherited);
  out.add("mask", text(run.mask));
  out.add("sidecars", json_array_of(run.sidecars));
  out.add("acquisition", to_json(run.acquisition));
  out.add("notes", json_array_of(run.notes));
  out.add("problem", text(run.problem));
  return out;
}

}  // namespace dirsieve
