#include "fit/number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace tarnwick::fit {

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Fixed notation without a precision is the shortest round-trip form in
  // positional notation. The longest is that of the smallest subnormal:
  // "0.", 323 zeros and its digits.
  std::array<char, 400> buffer{};
  const auto [end, ec] =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
  if (ec != std::errc{}) return "NaN";
  return std::string(buffer.data(), end);
}

void append_unicode_escape(std::string& out, std::uint32_t code_point) {
  std::array<char, 16> hex{};
  const int length = std::snprintf(hex.data(), hex.size(), "\\u{%x}", code_point);
  out.append(hex.data(), static_cast<std::size_t>(length));
}

bool append_short_escape(std::string& out, std::uint32_t code_point) {
  switch (code_point) {
    case '"':
      out += "\\\"";
      return true;
    case '\\':
      out += "\\\\";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\t':
      out += "\\t";
      return true;
    case '\r':
      out += "\\r";
      return true;
    case '\0':
      out += "\\0";
      return true;
    default:
      return false;
  }
}

std::string quote_name(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (append_short_escape(out, byte)) continue;
    if (byte < 0x20 || byte == 0x7f) {
      append_unicode_escape(out, byte);
    } else if (byte == 0xc2 && i + 1 < name.size() &&
               static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(name[i + 1]) <= 0x9f) {
      // U+0080 … U+009F, the C1 control characters, in UTF-8.
      append_unicode_escape(out, static_cast<unsigned char>(name[i + 1]));
      ++i;
    } else {
      out.push_back(name[i]);
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace tarnwick::fit
