#include "fit/number_format.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

namespace tarnwick::fit {
namespace {

TEST(FormatDouble, ShortestRoundTripWithoutExponent) {
  EXPECT_EQ(format_double(1.0), "1");
  EXPECT_EQ(format_double(0.5), "0.5");
  EXPECT_EQ(format_double(1e-8), "0.00000001");
  EXPECT_EQ(format_double(1e20), "100000000000000000000");
  EXPECT_EQ(format_double(0.1), "0.1");
  EXPECT_EQ(format_double(-2.5), "-2.5");
  EXPECT_EQ(format_double(0.30000000000000004), "0.30000000000000004");
}

TEST(FormatDouble, SpecialValues) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(format_double(inf), "inf");
  EXPECT_EQ(format_double(-inf), "-inf");
  EXPECT_EQ(format_double(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_double(-std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_double(-0.0), "-0");
  EXPECT_EQ(format_double(0.0), "0");
}

TEST(FormatDouble, ExtremeMagnitudesReadBack) {
  for (const double v : {std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
                         std::numeric_limits<double>::denorm_min(), -1e308, 5e-324}) {
    const std::string text = format_double(v);
    EXPECT_EQ(text.find('e'), std::string::npos) << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
  }
}

TEST(QuoteName, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quote_name("mu"), "\"mu\"");
  EXPECT_EQ(quote_name("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote_name("x\ny\tz\r"), "\"x\\ny\\tz\\r\"");
  EXPECT_EQ(quote_name(std::string_view("a\0b", 3)), "\"a\\0b\"");
  EXPECT_EQ(quote_name("\x01\x1f\x7f"), "\"\\u{1}\\u{1f}\\u{7f}\"");
  // U+0085 (a C1 control) is escaped; U+00E9 and a single quote are not.
  EXPECT_EQ(quote_name("\xc2\x85\xc3\xa9'"), "\"\\u{85}\xc3\xa9'\"");
}

}  // namespace
}  // namespace tarnwick::fit
