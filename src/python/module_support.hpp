// Building an extension module from a function table: method definitions, docstrings, __all__ and the
// InternalError type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "python/functions.hpp"

namespace dirsieve::python {

// The method definitions of a function table; they must outlive the module, so callers keep it static.
struct MethodTable {
  std::vector<std::string> docs;
  std::vector<PyMethodDef> methods;
};
MethodTable make_method_table(const std::vector<ModuleFunction>& functions);

// Creates the module of `definition` (main interpreter only) with the table's methods, `__all__` and
// InternalError. Returns nullptr with an exception set.
PyObject* create_module(PyModuleDef& definition, MethodTable& table, const std::vector<ModuleFunction>& functions);

}  // namespace dirsieve::python
