// read_grad_file on arbitrary text; accepted tables must survive the writer and the reader again.
#include <cmath>
#include <cstdlib>

#include "core/gradients/grad_format.hpp"
#include "fuzz_input_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = dirsieve_fuzz::write_input(".grad", data, size);
  auto table = dirsieve::read_grad_file(path);
  if (!table.ok()) {
    if (table.error().display().empty()) std::abort();
    return 0;
  }
  if (table->directions().size() != table->bvals().size()) std::abort();
  const std::string again_path = dirsieve_fuzz::write_input(".grad", dirsieve::format_grad_text(*table));
  auto again = dirsieve::read_grad_file(again_path);
  if (!again.ok() || again->bvals().size() != table->bvals().size()) std::abort();
  for (std::size_t i = 0; i < table->bvals().size(); ++i) {
    const double a = table->bvals()[i], b = again->bvals()[i];
    if (!(a == b || (std::isnan(a) && std::isnan(b)))) std::abort();
  }
  return 0;
}
