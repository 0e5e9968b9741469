#include "python/arguments.hpp"

#include <cstring>

#include "core/util/number_format.hpp"

namespace dirsieve::python {

namespace {

bool is_required(const ParamSpec& p) {
  return p.kind == ParamKind::Path || p.kind == ParamKind::Text || p.kind == ParamKind::TextList ||
         p.kind == ParamKind::BytesList;
}

std::string type_name(PyObject* obj) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  const char* text = PyUnicode_AsUTF8(name);
  std::string out = text != nullptr ? text : Py_TYPE(obj)->tp_name;
  if (text == nullptr) PyErr_Clear();
  Py_DECREF(name);
  return out;
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

// Replaces the pending TypeError with "argument '<name>': <message>", the original as its cause.
void wrap_type_error(const char* name) {
  PyObject* cause = PyErr_GetRaisedException();
  PyObject* message = PyObject_Str(cause);
  if (message == nullptr) {
    PyErr_SetRaisedException(cause);
    return;
  }
  PyObject* wrapped = PyUnicode_FromFormat("argument '%s': %U", name, message);
  Py_DECREF(message);
  if (wrapped == nullptr) {
    Py_DECREF(cause);
    return;
  }
  PyObject* error = PyObject_CallOneArg(PyExc_TypeError, wrapped);
  Py_DECREF(wrapped);
  if (error == nullptr) {
    Py_DECREF(cause);
    return;
  }
  PyException_SetCause(error, cause);  // steals the reference to cause
  PyErr_SetRaisedException(error);
}

// Raises "argument '<name>': '<type>' object cannot be converted to '<expected>'" with the plain message as cause.
void raise_conversion_error(const char* name, PyObject* obj, const char* expected) {
  std::string message = "'" + type_name(obj) + "' object cannot be converted to '" + expected + "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  wrap_type_error(name);
}

bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  return std::strcmp(type->tp_name, "numpy.bool") == 0 || std::strcmp(type->tp_name, "numpy.bool_") == 0;
}

// A str as UTF-8 text without NUL characters. False with an exception set.
bool utf8_text(const ParamSpec& p, PyObject* obj, std::string& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return false;  // UnicodeEncodeError for lone surrogates, unprefixed
  out.assign(text, static_cast<std::size_t>(size));
  if (out.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "argument '%s': %s contains a NUL character", p.name,
                 p.kind == ParamKind::Path || p.kind == ParamKind::OptionalPath ? "path" : "text");
    return false;
  }
  return true;
}

bool convert_path(const ParamSpec& p, PyObject* obj, Arguments& out) {
  if (obj == nullptr || (obj == Py_None && p.kind == ParamKind::OptionalPath)) {
    out.set(p.name, std::monostate{});
    return true;
  }
  if (!PyUnicode_Check(obj)) {
    raise_conversion_error(p.name, obj, "PyString");
    return false;
  }
  std::string text;
  if (!utf8_text(p, obj, text)) return false;
  out.set(p.name, std::move(text));
  return true;
}

bool convert_float(const ParamSpec& p, PyObject* obj, Arguments& out) {
  if (obj == nullptr) {
    if (p.kind == ParamKind::Float) {
      out.set(p.name, p.default_number);
    } else {
      out.set(p.name, std::monostate{});
    }
    return true;
  }
  if (obj == Py_None && p.kind == ParamKind::OptionalFloat) {
    out.set(p.name, std::monostate{});
    return true;
  }
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) wrap_type_error(p.name);
    return false;
  }
  out.set(p.name, value);
  return true;
}

bool convert_flag(const ParamSpec& p, PyObject* obj, Arguments& out) {
  if (obj == nullptr) {
    out.set(p.name, false);
    return true;
  }
  if (PyBool_Check(obj) || is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out.set(p.name, truth == 1);
    return true;
  }
  raise_conversion_error(p.name, obj, "PyBool");
  return false;
}

bool convert_count(const ParamSpec& p, PyObject* obj, Arguments& out) {
  if (obj == nullptr || obj == Py_None) {
    out.set(p.name, std::monostate{});
    return true;
  }
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) wrap_type_error(p.name);
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;  // OverflowError as is
  out.set(p.name, static_cast<std::uint64_t>(value));
  return true;
}

// The items of a sequence argument (not a string), as a new reference from PySequence_Fast; null with
// an exception set.
PyObject* sequence_items(const ParamSpec& p, PyObject* obj, const char* expected) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) {
    raise_conversion_error(p.name, obj, expected);
    return nullptr;
  }
  return PySequence_Fast(obj, "expected a sequence");
}

// None, or a sequence of numbers (not a string).
bool convert_float_list(const ParamSpec& p, PyObject* obj, Arguments& out) {
  if (obj == nullptr || obj == Py_None) return true;
  PyObject* items = sequence_items(p, obj, "sequence of float");
  if (items == nullptr) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  std::vector<double> values;
  values.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items, i);
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
      Py_DECREF(items);
      if (PyErr_ExceptionMatches(PyExc_TypeError)) wrap_type_error(p.name);
      return false;
    }
    values.push_back(value);
  }
  Py_DECREF(items);
  out.set_list(p.name, std::move(values));
  return true;
}

// A sequence of bytes (its items kept as they are).
bool convert_bytes_list(const ParamSpec& p, PyObject* obj, Arguments& out) {
  PyObject* items = sequence_items(p, obj, "sequence of bytes");
  if (items == nullptr) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  std::vector<std::string> values;
  values.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items, i);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(item) || PyBytes_AsStringAndSize(item, &data, &size) != 0) {
      Py_DECREF(items);
      if (!PyErr_Occurred()) raise_conversion_error(p.name, item, "PyBytes");
      return false;
    }
    values.emplace_back(data, static_cast<std::size_t>(size));
  }
  Py_DECREF(items);
  out.set_texts(p.name, std::move(values));
  return true;
}

// None (when optional), or a sequence of str (not a string itself).
bool convert_text_list(const ParamSpec& p, PyObject* obj, Arguments& out) {
  if (obj == nullptr || (obj == Py_None && p.kind == ParamKind::OptionalTextList)) return true;
  PyObject* items = sequence_items(p, obj, "sequence of str");
  if (items == nullptr) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  std::vector<std::string> values(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items, i);
    if (!PyUnicode_Check(item)) {
      Py_DECREF(items);
      raise_conversion_error(p.name, item, "PyString");
      return false;
    }
    if (!utf8_text(p, item, values[static_cast<std::size_t>(i)])) {
      Py_DECREF(items);
      return false;
    }
  }
  Py_DECREF(items);
  out.set_texts(p.name, std::move(values));
  return true;
}

bool convert(const ParamSpec& p, PyObject* obj, Arguments& out) {
  switch (p.kind) {
    case ParamKind::Path:
    case ParamKind::OptionalPath:
    case ParamKind::Text: return convert_path(p, obj, out);
    case ParamKind::Float:
    case ParamKind::OptionalFloat: return convert_float(p, obj, out);
    case ParamKind::Flag: return convert_flag(p, obj, out);
    case ParamKind::OptionalCount: return convert_count(p, obj, out);
    case ParamKind::OptionalFloatList: return convert_float_list(p, obj, out);
    case ParamKind::OptionalTextList:
    case ParamKind::TextList: return convert_text_list(p, obj, out);
    case ParamKind::BytesList: return convert_bytes_list(p, obj, out);
  }
  return false;
}

std::string default_text(const ParamSpec& p) {
  switch (p.kind) {
    case ParamKind::Float: {
      std::string text = format_shortest_plain(p.default_number);
      if (text.find('.') == std::string::npos) text += ".0";
      return text;
    }
    case ParamKind::Flag: return "False";
    default: return "None";
  }
}

}  // namespace

std::string docstring(const FunctionSpec& spec) {
  std::string doc = spec.name;
  doc += '(';
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    const ParamSpec& p = spec.params[i];
    if (i > 0) doc += ", ";
    doc += p.name;
    if (!is_required(p)) doc += "=" + default_text(p);
  }
  doc += ")\n--\n\n";
  for (std::size_t i = 0; i < spec.description.size(); ++i) {
    if (i > 0) doc += '\n';
    doc += spec.description[i];
  }
  return doc;
}

const Arguments::Value& Arguments::find(std::string_view name) const {
  for (const auto& [key, value] : values_) {
    if (name == key) return value;
  }
  static const Value missing;
  return missing;
}

std::optional<std::string> Arguments::path(std::string_view name) const {
  if (auto s = std::get_if<std::string>(&find(name))) return *s;
  return std::nullopt;
}

const std::string& Arguments::required_path(std::string_view name) const { return std::get<std::string>(find(name)); }

double Arguments::number(std::string_view name) const { return std::get<double>(find(name)); }

std::optional<double> Arguments::optional_number(std::string_view name) const {
  if (auto d = std::get_if<double>(&find(name))) return *d;
  return std::nullopt;
}

bool Arguments::flag(std::string_view name) const { return std::get<bool>(find(name)); }

std::optional<std::vector<double>> Arguments::float_list(std::string_view name) const {
  for (const auto& [key, values] : lists_)
    if (name == key) return values;
  return std::nullopt;
}

std::optional<std::vector<std::string>> Arguments::text_list(std::string_view name) const {
  for (const auto& [key, values] : texts_)
    if (name == key) return values;
  return std::nullopt;
}

std::optional<std::uint64_t> Arguments::count(std::string_view name) const {
  if (auto n = std::get_if<std::uint64_t>(&find(name))) return *n;
  return std::nullopt;
}

bool parse_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Arguments& out) {
  const auto nparams = static_cast<Py_ssize_t>(spec.params.size());
  Py_ssize_t nrequired = 0;
  for (const auto& p : spec.params) nrequired += is_required(p) ? 1 : 0;

  if (nargs > nparams) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (nrequired == nparams) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", spec.name, nparams,
                   nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given", spec.name,
                   nrequired, nparams, nargs, verb);
    }
    return false;
  }

  std::vector<PyObject*> slots(spec.params.size(), nullptr);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t found = spec.params.size();
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, spec.params[i].name) == 0) {
        found = i;
        break;
      }
    }
    if (found == spec.params.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
      return false;
    }
    if (slots[found] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.name,
                   spec.params[found].name);
      return false;
    }
    slots[found] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    if (slots[i] == nullptr && is_required(spec.params[i])) missing.push_back(spec.params[i].name);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", spec.name, missing.size(),
                 missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
    return false;
  }

  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    if (!convert(spec.params[i], slots[i], out)) return false;
  }
  return true;
}

}  // namespace dirsieve::python
