// How numbers and names are written into messages and printed forms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick::fit {

// The shortest decimal that reads back as the same double, never with an
// exponent: 1e-8 → "0.00000001", 1e20 → "100000000000000000000", 1.0 → "1",
// −0.0 → "-0", and "inf", "-inf", "NaN".
[[nodiscard]] std::string format_double(double value);

// Appends the escape of a character that has a short one, `"` → \", `\` →
// \\, newline → \n, tab → \t, carriage return → \r, NUL → \0, and returns
// true; returns false and appends nothing for any other code point.
bool append_short_escape(std::string& out, std::uint32_t code_point);

// Appends \u{hex} for `code_point`: lower-case hex digits, no leading zeros.
void append_unicode_escape(std::string& out, std::uint32_t code_point);

// A name in double quotes, with a backslash before an embedded double quote
// or backslash, and control characters escaped as \n, \t, \r, \0 or \u{hex}
// (lower-case hex, no leading zeros). Other bytes are copied as they are.
[[nodiscard]] std::string quote_name(std::string_view name);

}  // namespace tarnwick::fit
