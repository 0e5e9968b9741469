// The _dirsieve extension module: one interpreter per process, thirteen functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/functions.hpp"
#include "python/module_support.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_dirsieve", "Gradient-table checker for diffusion MRI (core of dirsieve).", -1,
    nullptr,               nullptr,     nullptr,                                                          nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__dirsieve(void) {
  static dirsieve::python::MethodTable table =
      dirsieve::python::make_method_table(dirsieve::python::module_functions());
  return dirsieve::python::create_module(module_def, table, dirsieve::python::module_functions());
}
