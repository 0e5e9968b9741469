#include "python/call_context.hpp"

#include <utility>

#include "core/pipeline/audit.hpp"

namespace dirsieve::python {

// Options common to every analysis; parameters a function lacks take their fixed values.
AuditOptions audit_options(const Arguments& a, bool has_margin, bool has_scheme) {
  AuditOptions options;
  options.shell = a.optional_number("shell");
  options.b0_threshold = a.number("b0_threshold");
  options.tolerance = a.number("tolerance");
  options.flip.b0_threshold = options.b0_threshold;
  options.flip.tolerance = options.tolerance;
  options.flip.margin_threshold = has_margin ? a.number("margin_threshold") : 0.02;
  if (has_scheme) {
    options.norm_tolerance = a.number("norm_tolerance");
    options.strict = a.flag("strict");
  }
  return options;
}

// Pool, gradient inputs, DWI (with frame map and step) and mask. False with a Python exception set.
bool prepare_call(const Arguments& a, DwiLoad dwi_load, CallContext& ctx, const char* mask_parameter) {
  auto pool = CallPool::create(a.count("threads"));
  if (!pool) return raise_core_error(pool.error()), false;
  ctx.pool.emplace(std::move(pool).value());

  auto bvec = a.path("bvec"), bval = a.path("bval"), grad = a.path("grad");
  if (!gradient_inputs_complete(bvec, bval, grad)) {
    PyErr_SetString(PyExc_ValueError, "provide bvec and bval, or grad");
    return false;
  }
  auto gradients = resolve_gradient_inputs(bvec, bval, grad);
  if (!gradients) return raise_core_error(gradients.error()), false;
  ctx.gradients = std::move(gradients).value();
  ctx.grad_given = grad.has_value();

  if (auto dwi_path = a.path("dwi"); dwi_path && dwi_load != DwiLoad::None) {
    ctx.total_clock.emplace();
    // Loaded on the call's pool: the conversion to float32 runs on its workers.
    auto loaded =
        run_core(ctx.release_gil, [&] { return ctx.pool->run([&] { return load_dwi_timed(*dwi_path); }); });
    if (!loaded) return raise_core_error(loaded.error()), false;
    if (dwi_load == DwiLoad::Timed) {
      ctx.times.decompress = loaded->decompress_seconds;
      ctx.times.convert = loaded->convert_seconds;
    }
    ctx.dwi.emplace(std::move(loaded->volume));
    VolumeOptions volume = prepare_volume_options(*ctx.dwi, ctx.grad_given, a.optional_number("step"));
    ctx.options.flip.step = volume.step;
    ctx.options.flip.frame_map = volume.frame_map;
  }
  const auto mask_path = a.path(mask_parameter);
  auto mask = run_core(ctx.release_gil, [&] { return ctx.pool->run([&] { return load_mask(mask_path); }); });
  if (!mask) return raise_core_error(mask.error()), false;
  ctx.mask = std::move(mask).value();
  return true;
}

RecomputeOptions recompute_options(const Arguments& a) {
  RecomputeOptions options;
  options.out_bvec = a.required_path("out_bvec");
  options.out_bval = a.required_path("out_bval");
  options.out_grad = a.path("out_grad");
  options.provenance = a.path("provenance");
  options.b0_threshold = a.number("b0_threshold");
  options.dry_run = a.flag("dry_run");
  options.in_place = a.flag("in_place");
  return options;
}

// Fills the options from the arguments while keeping the step and frame map the DWI gave.
void set_options(CallContext& ctx, const Arguments& a, bool has_margin, bool has_scheme) {
  VolumeOptions volume{ctx.options.flip.step, ctx.options.flip.frame_map};
  ctx.options = audit_options(a, has_margin, has_scheme);
  ctx.options.flip.step = volume.step;
  ctx.options.flip.frame_map = volume.frame_map;
}

}  // namespace dirsieve::python
