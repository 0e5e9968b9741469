// Lexical layer of the gradient text formats: UTF-8, Unicode whitespace, lines, tokens, numbers.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "core/util/utf8.hpp"  // is_valid_utf8

namespace dirsieve {

// The Unicode White_Space set.
bool is_unicode_whitespace(char32_t c);

// Lines split at '\n'; one '\r' directly before it is removed; the last line needs no terminator.
std::vector<std::string_view> split_lines(std::string_view text);
// Maximal runs of non-whitespace code points. `text` must be valid UTF-8.
std::vector<std::string_view> tokenize(std::string_view text);
// Removes leading and trailing whitespace.
std::string_view trim_whitespace(std::string_view text);

// Strict decimal grammar: [+-] digits [. digits] [e [+-] digits], or inf / infinity / nan in any case.
// The result is correctly rounded; out-of-range magnitudes become infinity.
std::optional<double> parse_number(std::string_view token);

}  // namespace dirsieve
