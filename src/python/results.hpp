// Turning core results and errors into Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "core/flip/decision.hpp"
#include "core/util/error.hpp"
#include "core/volumes/volume.hpp"

namespace dirsieve::python {

// The exception type for broken internal invariants (derives from BaseException).
PyObject* internal_error_type();
bool init_internal_error(PyObject* module);

// Raises ValueError with the error's display text; returns nullptr.
PyObject* raise_core_error(const CoreError& error);
// A str from UTF-8 text; bytes that are not UTF-8 (file names) come through as surrogate escapes.
PyObject* text_to_python(const std::string& text);

struct StageTimes {
  int threads = 1;
  double decompress = 0.0;
  double convert = 0.0;
  double fit = 0.0;
  double coherence = 0.0;
  double total = 0.0;
};
PyObject* build_timing_dict(const StageTimes& times);
PyObject* build_glyph_dict(const FlipDetection& detection, const DwiVolume& dwi);
// {"v1", "fa", "mask"} of another fit on the same grid, packed as build_glyph_dict packs them.
PyObject* build_fit_glyphs(const TensorFit& fit, const std::vector<std::uint8_t>& mask);

// A JSON document as Python objects: dict (member order kept), list, str, int, float, bool, None.
PyObject* json_to_python(const JsonValue& value);

// Runs a body that builds a Python result; C++ exceptions never cross into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(internal_error_type(), e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(internal_error_type(), "unexpected internal failure");
    return nullptr;
  }
}

}  // namespace dirsieve::python
