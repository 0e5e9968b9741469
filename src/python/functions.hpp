// The module's function table: specs (signatures, docstrings) and implementations.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "python/arguments.hpp"

namespace dirsieve::python {

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct ModuleFunction {
  const FunctionSpec* spec;
  FastFunction implementation;
};

// The thirteen functions in registration order (also the order of __all__).
const std::vector<ModuleFunction>& module_functions();

}  // namespace dirsieve::python
