// Argument binding and conversion with the host's rules and messages.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dirsieve::python {

enum class ParamKind {
  Path,
  OptionalPath,
  Text,  // a required str that is not a path (a document)
  Float,
  OptionalFloat,
  Flag,
  OptionalCount,
  OptionalFloatList,
  OptionalTextList,  // None, or a sequence of str
  TextList,          // a required sequence of str
  BytesList,         // a required sequence of bytes
};

struct ParamSpec {
  const char* name;
  ParamKind kind;
  double default_number = 0.0;  // for Float parameters
};

struct FunctionSpec {
  const char* name;
  std::vector<ParamSpec> params;
  std::vector<const char*> description;  // docstring lines after the signature
};

// The docstring: the text signature line, "--", an empty line, then the description.
std::string docstring(const FunctionSpec& spec);

class Arguments {
 public:
  using Value = std::variant<std::monostate, std::string, double, bool, std::uint64_t>;

  std::optional<std::string> path(std::string_view name) const;
  const std::string& required_path(std::string_view name) const;
  double number(std::string_view name) const;
  std::optional<double> optional_number(std::string_view name) const;
  bool flag(std::string_view name) const;
  std::optional<std::uint64_t> count(std::string_view name) const;
  std::optional<std::vector<double>> float_list(std::string_view name) const;
  const std::string& text(std::string_view name) const { return required_path(name); }
  std::optional<std::vector<std::string>> text_list(std::string_view name) const;

  void set(const char* name, Value value) { values_.emplace_back(name, std::move(value)); }
  void set_list(const char* name, std::vector<double> values) { lists_.emplace_back(name, std::move(values)); }
  void set_texts(const char* name, std::vector<std::string> values) { texts_.emplace_back(name, std::move(values)); }

 private:
  const Value& find(std::string_view name) const;
  std::vector<std::pair<const char*, Value>> values_;
  // Sequences given (absent ones are not kept).
  std::vector<std::pair<const char*, std::vector<double>>> lists_;
  std::vector<std::pair<const char*, std::vector<std::string>>> texts_;
};

// Declarations for function tables.
namespace params {
inline ParamSpec path(const char* name) { return {name, ParamKind::Path}; }
inline ParamSpec opt_path(const char* name) { return {name, ParamKind::OptionalPath}; }
inline ParamSpec number(const char* name, double def) { return {name, ParamKind::Float, def}; }
inline ParamSpec opt_number(const char* name) { return {name, ParamKind::OptionalFloat}; }
inline ParamSpec flag(const char* name) { return {name, ParamKind::Flag}; }
inline ParamSpec count(const char* name) { return {name, ParamKind::OptionalCount}; }
inline ParamSpec numbers(const char* name) { return {name, ParamKind::OptionalFloatList}; }
inline ParamSpec texts(const char* name) { return {name, ParamKind::OptionalTextList}; }
inline std::vector<ParamSpec> concat(std::initializer_list<std::vector<ParamSpec>> parts) {
  std::vector<ParamSpec> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
}  // namespace params

// Binds positional and keyword arguments (vectorcall layout) and converts them in parameter order.
// Returns false with a Python exception set.
bool parse_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Arguments& out);

}  // namespace dirsieve::python
