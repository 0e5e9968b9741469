// The _dirsieve extension module: one interpreter per process, thirteen functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "python/functions.hpp"
#include "python/results.hpp"

namespace {

struct MethodTable {
  std::vector<std::string> docs;
  std::vector<PyMethodDef> methods;
};

// Built once; PyMethodDef entries must outlive the module.
MethodTable& method_table() {
  static MethodTable table = [] {
    MethodTable t;
    const auto& functions = dirsieve::python::module_functions();
    t.docs.reserve(functions.size());
    for (const auto& f : functions) t.docs.push_back(dirsieve::python::docstring(*f.spec));
    for (std::size_t i = 0; i < functions.size(); ++i) {
      t.methods.push_back({functions[i].spec->name, reinterpret_cast<PyCFunction>(functions[i].implementation),
                           METH_FASTCALL | METH_KEYWORDS, t.docs[i].c_str()});
    }
    t.methods.push_back({nullptr, nullptr, 0, nullptr});
    return t;
  }();
  return table;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_dirsieve", "Gradient-table checker for diffusion MRI (core of dirsieve).", -1,
    nullptr,               nullptr,     nullptr,                                                          nullptr,
    nullptr,
};

bool add_all_list(PyObject* module) {
  const auto& functions = dirsieve::python::module_functions();
  PyObject* names = PyList_New(static_cast<Py_ssize_t>(functions.size()));
  if (names == nullptr) return false;
  for (std::size_t i = 0; i < functions.size(); ++i) {
    PyObject* name = PyUnicode_FromString(functions[i].spec->name);
    if (name == nullptr) {
      Py_DECREF(names);
      return false;
    }
    PyList_SET_ITEM(names, static_cast<Py_ssize_t>(i), name);
  }
  return PyModule_Add(module, "__all__", names) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__dirsieve(void) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "_dirsieve supports only the main interpreter of the process");
    return nullptr;
  }
  module_def.m_methods = method_table().methods.data();
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  if (!add_all_list(module) || !dirsieve::python::init_internal_error(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
