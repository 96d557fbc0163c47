// ExactSum against an independent fsum, bit for bit, on adversarial tables and
// 10⁷ random terms in several orders and groupings; BoundedSum against
// ExactSum.
#include "numerics/exact_sum.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "numerics/lane_sums.hpp"

namespace tarnwick::numerics::testing {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTiny = std::numeric_limits<double>::denorm_min();

// The same bits (so −0 and +0 differ), or both NaN.
bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) ||
         std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Shewchuk's non-overlapping partials, then the partials summed from the top
// with the half-way correction; none when a partial overflows.
std::optional<double> fsum_partials(std::span<const double> xs) {
  std::vector<double> partials;
  for (double x : xs) {
    std::size_t i = 0;
    for (double y : partials) {
      if (std::abs(x) < std::abs(y)) std::swap(x, y);
      const double hi = x + y;
      const double lo = y - (hi - x);
      if (lo != 0.0) partials[i++] = lo;
      x = hi;
    }
    if (!std::isfinite(x)) return std::nullopt;
    partials.resize(i);
    partials.push_back(x);
  }
  if (partials.empty()) return 0.0;
  std::size_t n = partials.size() - 1;
  double hi = partials[n], lo = 0.0;
  while (n > 0) {
    const double x = hi, y = partials[--n];
    hi = x + y;
    lo = y - (hi - x);
    if (lo != 0.0) break;
  }
  // Half-way between two doubles, with more of the same sign below: up.
  if (n > 0 && ((lo < 0 && partials[n - 1] < 0) || (lo > 0 && partials[n - 1] > 0))) {
    const double y = 2 * lo, x = hi + y;
    if (y == x - hi) hi = x;
  }
  return hi;
}

// The reference: NaN for a NaN or both infinities, else the infinity; a sum
// whose partials overflow is taken over the halved terms and doubled, when
// halving is exact. None when it cannot be computed this way.
std::optional<double> reference_sum(std::span<const double> xs) {
  double special = 0.0;
  for (const double x : xs) special += std::isfinite(x) ? 0.0 : x;
  if (special != 0.0) return special;
  if (const auto s = fsum_partials(xs)) return s;
  std::vector<double> halves;
  for (const double x : xs) {
    if ((x / 2) * 2 != x) return std::nullopt;
    halves.push_back(x / 2);
  }
  const auto half = fsum_partials(halves);
  return half ? std::optional(2 * *half) : std::nullopt;
}

// Independent of the standard library's distributions, so the data are the
// same everywhere: ±m·2^e, m uniform in [1, 2), e uniform in [lo, hi].
double random_term(std::mt19937_64& rng, int lo, int hi) {
  const double m = 1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52);
  const double x = std::ldexp(m, lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)));
  return (rng() & 1) != 0 ? -x : x;
}

void shuffle(std::vector<double>& v, std::mt19937_64& rng) {
  for (std::size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[rng() % i]);
}

// 1000 of the least subnormal, then one larger negative one.
std::vector<double> many_subnormals() {
  std::vector<double> terms(1000, kTiny);
  terms.push_back(-0x1p-1070);
  return terms;
}

// Three terms at every other exponent from the least subnormal up, whose
// sum needs every chunk of the accumulator, then one large negative term.
std::vector<double> every_other_exponent() {
  std::vector<double> terms;
  for (int n = -1074; n < 972; n += 2) {
    terms.push_back(std::ldexp(1.0, n) - std::ldexp(1.0, n + 50) + std::ldexp(1.0, n + 52));
  }
  terms.push_back(-0x1p1022);
  return terms;
}

TEST(ExactSum, AdversarialTablesMatchTheReferenceBitForBit) {
  struct Row {
    std::string name;
    std::vector<double> terms;
    std::optional<double> expected;  // checked against the reference too when it has one
  };
  const double max = DBL_MAX;
  std::vector<Row> rows = {
      {"empty", {}, 0.0},
      {"cancel", {1e100, 1.0, -1e100, 1e-100, 1e50, -1.0, -1e50}, 1e-100},
      {"span", {1e300, 1e200, 1e100, 1.0, 1e-100, 1e-200, 1e-300, -1e300, -1e200, -1e100, -1.0,
                -1e-100, -1e-200}, 1e-300},
      {"tie to even, down", {1.0, 0x1p-53}, 1.0}, {"below a tie", {1.0, 0x1p-53, -kTiny}, 1.0},
      {"tie broken by a subnormal", {1.0, 0x1p-53, kTiny}, 1.0 + 0x1p-52},
      {"negative tie broken", {-1.0, -0x1p-53, -kTiny}, -1.0 - 0x1p-52},
      {"1 + 3·2⁻⁵³", {1.0, 0x1p-53, 0x1p-53, 0x1p-53}, 1.0 + 0x1p-51},
      {"tie to even, up", {1.0 + 0x1p-52, 0x1p-53}, 1.0 + 0x1p-51},
      {"2⁵³ + 1 + tiny", {0x1p53, 1.0, 0x1p-100}, 0x1p53 + 2.0},
      {"2⁵³ − 1/2 − tiny", {0x1p53, -0.5, -0x1p-54}, 0x1p53 - 1.0},
      {"−0", {-0.0}, -0.0}, {"−0 −0 −0", {-0.0, -0.0, -0.0}, -0.0}, {"−0 +0", {-0.0, 0.0}, 0.0},
      {"−0 then cancel", {-0.0, 1.0, -1.0}, 0.0}, {"subnormals cancel", {-kTiny, kTiny}, 0.0},
      {"subnormal after cancel", {1.0, kTiny, -1.0}, kTiny},
      {"below normal", {DBL_MIN, -kTiny}, DBL_MIN - kTiny},
      {"up to normal", {DBL_MIN - kTiny, kTiny}, DBL_MIN},
      {"subnormal and normal", {0x1.0000000000001p-1022, 0x0.0000000000003p-1022, -1e-310}, {}},
      {"+∞", {1.0, kInf}, kInf}, {"−∞ over an overflowing rest", {-kInf, max, max}, -kInf},
      {"∞ − ∞", {kInf, 1.0, -kInf}, kNaN}, {"NaN", {1.0, kNaN}, kNaN},
      {"overflow", {max, max}, kInf}, {"back in range", {max, max, -max}, max},
      {"back to small", {max, max, -max, -max, 1.0}, 1.0},
      {"half an ulp over DBL_MAX", {max, 0x1p970}, kInf},
      {"just under half an ulp", {max, 0x1p970, -kTiny}, max},
      {"three over, two back", {max, max, max, -max, -max}, max},
  };
  rows.push_back({"1000 subnormals", many_subnormals(), {}});
  rows.push_back({"every other exponent", every_other_exponent(), 0x1.5555555555555p+970});

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto reference = reference_sum(row.terms);
    ASSERT_TRUE(reference || row.expected);
    if (reference && row.expected) {
      ASSERT_TRUE(same(*reference, *row.expected)) << std::hexfloat << *reference;
    }
    const double want = row.expected ? *row.expected : *reference;
    EXPECT_TRUE(same(exact_sum(row.terms), want)) << std::hexfloat << exact_sum(row.terms);
    EXPECT_TRUE(same(exact_sum(std::vector<double>(row.terms.rbegin(), row.terms.rend())), want));
    // Split in two, merged, and merged into an empty sum.
    ExactSum front, back, merged;
    front.add(std::span(row.terms).first(row.terms.size() / 2));
    back.add(std::span(row.terms).subspan(row.terms.size() / 2));
    front.add(back);
    merged.add(front);
    EXPECT_TRUE(same(merged.value(), want)) << std::hexfloat << merged.value();
  }
}

TEST(ExactSum, TenMillionRandomTermsInAnyOrderAndGrouping) {
  // Wide pairs ±x cancel exactly but leave partials across the whole range;
  // the unpaired mid-range terms make every bit of the result matter, and the
  // tiny ones decide ties.
  std::mt19937_64 rng(20240611);
  std::vector<double> terms;
  while (terms.size() < 10'000'000) {
    switch (rng() % 8) {
      case 0:
      case 1: {
        const double x = random_term(rng, -1022, 990);
        terms.push_back(x);
        terms.push_back(-x);
        break;
      }
      case 2: terms.push_back(std::bit_cast<double>(rng() & ~(std::uint64_t{0x7FF} << 52))); break;
      case 3: terms.push_back(random_term(rng, -1022, -100)); break;
      default: terms.push_back(random_term(rng, -80, 40));
    }
  }
  shuffle(terms, rng);
  const double want = reference_sum(terms).value();
  EXPECT_TRUE(same(exact_sum(terms), want)) << std::hexfloat << exact_sum(terms) << " vs " << want;
  shuffle(terms, rng);
  EXPECT_TRUE(same(exact_sum(terms), want));
  // Seven uneven parts, merged last to first, one part itself a merge.
  std::vector<ExactSum> parts(7);
  for (std::size_t i = 0; i < terms.size(); ++i) parts[(i * i) % 7].add(terms[i]);
  parts[5].add(parts[6]);
  ExactSum total;
  for (std::size_t p = 6; p-- > 0;) total.add(parts[p]);
  EXPECT_TRUE(same(total.value(), want)) << std::hexfloat << total.value();
}

TEST(ExactSum, RunningValuesAndMergesOfSumsOverFewChunks) {
  // A sum keeps track of the chunks its terms reached: terms of one binade
  // whose carries climb into chunks no term reached, totals that change
  // sign, and merges of sums whose chunks are disjoint, each read part way
  // and at the end.
  std::mt19937_64 rng(4242);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const int lo = static_cast<int>(rng() % 2000) - 1022;
    const int width = static_cast<int>(rng() % 40);
    const int hi = std::min(lo + width, 1000);
    std::vector<double> terms(1 + rng() % 300);
    for (double& t : terms) t = random_term(rng, lo, hi);
    if (round % 3 == 0) {
      for (double& t : terms) t = std::abs(t);  // carries only
    }
    ExactSum running;
    for (std::size_t i = 0; i < terms.size(); ++i) {
      running.add(terms[i]);
      if (i % 37 == 0) {
        const auto want = reference_sum(std::span(terms).first(i + 1));
        ASSERT_TRUE(want);
        ASSERT_TRUE(same(running.value(), *want)) << std::hexfloat << running.value();
      }
    }
    // The same terms with a second sum far below or above, merged both ways.
    std::vector<double> other(1 + rng() % 50);
    const int shift = (rng() & 1) != 0 ? 300 : -300;
    const int other_lo = std::clamp(lo + shift, -1022, 960);
    for (double& t : other) t = random_term(rng, other_lo, other_lo + 20);
    ExactSum second;
    second.add(other);
    std::vector<double> all = terms;
    all.insert(all.end(), other.begin(), other.end());
    const auto want = reference_sum(all);
    ASSERT_TRUE(want);
    ExactSum into_first = running;
    into_first.add(second);
    ExactSum into_second = second;
    into_second.add(running);
    EXPECT_TRUE(same(into_first.value(), *want)) << std::hexfloat << into_first.value();
    EXPECT_TRUE(same(into_second.value(), *want)) << std::hexfloat << into_second.value();
    // Taking it all back leaves the other sum.
    for (const double t : terms) into_first.add(-t);
    EXPECT_TRUE(same(into_first.value(), exact_sum(other)));
  }
}

TEST(LaneSums, BoundedSumIsExactWhenProved) {
  // Well conditioned, the bound proves nearly every sum. Ill conditioned, big
  // terms and their negations leave a small sum that the lanes' hi and lo
  // alone often get wrong; the bound must then decline.
  std::mt19937_64 rng(77);
  for (const bool ill : {false, true}) {
    SCOPED_TRACE(ill ? "ill conditioned" : "well conditioned");
    const int trials = 3000;
    int proved = 0, parts_wrong = 0;
    for (int t = 0; t < trials; ++t) {
      std::vector<double> terms;
      const std::size_t n = 1 + rng() % 400;
      for (std::size_t i = 0; i < n; ++i) {
        const bool big = ill && (rng() & 1) != 0;
        terms.push_back(big ? random_term(rng, 30, 60) : random_term(rng, -30, 0));
        if (big) terms.push_back(-terms.back());
      }
      shuffle(terms, rng);
      const double want = exact_sum(terms);
      LaneSums<4> four;
      LaneSums<1> one;
      for (std::size_t i = 0; i < terms.size(); i += 8) {
        const std::size_t m = std::min<std::size_t>(8, terms.size() - i);
        four.add(terms.data() + i, m);
        one.add(terms.data() + i, m);
      }
      // All four lanes, the one lane, and lanes 0–1 and 2–3 merged.
      BoundedSum from_four, from_one, halves, upper;
      from_four.add(four);
      from_one.add(one);
      halves.add_lanes(four.hi.data(), four.lo.data(), four.lo_magnitude.data(), 2);
      upper.add_lanes(four.hi.data() + 2, four.lo.data() + 2, four.lo_magnitude.data() + 2, 2);
      halves.add(upper);
      for (const BoundedSum* b : {&from_four, &from_one, &halves}) {
        const auto v = b->value();
        EXPECT_TRUE(!v || same(*v, want)) << std::hexfloat << *v;
      }
      proved += from_four.value().has_value();
      ExactSum parts;
      parts.add(four.hi);
      parts.add(four.lo);
      parts_wrong += !same(parts.value(), want);
    }
    if (ill) {
      EXPECT_GT(parts_wrong, 0);  // the bound is what kept these out
    } else {
      EXPECT_GE(proved, trials * 9 / 10);
    }
  }
}

TEST(LaneSums, BoundedSumDeclinesWhatItCannotProve) {
  // A lane overflows, the parts lie on a tie (either sign), or a term is
  // infinite.
  const std::vector<std::vector<double>> unproved = {
      {DBL_MAX, DBL_MAX, -DBL_MAX}, {1.0, 0x1p-53}, {-0x1p60, -0x1p7}, {1.0, kInf}};
  for (const auto& terms : unproved) {
    LaneSums<1> one;
    one.add(terms.data(), terms.size());
    BoundedSum b;
    b.add(one);
    EXPECT_FALSE(b.value().has_value()) << std::hexfloat << terms[0] << " + " << terms[1];
  }
}

}  // namespace
}  // namespace tarnwick::numerics::testing
