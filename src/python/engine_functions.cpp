// The functions of dirsieve._engine: audit, flip detection and repair decided by the verdict.
#include "python/engine_functions.hpp"

#include <optional>
#include <string>

#include "core/bids/dataset.hpp"
#include "core/pipeline/engine.hpp"
#include "core/repair/frames.hpp"
#include "python/call_context.hpp"
#include "python/results.hpp"

namespace dirsieve::python {

namespace {

constexpr const char* kEngineVersion = "1.1.6";

ParamSpec path(const char* name) { return {name, ParamKind::Path}; }
ParamSpec opt_path(const char* name) { return {name, ParamKind::OptionalPath}; }
ParamSpec number(const char* name, double def) { return {name, ParamKind::Float, def}; }
ParamSpec opt_number(const char* name) { return {name, ParamKind::OptionalFloat}; }
ParamSpec flag(const char* name) { return {name, ParamKind::Flag}; }
ParamSpec count(const char* name) { return {name, ParamKind::OptionalCount}; }
ParamSpec numbers(const char* name) { return {name, ParamKind::OptionalFloatList}; }
ParamSpec texts(const char* name) { return {name, ParamKind::OptionalTextList}; }

std::vector<ParamSpec> concat(std::initializer_list<std::vector<ParamSpec>> parts) {
  std::vector<ParamSpec> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const std::vector<ParamSpec> kInputs = {opt_path("bvec"), opt_path("bval"), opt_path("grad"), opt_path("mask"),
                                        opt_path("wm_mask")};
const std::vector<ParamSpec> kAnalysis = {number("tolerance", 0.05), number("b0_threshold", 50.0),
                                          opt_number("shell"),       opt_number("step"),
                                          number("margin_threshold", 0.02), numbers("scales_mm")};

const FunctionSpec kVersionSpec{"version", {}, {}};
const FunctionSpec kAuditSpec{
    "audit",
    concat({{path("dwi")}, kInputs, kAnalysis,
            {flag("strict"), number("norm_tolerance", 0.05), flag("glyphs"), flag("profile"), count("threads")}}),
    {"Audit with the verdict: one load and one fit. Returns a dict with `report` (the module's",
     "report JSON text for the same inputs), `verdict` (the decision over the walking distances),",
     "and `glyphs` / `timing` when asked for. `mask` is a brain mask (the sample is its valid voxels",
     "with FA >= 0.2); `wm_mask` is a white-matter mask used as given."}};
const FunctionSpec kDetectFlipSpec{
    "detect_flip", concat({{path("dwi")}, kInputs, kAnalysis, {flag("glyphs"), count("threads")}}),
    {"Flip detection with the verdict; returns `report` and `verdict` (and `glyphs`)."}};
const FunctionSpec kRepairSpec{
    "repair",
    concat({{path("dwi"), path("out_bvec"), path("out_bval")}, kInputs, {opt_path("out_grad"), opt_path("provenance")},
            kAnalysis,
            {flag("dry_run"), flag("in_place"), flag("strict"), flag("force_repair"), number("norm_tolerance", 0.05),
             flag("glyphs"), count("threads")}}),
    {"Audit with the verdict, then write its transform: FLAG writes the fix, PASS the table",
     "unchanged, WARN nothing (unless `force_repair` and every distance agrees). Returns",
     "`report` (with its `repair` member), `verdict` and `written`."}};

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

// Binds the arguments and prepares the call. False with a Python exception set.
bool prepare_engine_call(const FunctionSpec& spec, bool has_scheme, bool has_profile, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, EngineCall& call) {
  if (!parse_arguments(spec, args, nargs, kwnames, call.args)) return false;
  const Arguments& a = call.args;
  SampleSource source = SampleSource::Automatic;
  if (!sample_source(a, source)) return false;
  const bool timed = has_profile && a.flag("profile");
  const char* mask_key = source == SampleSource::WhiteMatterMask ? "wm_mask" : "mask";
  call.ctx.release_gil = true;
  if (!prepare_call(a, timed ? DwiLoad::Timed : DwiLoad::Plain, call.ctx, mask_key)) return false;
  set_options(call.ctx, a, true, has_scheme);
  call.options.audit = call.ctx.options;
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
  if (ok && outcome.detection) ok = put("glyphs", build_glyph_dict(*outcome.detection, *ctx.dwi));
  if (ok && timing != nullptr) ok = put("timing", build_timing_dict(*timing));
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* py_version(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments a;
  if (!parse_arguments(kVersionSpec, nullptr, nargs, kwnames, a)) return nullptr;
  return PyUnicode_FromString(kEngineVersion);
}

PyObject* analyse(const FunctionSpec& spec, EngineCommand command, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const bool has_scheme = command == EngineCommand::Audit;
    EngineCall call;
    if (!prepare_engine_call(spec, has_scheme, has_scheme, args, nargs, kwnames, call)) return nullptr;
    CallContext& ctx = call.ctx;
    auto outcome = run_core(true, [&] {
      return ctx.pool->run([&] {
        return run_engine(command, ctx.gradients.table, ctx.gradients.records, *ctx.dwi, mask_of(ctx), call.options);
      });
    });
    if (!outcome) return raise_core_error(outcome.error());
    if (!(has_scheme && call.args.flag("profile"))) return outcome_dict(*outcome, ctx, nullptr);
    ctx.times.total = ctx.total_clock->seconds();
    ctx.times.threads = ctx.pool->concurrency();
    ctx.times.fit = outcome->timings.fit_seconds;
    // The verdict's extra distances are coherence work too.
    ctx.times.coherence = outcome->timings.coherence_seconds + outcome->verdict_seconds;
    return outcome_dict(*outcome, ctx, &ctx.times);
  });
}

PyObject* py_audit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return analyse(kAuditSpec, EngineCommand::Audit, args, nargs, kwnames);
}

PyObject* py_detect_flip(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return analyse(kDetectFlipSpec, EngineCommand::DetectFlip, args, nargs, kwnames);
}

PyObject* py_repair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EngineCall call;
    if (!prepare_engine_call(kRepairSpec, true, false, args, nargs, kwnames, call)) return nullptr;
    CallContext& ctx = call.ctx;
    const Arguments& a = call.args;
    RepairOptions repair;
    repair.out_bvec = a.required_path("out_bvec");
    repair.out_bval = a.required_path("out_bval");
    repair.out_grad = a.path("out_grad");
    repair.provenance = a.path("provenance");
    repair.frame = analyse_frame(ctx.dwi->affine, ctx.grad_given);
    repair.dry_run = a.flag("dry_run");
    repair.in_place = a.flag("in_place");
    repair.force_repair = a.flag("force_repair");
    repair.other_inputs.push_back(a.required_path("dwi"));
    if (auto mask = a.path("mask")) repair.other_inputs.push_back(*mask);
    if (auto mask = a.path("wm_mask")) repair.other_inputs.push_back(*mask);
    bool written = false;
    auto outcome = run_core(true, [&] {
      return ctx.pool->run([&]() -> Result<EngineOutcome> {
        DS_TRY_ASSIGN(EngineOutcome out, run_engine(EngineCommand::Audit, ctx.gradients.table, ctx.gradients.records,
                                                    *ctx.dwi, mask_of(ctx), call.options));
        DS_TRY_ASSIGN(written, apply_verdict_repair(out.report, out.verdict, ctx.gradients.table, repair));
        return out;
      });
    });
    if (!outcome) return raise_core_error(outcome.error());
    PyObject* dict = outcome_dict(*outcome, ctx, nullptr);
    if (dict == nullptr) return nullptr;
    if (PyDict_SetItemString(dict, "written", written ? Py_True : Py_False) != 0) {
      Py_DECREF(dict);
      return nullptr;
    }
    return dict;
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
      {&kDiscoverBidsSpec, py_discover_bids},
      {&kAcquisitionGroupsSpec, py_acquisition_groups},
  };
  return functions;
}

}  // namespace dirsieve::python
