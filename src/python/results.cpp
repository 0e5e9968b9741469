#include "python/results.hpp"

#include <bit>
#include <type_traits>
#include <cstring>
#include <vector>

namespace dirsieve::python {

namespace {
PyObject* g_internal_error = nullptr;  // owned by the module once created

// Steals `value`; false (with the error set) when it is null or insertion fails.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* float_list(const double* values, std::size_t n) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

template <std::size_t R, std::size_t C>
PyObject* matrix_list(const std::array<std::array<double, C>, R>& m) {
  PyObject* list = PyList_New(R);
  if (list == nullptr) return nullptr;
  for (std::size_t r = 0; r < R; ++r) {
    PyObject* row = float_list(m[r].data(), C);
    if (row == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(r), row);
  }
  return list;
}

// Little-endian float32 packing of doubles.
void pack_float32(const double* values, std::size_t n, char* out) {
  for (std::size_t i = 0; i < n; ++i) {
    float f = static_cast<float>(values[i]);
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap32(bits);
    std::memcpy(out + 4 * i, &bits, 4);
  }
}

PyObject* packed_bytes(const double* values, std::size_t n) {
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(4 * n));
  if (bytes == nullptr) return nullptr;
  pack_float32(values, n, PyBytes_AS_STRING(bytes));
  return bytes;
}

}  // namespace

PyObject* internal_error_type() { return g_internal_error; }

bool init_internal_error(PyObject* module) {
  if (g_internal_error == nullptr) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return false;
    const std::string qualified = std::string(module_name) + ".InternalError";
    g_internal_error = PyErr_NewExceptionWithDoc(qualified.c_str(), "An internal invariant of the dirsieve core failed.",
                                                 PyExc_BaseException, nullptr);
    if (g_internal_error == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "InternalError", g_internal_error) == 0;
}

PyObject* raise_core_error(const CoreError& error) {
  PyObject* message = text_to_python(error.display());
  if (message == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
  return nullptr;
}

PyObject* text_to_python(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

PyObject* build_timing_dict(const StageTimes& t) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  double other = t.total - t.decompress - t.convert - t.fit - t.coherence;
  if (!(other > 0.0)) other = 0.0;
  if (put(dict, "threads", PyFloat_FromDouble(static_cast<double>(t.threads))) &&
      put(dict, "decompress", PyFloat_FromDouble(t.decompress)) &&
      put(dict, "convert", PyFloat_FromDouble(t.convert)) && put(dict, "fit", PyFloat_FromDouble(t.fit)) &&
      put(dict, "coherence", PyFloat_FromDouble(t.coherence)) && put(dict, "other", PyFloat_FromDouble(other)) &&
      put(dict, "total", PyFloat_FromDouble(t.total))) {
    return dict;
  }
  Py_DECREF(dict);
  return nullptr;
}

PyObject* build_glyph_dict(const FlipDetection& detection, const DwiVolume& dwi) {
  const TensorFit& fit = detection.fit;
  const std::size_t n = fit.fa.size();
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  auto make_shape = [&] {
    return Py_BuildValue("[nnn]", static_cast<Py_ssize_t>(fit.dims[0]), static_cast<Py_ssize_t>(fit.dims[1]),
                         static_cast<Py_ssize_t>(fit.dims[2]));
  };
  auto make_v1 = [&]() -> PyObject* {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(12 * n));
    if (bytes != nullptr && n > 0) pack_float32(fit.v1.front().data(), 3 * n, PyBytes_AS_STRING(bytes));
    return bytes;
  };
  auto make_mask = [&] {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(detection.mask.data()),
                                     static_cast<Py_ssize_t>(detection.mask.size()));
  };
  if (put(dict, "shape", make_shape()) && put(dict, "affine", matrix_list(dwi.affine)) &&
      put(dict, "voxel_sizes", float_list(dwi.voxel_sizes.data(), 3)) &&
      put(dict, "frame_map", matrix_list(detection.frame_map)) && put(dict, "v1", make_v1()) &&
      put(dict, "fa", packed_bytes(fit.fa.data(), n)) && put(dict, "s0", packed_bytes(fit.s0.data(), n)) &&
      put(dict, "mask", make_mask())) {
    return dict;
  }
  Py_DECREF(dict);
  return nullptr;
}

PyObject* build_fit_glyphs(const TensorFit& fit, const std::vector<std::uint8_t>& mask) {
  const std::size_t n = fit.fa.size();
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  PyObject* v1 = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(12 * n));
  if (v1 != nullptr && n > 0) pack_float32(fit.v1.front().data(), 3 * n, PyBytes_AS_STRING(v1));
  if (put(dict, "v1", v1) && put(dict, "fa", packed_bytes(fit.fa.data(), n)) &&
      put(dict, "mask", PyBytes_FromStringAndSize(reinterpret_cast<const char*>(mask.data()),
                                                  static_cast<Py_ssize_t>(mask.size())))) {
    return dict;
  }
  Py_DECREF(dict);
  return nullptr;
}

PyObject* json_to_python(const JsonValue& value) {
  return value.visit([](const auto& v) -> PyObject* {
    using T = std::decay_t<decltype(v)>;
    if constexpr (std::is_same_v<T, std::nullptr_t>) {
      Py_RETURN_NONE;
    } else if constexpr (std::is_same_v<T, bool>) {
      return PyBool_FromLong(v ? 1 : 0);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
      return PyLong_FromLongLong(v);
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
      return PyLong_FromUnsignedLongLong(v);
    } else if constexpr (std::is_same_v<T, double>) {
      return PyFloat_FromDouble(v);
    } else if constexpr (std::is_same_v<T, std::string>) {
      return text_to_python(v);
    } else if constexpr (std::is_same_v<T, JsonValue::Array>) {
      PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
      if (list == nullptr) return nullptr;
      for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = json_to_python(v[i]);
        if (item == nullptr) {
          Py_DECREF(list);
          return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
      }
      return list;
    } else {
      PyObject* dict = PyDict_New();
      if (dict == nullptr) return nullptr;
      for (const auto& [key, member] : v) {
        if (!put(dict, key.c_str(), json_to_python(member))) {
          Py_DECREF(dict);
          return nullptr;
        }
      }
      return dict;
    }
  });
}

}  // namespace dirsieve::python
