// The dirsieve._engine extension module: the verdict over several walking distances, beside _dirsieve.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/engine_functions.hpp"
#include "python/module_support.hpp"

namespace {

PyModuleDef engine_def = {
    PyModuleDef_HEAD_INIT, "dirsieve._engine",
    "The dirsieve engine: audit, flip detection and repair decided by the multi-distance verdict.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) {
  static dirsieve::python::MethodTable table =
      dirsieve::python::make_method_table(dirsieve::python::engine_functions());
  return dirsieve::python::create_module(engine_def, table, dirsieve::python::engine_functions());
}
