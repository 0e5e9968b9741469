#include "python/module_support.hpp"

#include "python/results.hpp"

namespace dirsieve::python {

MethodTable make_method_table(const std::vector<ModuleFunction>& functions) {
  MethodTable t;
  t.docs.reserve(functions.size());
  for (const auto& f : functions) t.docs.push_back(docstring(*f.spec));
  for (std::size_t i = 0; i < functions.size(); ++i) {
    t.methods.push_back({functions[i].spec->name, reinterpret_cast<PyCFunction>(functions[i].implementation),
                         METH_FASTCALL | METH_KEYWORDS, t.docs[i].c_str()});
  }
  t.methods.push_back({nullptr, nullptr, 0, nullptr});
  return t;
}

namespace {

bool add_all_list(PyObject* module, const std::vector<ModuleFunction>& functions) {
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

PyObject* create_module(PyModuleDef& definition, MethodTable& table, const std::vector<ModuleFunction>& functions) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_Format(PyExc_ImportError, "%s supports only the main interpreter of the process", definition.m_name);
    return nullptr;
  }
  definition.m_methods = table.methods.data();
  PyObject* module = PyModule_Create(&definition);
  if (module == nullptr) return nullptr;
  if (!add_all_list(module, functions) || !init_internal_error(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace dirsieve::python
