#include "python/functions.hpp"

#include <optional>
#include <string>

#include "core/bids/batch.hpp"
#include "core/gradients/inputs.hpp"
#include "core/pipeline/audit.hpp"
#include "core/repair/repair.hpp"
#include "core/report/report.hpp"
#include "core/scheme/bval_recovery.hpp"
#include "core/util/clock.hpp"
#include "core/volumes/volume.hpp"
#include "python/call_context.hpp"
#include "python/results.hpp"

namespace dirsieve::python {

namespace {

constexpr const char* kVersion = "1.1.6";

using namespace params;

const std::vector<ParamSpec> kGradient = {opt_path("bvec"), opt_path("bval"), opt_path("grad")};
const std::vector<ParamSpec> kShellSettings = {number("tolerance", 0.05), number("b0_threshold", 50.0),
                                               opt_number("shell")};
const std::vector<ParamSpec> kFlipSettings = {opt_number("step"), number("margin_threshold", 0.02)};
const std::vector<ParamSpec> kSchemeTail = {flag("strict"), number("norm_tolerance", 0.05), count("threads")};

std::vector<ParamSpec> audit_with_required_dwi() {
  return concat({{path("dwi")}, kGradient, {opt_path("mask")}, kShellSettings, kFlipSettings, kSchemeTail});
}

std::vector<ParamSpec> repair_params() {
  return concat({{path("dwi"), path("out_bvec"), path("out_bval")}, kGradient,
                 {opt_path("mask"), opt_path("out_grad"), opt_path("provenance")}, kShellSettings, kFlipSettings,
                 {flag("dry_run"), flag("in_place"), flag("strict"), flag("force_repair"),
                  number("norm_tolerance", 0.05), count("threads")}});
}

std::vector<ParamSpec> detect_flip_params() {
  return concat({{path("dwi")}, kGradient, {opt_path("mask")}, kShellSettings, kFlipSettings, {count("threads")}});
}

const FunctionSpec kVersionSpec{"version", {}, {}};
const FunctionSpec kBuildFeaturesSpec{"build_features", {}, {}};
const FunctionSpec kInspectSpec{"inspect", concat({kGradient, kShellSettings, kSchemeTail}), {}};
const FunctionSpec kAuditSpec{
    "audit", concat({kGradient, {opt_path("dwi"), opt_path("mask")}, kShellSettings, kFlipSettings, kSchemeTail}),
    {}};
const FunctionSpec kAuditGlyphsSpec{"audit_with_glyphs", audit_with_required_dwi(), {}};
const FunctionSpec kAuditProfiledSpec{
    "audit_profiled",
    audit_with_required_dwi(),
    {"One instrumented audit: returns the report JSON plus a per-stage wall-clock",
     "split (`decompress`/`convert`/`fit`/`coherence`/`other`/`total`, seconds).",
     "The report is byte-identical to `audit`; only the timing instrumentation is",
     "added, so this drives the Python CLI's `--profile`."}};
const FunctionSpec kAuditProfiledGlyphsSpec{"audit_profiled_with_glyphs", audit_with_required_dwi(), {}};
const FunctionSpec kAuditBidsSpec{
    "audit_bids",
    concat({{path("root")}, kShellSettings, kFlipSettings, kSchemeTail}),
    {"Audit every DWI under a BIDS root (shared `bids_batch` core path). Writes the",
     "per-run and dataset reports under `<root>/derivatives/dirsieve/` and returns a",
     "small JSON summary (`status`, `exit_code`, `summary_path`, `results`) for the",
     "caller to print. The exit code blocks only on WARN."}};
const FunctionSpec kDetectFlipSpec{"detect_flip", detect_flip_params(), {}};
const FunctionSpec kDetectFlipGlyphsSpec{"detect_flip_with_glyphs", detect_flip_params(), {}};
const FunctionSpec kRepairSpec{"repair", repair_params(), {}};
const FunctionSpec kRepairGlyphsSpec{"repair_with_glyphs", repair_params(), {}};
const FunctionSpec kRecomputeSpec{
    "recompute_bval",
    {path("out_bvec"), path("out_bval"), opt_path("bvec"), opt_path("bval"), opt_path("grad"), opt_path("out_grad"),
     opt_path("provenance"), number("b0_threshold", 50.0), flag("dry_run"), flag("in_place"), count("threads")},
    {"Opt-in b-value recovery from amplitude-encoded bvecs. Never reached from",
     "`repair`; returns a JSON before/after summary."}};

PyObject* report_text(const Result<Report>& report) {
  if (!report) return raise_core_error(report.error());
  return text_to_python(report_to_json(*report));
}

PyObject* pair(PyObject* first, PyObject* second) {
  if (first == nullptr || second == nullptr) {
    Py_XDECREF(first);
    Py_XDECREF(second);
    return nullptr;
  }
  return Py_BuildValue("(NN)", first, second);
}

// ---- the functions ----

PyObject* py_version(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments a;
  if (!parse_arguments(kVersionSpec, nullptr, nargs, kwnames, a)) return nullptr;
  return PyUnicode_FromString(kVersion);
}

PyObject* py_build_features(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments a;
  if (!parse_arguments(kBuildFeaturesSpec, nullptr, nargs, kwnames, a)) return nullptr;
  return PyList_New(0);
}

PyObject* py_inspect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    CallContext ctx;
    if (!parse_arguments(kInspectSpec, args, nargs, kwnames, a) || !prepare_call(a, DwiLoad::None, ctx)) {
      return nullptr;
    }
    set_options(ctx, a, false, true);
    auto report = ctx.pool->run([&] { return run_inspect(ctx.gradients.table, ctx.gradients.records, ctx.options); });
    return report_text(report);
  });
}

PyObject* py_audit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    CallContext ctx;
    if (!parse_arguments(kAuditSpec, args, nargs, kwnames, a) || !prepare_call(a, DwiLoad::Plain, ctx)) {
      return nullptr;
    }
    set_options(ctx, a, true, true);
    auto report = ctx.pool->run([&] {
      return run_audit(ctx.gradients.table, ctx.gradients.records, dwi_of(ctx), mask_of(ctx), ctx.options);
    });
    return report_text(report);
  });
}

// audit_with_glyphs, audit_profiled and audit_profiled_with_glyphs.
PyObject* audit_variant(const FunctionSpec& spec, bool timed, bool glyphs, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    CallContext ctx;
    if (!parse_arguments(spec, args, nargs, kwnames, a) ||
        !prepare_call(a, timed ? DwiLoad::Timed : DwiLoad::Plain, ctx)) {
      return nullptr;
    }
    set_options(ctx, a, true, true);
    AuditExtras extras;
    extras.capture_detection = glyphs;
    auto report = ctx.pool->run([&] {
      return run_audit(ctx.gradients.table, ctx.gradients.records, dwi_of(ctx), mask_of(ctx), ctx.options, &extras);
    });
    ctx.times.total = ctx.total_clock->seconds();
    if (!report) return raise_core_error(report.error());
    PyObject* text = text_to_python(report_to_json(*report));
    if (!timed) return pair(text, build_glyph_dict(*extras.detection, *ctx.dwi));
    ctx.times.threads = ctx.pool->concurrency();
    ctx.times.fit = extras.timings.fit_seconds;
    ctx.times.coherence = extras.timings.coherence_seconds;
    PyObject* timing = build_timing_dict(ctx.times);
    if (!glyphs) return pair(text, timing);
    PyObject* glyph = build_glyph_dict(*extras.detection, *ctx.dwi);
    if (text == nullptr || timing == nullptr || glyph == nullptr) {
      Py_XDECREF(text);
      Py_XDECREF(timing);
      Py_XDECREF(glyph);
      return nullptr;
    }
    return Py_BuildValue("(NNN)", text, timing, glyph);
  });
}

PyObject* py_audit_with_glyphs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return audit_variant(kAuditGlyphsSpec, false, true, args, nargs, kwnames);
}

PyObject* py_audit_profiled(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return audit_variant(kAuditProfiledSpec, true, false, args, nargs, kwnames);
}

PyObject* py_audit_profiled_with_glyphs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return audit_variant(kAuditProfiledGlyphsSpec, true, true, args, nargs, kwnames);
}

PyObject* py_audit_bids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    if (!parse_arguments(kAuditBidsSpec, args, nargs, kwnames, a)) return nullptr;
    auto pool = CallPool::create(a.count("threads"));
    if (!pool) return raise_core_error(pool.error());
    BatchOptions options;
    options.audit = audit_options(a, true, true);
    options.step = a.optional_number("step");
    const std::string& root = a.required_path("root");
    BatchResult result = pool->run([&] { return run_bids_batch(root, options); });
    if (!result.outcome) {
      PyObject* message = text_to_python(result.failure ? result.failure->message : "BIDS batch failed");
      if (message == nullptr) return nullptr;
      PyErr_SetObject(PyExc_ValueError, message);
      Py_DECREF(message);
      return nullptr;
    }
    return text_to_python(batch_call_summary(*result.outcome));
  });
}

PyObject* detect_flip_variant(const FunctionSpec& spec, bool glyphs, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    CallContext ctx;
    if (!parse_arguments(spec, args, nargs, kwnames, a) || !prepare_call(a, DwiLoad::Plain, ctx)) return nullptr;
    set_options(ctx, a, true, false);
    AuditExtras extras;
    extras.capture_detection = glyphs;
    auto report = ctx.pool->run([&] {
      return run_detect_flip(ctx.gradients.table, ctx.gradients.records, *ctx.dwi, mask_of(ctx), ctx.options,
                             &extras);
    });
    if (!glyphs) return report_text(report);
    if (!report) return raise_core_error(report.error());
    return pair(text_to_python(report_to_json(*report)), build_glyph_dict(*extras.detection, *ctx.dwi));
  });
}

PyObject* py_detect_flip(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return detect_flip_variant(kDetectFlipSpec, false, args, nargs, kwnames);
}

PyObject* py_detect_flip_with_glyphs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return detect_flip_variant(kDetectFlipGlyphsSpec, true, args, nargs, kwnames);
}

PyObject* repair_variant(const FunctionSpec& spec, bool glyphs, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    CallContext ctx;
    if (!parse_arguments(spec, args, nargs, kwnames, a) || !prepare_call(a, DwiLoad::Plain, ctx)) return nullptr;
    set_options(ctx, a, true, true);
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
    AuditExtras extras;
    extras.capture_detection = glyphs;
    auto report = ctx.pool->run([&]() -> Result<Report> {
      DS_TRY_ASSIGN(Report audited, run_audit(ctx.gradients.table, ctx.gradients.records, dwi_of(ctx), mask_of(ctx),
                                              ctx.options, &extras));
      DS_TRY(apply_repair_stage(audited, ctx.gradients.table, repair, ctx.options.flip.margin_threshold));
      return audited;
    });
    if (!glyphs) return report_text(report);
    if (!report) return raise_core_error(report.error());
    return pair(text_to_python(report_to_json(*report)), build_glyph_dict(*extras.detection, *ctx.dwi));
  });
}

PyObject* py_repair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return repair_variant(kRepairSpec, false, args, nargs, kwnames);
}

PyObject* py_repair_with_glyphs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return repair_variant(kRepairGlyphsSpec, true, args, nargs, kwnames);
}

PyObject* py_recompute_bval(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments a;
    CallContext ctx;
    if (!parse_arguments(kRecomputeSpec, args, nargs, kwnames, a) || !prepare_call(a, DwiLoad::None, ctx)) {
      return nullptr;
    }
    const RecomputeOptions options = recompute_options(a);
    auto summary =
        ctx.pool->run([&] { return recompute_bval(ctx.gradients.table, ctx.gradients.records, options); });
    if (!summary) return raise_core_error(summary.error());
    return text_to_python(*summary);
  });
}

}  // namespace

const std::vector<ModuleFunction>& module_functions() {
  static const std::vector<ModuleFunction> functions = {
      {&kVersionSpec, py_version},
      {&kBuildFeaturesSpec, py_build_features},
      {&kInspectSpec, py_inspect},
      {&kAuditSpec, py_audit},
      {&kAuditGlyphsSpec, py_audit_with_glyphs},
      {&kAuditProfiledSpec, py_audit_profiled},
      {&kAuditProfiledGlyphsSpec, py_audit_profiled_with_glyphs},
      {&kAuditBidsSpec, py_audit_bids},
      {&kDetectFlipSpec, py_detect_flip},
      {&kDetectFlipGlyphsSpec, py_detect_flip_with_glyphs},
      {&kRepairSpec, py_repair},
      {&kRepairGlyphsSpec, py_repair_with_glyphs},
      {&kRecomputeSpec, py_recompute_bval},
  };
  return functions;
}

}  // namespace dirsieve::python
