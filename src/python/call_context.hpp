// What every analysing call prepares on the calling thread before its job runs: the worker pool, the
// gradient inputs, the DWI with its frame map and default step, the mask, the options.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "core/gradients/inputs.hpp"
#include "core/pipeline/options.hpp"
#include "core/scheme/bval_recovery.hpp"
#include "core/util/clock.hpp"
#include "core/volumes/volume.hpp"
#include "python/arguments.hpp"
#include "python/results.hpp"
#include "python/worker_pool.hpp"

namespace dirsieve::python {

// Options common to every analysis; parameters a function lacks take their fixed values.
AuditOptions audit_options(const Arguments& a, bool has_margin, bool has_scheme);

// While alive, other Python threads run; the interpreter lock is taken back on every way out of the scope.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Runs a core job, without the interpreter lock when `release` (the job must not touch Python objects).
template <class Job>
auto run_core(bool release, Job&& job) -> decltype(job()) {
  if (!release) return job();
  GilReleased released;
  return job();
}

struct CallContext {
  // The engine lets other Python threads run during its loads and its analysis (a Dask worker keeps
  // answering its scheduler); the module's calls hold the interpreter lock throughout.
  bool release_gil = false;
  std::optional<CallPool> pool;
  GradientInputs gradients;
  std::optional<DwiVolume> dwi;
  std::optional<MaskVolume> mask;
  AuditOptions options;
  bool grad_given = false;
  std::optional<Stopwatch> total_clock;  // from just before the DWI load
  StageTimes times;
};

enum class DwiLoad { None, Plain, Timed };

// Pool, gradient inputs, DWI (with frame map and step) and the mask named by `mask_parameter`. False with a
// Python exception set.
bool prepare_call(const Arguments& a, DwiLoad dwi_load, CallContext& ctx, const char* mask_parameter = "mask");

inline const MaskVolume* mask_of(const CallContext& ctx) { return ctx.mask ? &*ctx.mask : nullptr; }
inline const DwiVolume* dwi_of(const CallContext& ctx) { return ctx.dwi ? &*ctx.dwi : nullptr; }

// The outputs and settings of a b-value recovery, from its arguments.
RecomputeOptions recompute_options(const Arguments& a);

// Fills the options from the arguments while keeping the step and frame map the DWI gave.
void set_options(CallContext& ctx, const Arguments& a, bool has_margin, bool has_scheme);

}  // namespace dirsieve::python
