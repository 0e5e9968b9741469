// read_fsl_pair on arbitrary bvec/bval texts. The input is "<bval>\0<bvec>" (no NUL: all of it is the bvec
// and the bval is empty).
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "core/gradients/fsl_format.hpp"
#include "fuzz_input_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view bval, bvec = input;
  if (auto cut = input.find('\0'); cut != std::string_view::npos) {
    bval = input.substr(0, cut);
    bvec = input.substr(cut + 1);
  }
  const std::string bval_path = dirsieve_fuzz::write_input(".bval", bval);
  const std::string bvec_path = dirsieve_fuzz::write_input(".bvec", bvec);
  auto table = dirsieve::read_fsl_pair(bvec_path, bval_path);
  if (!table.ok()) {
    if (table.error().display().empty()) std::abort();
    return 0;
  }
  if (table->directions().size() != table->bvals().size()) std::abort();
  // What the writer makes of a table must read back with the same b-values.
  auto [bvec_text, bval_text] = dirsieve::format_fsl_pair_text(*table);
  const std::string bval_again = dirsieve_fuzz::write_input(".bval", bval_text);
  const std::string bvec_again = dirsieve_fuzz::write_input(".bvec", bvec_text);
  auto again = dirsieve::read_fsl_pair(bvec_again, bval_again);
  if (!again.ok() || again->bvals().size() != table->bvals().size()) std::abort();
  for (std::size_t i = 0; i < table->bvals().size(); ++i) {
    const double a = table->bvals()[i], b = again->bvals()[i];
    if (!(a == b || (std::isnan(a) && std::isnan(b)))) std::abort();
  }
  return 0;
}
