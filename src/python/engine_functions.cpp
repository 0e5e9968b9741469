// The functions of dirsieve._engine: audit, flip detection and repair decided by the verdict.
#include "python/engine_functions.hpp"

#include <optional>
#include <string>

#include "core/bids/dataset.hpp"
#include "core/pipeline/engine.hpp"
#include "core/pipeline/engine_inputs.hpp"
#include "core/repair/frames.hpp"
#include "core/repair/output_safety.hpp"
#include "core/report/input_record.hpp"
#include "core/report/report.hpp"
#include "core/gradients/fsl_format.hpp"
#include "core/gradients/grad_format.hpp"
#include "core/gradients/validation.hpp"
#include "core/scheme/bval_recovery.hpp"
#include "python/call_context.hpp"
#include "python/results.hpp"

namespace dirsieve::python {

namespace {

using namespace params;

const std::vector<ParamSpec> kInputs = {opt_path("bvec"), opt_path("bval"), opt_path("grad"), opt_path("mask"),
                                        opt_path("wm_mask")};
const std::vector<ParamSpec> kAnalysis = {number("tolerance", 0.05), number("b0_threshold", 50.0),
                                          opt_number("shell"),       opt_number("step"),
                                          number("margin_threshold", 0.02), numbers("scales_mm")};

const FunctionSpec kVersionSpec{"version", {}, {}};
const FunctionSpec kAuditSpec{
    "audit",
    concat({{path("dwi")}, kInputs, kAnalysis,
            {flag("strict"), number("norm_tolerance", 0.05), flag("glyphs"), flag("profile"), flag("images"),
             count("threads")}}),
    {"Audit with the verdict: one load and one fit. Returns a dict with `report` (the module's",
     "report JSON text for the same inputs), `verdict` (the decision: the table's consistency with",
     "itself in `verdict['consistency']`, a part decided wrong corrected volume by volume in",
     "`verdict['fix']`, then the fibres over the walking distances), and `glyphs` / `timing` when",
     "asked for. `mask` is a brain mask (the sample is its valid voxels with FA >= 0.2); `wm_mask` is",
     "a white-matter mask used as given. With `images`, also `images`: the DWI and the mask read,",
     "each with its path, SHA-256 and size."}};
const FunctionSpec kDetectFlipSpec{
    "detect_flip", concat({{path("dwi")}, kInputs, kAnalysis, {flag("glyphs"), flag("images"), count("threads")}}),
    {"Flip detection with the verdict; returns `report` and `verdict` (and `glyphs`, `images`)."}};
const FunctionSpec kRepairSpec{
    "repair",
    concat({{path("dwi"), path("out_bvec"), path("out_bval")}, kInputs, {opt_path("out_grad"), opt_path("provenance")},
            kAnalysis,
            {flag("dry_run"), flag("in_place"), flag("strict"), flag("force_repair"), number("norm_tolerance", 0.05),
             flag("glyphs"), flag("images"), texts("command"), count("threads")}}),
    {"Audit with the verdict, then write its fix: FLAG writes the fix (one transform, or volume by",
     "volume), PASS the table unchanged, WARN nothing (unless `force_repair` and every distance",
     "agrees; never while part of the table is in doubt). Every output is",
     "checked before the image is read, and all are written or none. Returns `report` (with its",
     "`repair` member), `verdict`, `written` and `committed` ([path, backup or None] per file).",
     "`command` is recorded in the provenance; with `images`, also `images` (the DWI and mask digests)."}};
const FunctionSpec kRecomputeSpec{
    "recompute_bval",
    {path("out_bvec"), path("out_bval"), opt_path("bvec"), opt_path("bval"), opt_path("grad"), opt_path("out_grad"),
     opt_path("provenance"), number("b0_threshold", 50.0), flag("dry_run"), flag("in_place"),
     flag("allow_unit_vectors"), count("threads")},
    {"B-value recovery from amplitude-encoded vectors, with the engine's input checks. Refuses a table",
     "whose vectors are already unit length unless `allow_unit_vectors`; writes all outputs or none.",
     "Returns `summary` (the JSON summary text) and `committed` ([path, backup or None] per file)."}};
const FunctionSpec kReadTableSpec{
    "read_table", {opt_path("bvec"), opt_path("bval"), opt_path("grad")},
    {"Reads a gradient table with the engine's checks (layout, counts, finite values). Returns",
     "`directions` (list of [x, y, z]), `bvals` and `format` ('fsl' or 'mrtrix')."}};
const FunctionSpec kFormatTableSpec{
    "format_table", {numbers("directions"), numbers("bvals"), flag("grad")},
    {"The text of a table as the engine writes it: `directions` flat (x, y, z per volume). Returns",
     "`bvec` and `bval`, or `grad` with grad=True."}};
const FunctionSpec kCheckOutputsSpec{
    "check_outputs", {{"paths", ParamKind::TextList}, flag("in_place")},
    {"Checks output paths before any work: the folder exists and accepts a new file, the path is",
     "not a folder, and without `in_place` nothing stands there. Raises ValueError naming the file."}};
const FunctionSpec kWriteOutputsSpec{
    "write_outputs", {{"paths", ParamKind::TextList}, {"contents", ParamKind::BytesList}, flag("in_place")},
    {"Writes files all or nothing (temporary names beside the targets, moved into place when all are",
     "complete; with `in_place` an existing file goes to a numbered backup first). Returns",
     "[path, backup or None] per file."}};
const FunctionSpec kRestoreOutputsSpec{
    "restore_outputs", {{"paths", ParamKind::TextList}, {"backups", ParamKind::TextList}},
    {"Undoes committed files, last first: removes each and moves its backup ('' for none) back."}};

const FunctionSpec kDiscoverBidsSpec{
    "discover_bids",
    {path("root"), texts("participant_label"), texts("session_label")},
    {"The diffusion runs of a BIDS dataset, in path order: a list of dicts with `name`, `subject`,",
     "`session`, `dwi`, `folder` (relative to the root), `bvec`/`bval` (the run's own or inherited",
     "files; `bvec_inherited`/`bval_inherited`), `mask` (a mask file beside it on its grid), `sidecars`,",
     "`acquisition` (sidecar facts and image orientation), `notes` and `problem` (why the run cannot be",
     "audited, else None). sourcedata/, code/, derivatives/ and hidden folders are skipped. Labels are",
     "given with or without their `sub-` / `ses-` prefix."}};
const FunctionSpec kAcquisitionGroupsSpec{
    "acquisition_groups",
    {{"records", ParamKind::Text}},
    {"The acquisition check over audited runs. `records` is JSON text: a list of objects with",
     "`acquisition` (as discover_bids gives it), `shells` (the report's shells list), `status`",
     "(PASS/WARN/FLAG/ERROR), `confidence` and `recommended_label`. Returns one dict per record:",
     "`group` (the acquisition key), `outlier`, `group_label` and `inferred_label`."}};

// The sample the verdict scores, from which of the two mask keywords was given.
bool sample_source(const Arguments& a, SampleSource& source) {
  const bool brain = a.path("mask").has_value();
  const bool white_matter = a.path("wm_mask").has_value();
  if (brain && white_matter) {
    PyErr_SetString(PyExc_ValueError, "give mask (a brain mask) or wm_mask (a white-matter mask), not both");
    return false;
  }
  source = white_matter ? SampleSource::WhiteMatterMask : brain ? SampleSource::BrainMask : SampleSource::Automatic;
  return true;
}

struct EngineCall {
  Arguments args;
  CallContext ctx;
  EngineOptions options;
};

// Binds the arguments, checks and reads every input (each failure names its file) and prepares the call.
// False with a Python exception set.
bool prepare_engine_call(const FunctionSpec& spec, bool has_scheme, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, EngineCall& call, bool parse = true) {
  if (parse && !parse_arguments(spec, args, nargs, kwnames, call.args)) return false;
  const Arguments& a = call.args;
  SampleSource source = SampleSource::Automatic;
  if (!sample_source(a, source)) return false;
  CallContext& ctx = call.ctx;
  auto pool = CallPool::create(a.count("threads"));
  if (!pool) return raise_core_error(pool.error()), false;
  ctx.pool.emplace(std::move(pool).value());

  EngineInputPaths paths;
  paths.dwi = a.required_path("dwi");
  paths.bvec = a.path("bvec");
  paths.bval = a.path("bval");
  paths.grad = a.path("grad");
  if (!gradient_inputs_complete(paths.bvec, paths.bval, paths.grad)) {
    PyErr_SetString(PyExc_ValueError, "provide bvec and bval, or grad");
    return false;
  }
  paths.mask = source == SampleSource::WhiteMatterMask ? a.path("wm_mask") : a.path("mask");
  if (source == SampleSource::WhiteMatterMask) paths.mask_role = "white-matter mask";
  ctx.options = audit_options(a, true, has_scheme);
  if (auto scales = a.float_list("scales_mm")) {
    // Bad distances are a usage fault, reported before any file is read.
    auto checked = verdict_distances(Vec3{1.0, 1.0, 1.0}, *scales);
    if (!checked) return raise_core_error(checked.error()), false;
  }

  ctx.total_clock.emplace();
  // Other Python threads run while the engine loads and analyses (a busy Dask worker keeps answering its
  // scheduler); nothing in these jobs touches a Python object.
  ctx.release_gil = true;
  auto loaded = run_core(true, [&] { return ctx.pool->run([&] { return load_engine_inputs(paths, ctx.options); }); });
  if (!loaded) return raise_core_error(loaded.error()), false;
  ctx.gradients = std::move(loaded->gradients);
  ctx.grad_given = paths.grad.has_value();
  ctx.dwi.emplace(std::move(loaded->dwi));
  ctx.mask = std::move(loaded->mask);
  ctx.times.decompress = loaded->decompress_seconds;
  ctx.times.convert = loaded->convert_seconds;
  const VolumeOptions volume = prepare_volume_options(*ctx.dwi, ctx.grad_given, a.optional_number("step"));
  ctx.options.flip.step = volume.step;
  ctx.options.flip.frame_map = volume.frame_map;

  call.options.audit = ctx.options;
  call.options.source = source;
  if (auto scales = a.float_list("scales_mm")) call.options.verdict.distances_mm = *scales;
  call.options.keep_detection = a.flag("glyphs");
  return true;
}

// {"report": text, "verdict": {...}} plus "glyphs" and "timing" when present; null with an exception set.
PyObject* outcome_dict(const EngineOutcome& outcome, const CallContext& ctx, const StageTimes* timing) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  const auto put = [&](const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
  };
  bool ok = put("report", text_to_python(report_to_json(outcome.report))) &&
            put("verdict", json_to_python(to_json(outcome.verdict)));
  if (ok && outcome.detection) {
    PyObject* glyphs = build_glyph_dict(*outcome.detection, *ctx.dwi);
    // With a part of the table corrected: the fit of the corrected table (directions in its axes), for the
    // pictures after the fix.
    if (glyphs != nullptr && outcome.corrected_fit) {
      PyObject* corrected = build_fit_glyphs(outcome.corrected_fit->fit, outcome.corrected_fit->sample.mask);
      const int rc = corrected != nullptr ? PyDict_SetItemString(glyphs, "corrected", corrected) : -1;
      Py_XDECREF(corrected);
      if (rc != 0) Py_CLEAR(glyphs);
    }
    ok = put("glyphs", glyphs);
  }
  if (ok && timing != nullptr) ok = put("timing", build_timing_dict(*timing));
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

// The engine's stage split names the consistency check beside the module's stages ("other" keeps the rest),
// and how much of the coherence stage the scanner-axis candidates took.
bool add_stage_times(PyObject* dict, double seconds, double frame_seconds) {
  PyObject* timing = PyDict_GetItemString(dict, "timing");  // borrowed
  if (timing == nullptr) return true;
  PyObject* other = PyDict_GetItemString(timing, "other");
  double rest = other != nullptr ? PyFloat_AsDouble(other) - seconds : 0.0;
  if (PyErr_Occurred()) return false;
  if (!(rest > 0.0)) rest = 0.0;
  PyObject* value = PyFloat_FromDouble(seconds);
  PyObject* remaining = PyFloat_FromDouble(rest);
  PyObject* frames = PyFloat_FromDouble(frame_seconds);
  const bool ok = value != nullptr && remaining != nullptr && frames != nullptr &&
                  PyDict_SetItemString(timing, "consistency", value) == 0 &&
                  PyDict_SetItemString(timing, "other", remaining) == 0 &&
                  PyDict_SetItemString(timing, "frame_candidates", frames) == 0;
  Py_XDECREF(value);
  Py_XDECREF(remaining);
  Py_XDECREF(frames);
  return ok;
}

PyObject* py_version(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments a;
  if (!parse_arguments(kVersionSpec, nullptr, nargs, kwnames, a)) return nullptr;
  return PyUnicode_FromString(kToolVersion);
}

// Steals `value`; false with an exception set.
bool put_item(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

// The DWI and the mask a call read, with their digests.
Result<std::vector<InputRecord>> image_records(const Arguments& a) {
  std::vector<InputRecord> records;
  for (const char* key : {"dwi", "mask", "wm_mask"}) {
    if (auto path = a.path(key)) {
      DS_TRY_ASSIGN(InputRecord record, make_input_record(*path));
      records.push_back(std::move(record));
    }
  }
  return records;
}

PyObject* analyse(const FunctionSpec& spec, EngineCommand command, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const bool has_scheme = command == EngineCommand::Audit;
    EngineCall call;
    if (!prepare_engine_call(spec, has_scheme, args, nargs, kwnames, call)) return nullptr;
    CallContext& ctx = call.ctx;
    auto outcome = run_core(true, [&] {
      return ctx.pool->run([&] {
        return run_engine(command, ctx.gradients.table, ctx.gradients.records, *ctx.dwi, mask_of(ctx), call.options);
      });
    });
    if (!outcome) return raise_core_error(outcome.error());
    const bool timed = has_scheme && call.args.flag("profile");
    if (timed) {
      ctx.times.total = ctx.total_clock->seconds();
      ctx.times.threads = ctx.pool->concurrency();
      ctx.times.fit = outcome->timings.fit_seconds;
      // The verdict's extra distances are coherence work too; the consistency check is its own stage.
      ctx.times.coherence =
          outcome->timings.coherence_seconds + (outcome->verdict_seconds - outcome->consistency_seconds);
    }
    PyObject* dict = outcome_dict(*outcome, ctx, timed ? &ctx.times : nullptr);
    if (dict != nullptr && timed &&
        !add_stage_times(dict, outcome->consistency_seconds, outcome->verdict.frame_seconds)) {
      Py_DECREF(dict);
      return nullptr;
    }
    if (dict == nullptr || !call.args.flag("images")) return dict;
    auto images = image_records(call.args);
    if (!images) {
      Py_DECREF(dict);
      return raise_core_error(images.error());
    }
    if (!put_item(dict, "images", json_to_python(to_json(*images)))) {
      Py_DECREF(dict);
      return nullptr;
    }
    return dict;
  });
}

PyObject* py_audit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return analyse(kAuditSpec, EngineCommand::Audit, args, nargs, kwnames);
}

PyObject* py_detect_flip(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return analyse(kDetectFlipSpec, EngineCommand::DetectFlip, args, nargs, kwnames);
}

// [[path, backup or None], ...]; null with an exception set.
PyObject* committed_list(const std::vector<CommittedOutput>& committed) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(committed.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < committed.size(); ++i) {
    PyObject* path = text_to_python(committed[i].path);
    PyObject* backup = committed[i].backup ? text_to_python(*committed[i].backup) : Py_NewRef(Py_None);
    PyObject* pair = (path != nullptr && backup != nullptr) ? PyList_New(2) : nullptr;
    if (pair == nullptr) {
      Py_XDECREF(path);
      Py_XDECREF(backup);
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(pair, 0, path);
    PyList_SET_ITEM(pair, 1, backup);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

PyObject* py_repair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EngineCall call;
    Arguments& a = call.args;
    if (!parse_arguments(kRepairSpec, args, nargs, kwnames, a)) return nullptr;
    RepairOptions repair;
    repair.out_bvec = a.required_path("out_bvec");
    repair.out_bval = a.required_path("out_bval");
    repair.out_grad = a.path("out_grad");
    repair.provenance = a.path("provenance");
    repair.dry_run = a.flag("dry_run");
    repair.in_place = a.flag("in_place");
    repair.force_repair = a.flag("force_repair");
    // The outputs are checked before the image is read: a refusal costs nothing.
    if (!repair.dry_run) {
      for (const std::string& path : repair_targets(repair)) {
        auto checked = check_output_target(path, repair.in_place);
        if (!checked) return raise_core_error(checked.error());
      }
    }
    if (!prepare_engine_call(kRepairSpec, true, args, nargs, kwnames, call, false)) return nullptr;
    CallContext& ctx = call.ctx;
    repair.frame = analyse_frame(ctx.dwi->affine, ctx.grad_given);
    repair.other_inputs.push_back(a.required_path("dwi"));
    for (const char* key : {"mask", "wm_mask"})
      if (auto mask = a.path(key)) repair.other_inputs.push_back(*mask);

    VerdictRepair repaired;
    std::vector<InputRecord> images;
    auto outcome = run_core(true, [&] { return ctx.pool->run([&]() -> Result<EngineOutcome> {
      DS_TRY_ASSIGN(EngineOutcome out, run_engine(EngineCommand::Audit, ctx.gradients.table, ctx.gradients.records,
                                                  *ctx.dwi, mask_of(ctx), call.options));
      RepairRecord record;
      if (a.flag("images") || (repair.provenance && !repair.dry_run)) {
        DS_TRY_ASSIGN(record.images, image_records(a));
      }
      if (repair.provenance && !repair.dry_run) {
        record.invocation = JsonValue::object();
        JsonValue command = JsonValue::array();
        if (auto argv = a.text_list("command")) {
          for (const std::string& word : *argv) command.push(word);
        }
        record.invocation.add("command", std::move(command));
        record.invocation.add("options", repair_options_json(call.options, repair, ctx.dwi->voxel_sizes));
      }
      DS_TRY_ASSIGN(repaired, apply_verdict_repair(out.report, out.verdict, ctx.gradients.table, repair, record));
      images = record.images;
      return out;
    }); });
    if (!outcome) return raise_core_error(outcome.error());
    PyObject* dict = outcome_dict(*outcome, ctx, nullptr);
    if (dict == nullptr) return nullptr;
    if (!put_item(dict, "written", PyBool_FromLong(repaired.planned ? 1 : 0)) ||
        !put_item(dict, "committed", committed_list(repaired.committed)) ||
        (a.flag("images") && !put_item(dict, "images", json_to_python(to_json(images))))) {
      Py_DECREF(dict);
      return nullptr;
    }
    return dict;
  });
}

PyObject* py_recompute_bval(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kRecomputeSpec, args, nargs, kwnames, a)) return nullptr;
    auto pool = CallPool::create(a.count("threads"));
    if (!pool) return raise_core_error(pool.error());
    const auto bvec = a.path("bvec"), bval = a.path("bval"), grad = a.path("grad");
    if (!gradient_inputs_complete(bvec, bval, grad)) {
      PyErr_SetString(PyExc_ValueError, "provide bvec and bval, or grad");
      return nullptr;
    }
    const RecomputeOptions options = recompute_options(a);
    auto recovered = pool->run([&]() -> Result<CheckedRecovery> {
      DS_TRY_ASSIGN(GradientInputs inputs, read_checked_gradient_inputs(bvec, bval, grad));
      return recompute_bval_checked(inputs.table, inputs.records, options, a.flag("allow_unit_vectors"));
    });
    if (!recovered) return raise_core_error(recovered.error());
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    if (!put_item(dict, "summary", text_to_python(recovered->summary)) ||
        !put_item(dict, "committed", committed_list(recovered->committed))) {
      Py_DECREF(dict);
      return nullptr;
    }
    return dict;
  });
}

PyObject* py_read_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kReadTableSpec, args, nargs, kwnames, a)) return nullptr;
    const auto bvec = a.path("bvec"), bval = a.path("bval"), grad = a.path("grad");
    if (!gradient_inputs_complete(bvec, bval, grad)) {
      PyErr_SetString(PyExc_ValueError, "provide bvec and bval, or grad");
      return nullptr;
    }
    auto inputs = read_checked_gradient_inputs(bvec, bval, grad);
    if (!inputs) return raise_core_error(inputs.error());
    JsonValue out = JsonValue::object();
    JsonValue directions = JsonValue::array();
    for (const Vec3& g : inputs->table.directions()) directions.push(json_vec3(g));
    out.add("directions", std::move(directions));
    out.add("bvals", json_array_of(inputs->table.bvals()));
    out.add("format", format_name(inputs->format));
    return json_to_python(out);
  });
}

PyObject* py_format_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kFormatTableSpec, args, nargs, kwnames, a)) return nullptr;
    const auto flat = a.float_list("directions").value_or(std::vector<double>{});
    const auto bvals = a.float_list("bvals").value_or(std::vector<double>{});
    if (flat.size() != 3 * bvals.size()) {
      PyErr_SetString(PyExc_ValueError, "directions must hold three values per b-value");
      return nullptr;
    }
    std::vector<Vec3> directions(bvals.size());
    for (std::size_t i = 0; i < bvals.size(); ++i) directions[i] = {flat[3 * i], flat[3 * i + 1], flat[3 * i + 2]};
    auto table = GradientTable::make(std::move(directions), bvals);
    if (!table) return raise_core_error(table.error());
    JsonValue out = JsonValue::object();
    if (a.flag("grad")) {
      out.add("grad", format_grad_text(*table));
    } else {
      auto [bvec_text, bval_text] = format_fsl_pair_text(*table);
      out.add("bvec", bvec_text);
      out.add("bval", bval_text);
    }
    return json_to_python(out);
  });
}

PyObject* py_check_outputs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kCheckOutputsSpec, args, nargs, kwnames, a)) return nullptr;
    for (const std::string& path : a.text_list("paths").value_or(std::vector<std::string>{})) {
      auto checked = check_output_target(path, a.flag("in_place"));
      if (!checked) return raise_core_error(checked.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* py_write_outputs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kWriteOutputsSpec, args, nargs, kwnames, a)) return nullptr;
    const auto paths = a.text_list("paths").value_or(std::vector<std::string>{});
    const auto contents = a.text_list("contents").value_or(std::vector<std::string>{});
    if (paths.size() != contents.size()) {
      PyErr_SetString(PyExc_ValueError, "paths and contents must have the same length");
      return nullptr;
    }
    auto committed = [&]() -> Result<std::vector<CommittedOutput>> {
      for (const std::string& path : paths) DS_TRY(check_output_target(path, a.flag("in_place")));
      OutputSet set(a.flag("in_place"));
      for (std::size_t i = 0; i < paths.size(); ++i) DS_TRY(set.stage(paths[i], contents[i]));
      return set.commit();
    }();
    if (!committed) return raise_core_error(committed.error());
    return committed_list(*committed);
  });
}

PyObject* py_restore_outputs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kRestoreOutputsSpec, args, nargs, kwnames, a)) return nullptr;
    const auto paths = a.text_list("paths").value_or(std::vector<std::string>{});
    const auto backups = a.text_list("backups").value_or(std::vector<std::string>{});
    if (paths.size() != backups.size()) {
      PyErr_SetString(PyExc_ValueError, "paths and backups must have the same length");
      return nullptr;
    }
    std::vector<CommittedOutput> committed;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      committed.push_back({paths[i], backups[i].empty() ? std::nullopt : std::optional<std::string>(backups[i])});
    }
    auto restored = restore_outputs(committed);
    if (!restored) return raise_core_error(restored.error());
    Py_RETURN_NONE;
  });
}

PyObject* py_discover_bids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kDiscoverBidsSpec, args, nargs, kwnames, a)) return nullptr;
    DatasetFilter filter;
    filter.participants = a.text_list("participant_label").value_or(std::vector<std::string>{});
    filter.sessions = a.text_list("session_label").value_or(std::vector<std::string>{});
    const std::string& root = a.required_path("root");
    auto runs = run_core(true, [&] { return discover_dataset(root, filter); });
    if (!runs) return raise_core_error(runs.error());
    JsonValue list = JsonValue::array();
    for (const DatasetRun& run : runs.value()) list.push(to_json(run));
    return json_to_python(list);
  });
}

PyObject* py_acquisition_groups(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kAcquisitionGroupsSpec, args, nargs, kwnames, a)) return nullptr;
    auto members = group_members_from_json(a.text("records"));
    if (!members) return raise_core_error(members.error());
    JsonValue list = JsonValue::array();
    for (const GroupFinding& finding : check_acquisition_groups(members.value(), GroupRules{})) {
      list.push(to_json(finding));
    }
    return json_to_python(list);
  });
}

}  // namespace

const std::vector<ModuleFunction>& engine_functions() {
  static const std::vector<ModuleFunction> functions = {
      {&kVersionSpec, py_version},
      {&kAuditSpec, py_audit},
      {&kDetectFlipSpec, py_detect_flip},
      {&kRepairSpec, py_repair},
      {&kRecomputeSpec, py_recompute_bval},
      {&kReadTableSpec, py_read_table},
      {&kFormatTableSpec, py_format_table},
      {&kCheckOutputsSpec, py_check_outputs},
      {&kWriteOutputsSpec, py_write_outputs},
      {&kRestoreOutputsSpec, py_restore_outputs},
      {&kDiscoverBidsSpec, py_discover_bids},
      {&kAcquisitionGroupsSpec, py_acquisition_groups},
  };
  return functions;
}

}  // namespace dirsieve::python
