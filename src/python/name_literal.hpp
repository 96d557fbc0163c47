// The printed form of a shape-parameter name: a double-quoted literal.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick::python {

// `name` (valid UTF-8) in double quotes. A backslash goes before an embedded
// double quote or backslash; tab, carriage return, newline and NUL are
// written \t, \r, \n and \0; characters that extend a grapheme (combining
// marks and the like) and characters that are not printable are written
// \u{hex} with lower-case hex digits and no leading zeros; every other
// character, non-ASCII included, is copied as it is. A single quote is not
// escaped. Requires the interpreter (for its table of printable characters).
[[nodiscard]] std::string name_literal(std::string_view name);

}  // namespace tarnwick::python
