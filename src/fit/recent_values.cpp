#include "fit/recent_values.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/check.hpp"

namespace tarnwick::fit {

RecentValues::RecentValues(std::size_t dimension, std::size_t capacity)
    : dimension_(dimension),
      capacity_(std::max<std::size_t>(capacity, 1)),
      hashes_(capacity_),
      points_(capacity_ * dimension_),
      values_(capacity_) {}

std::size_t RecentValues::capacity_for(std::size_t n, std::size_t n_shape) {
  return std::min(kMostValues, 4 * n * (n_shape + 1) + 2 * n + 8);
}

std::uint64_t RecentValues::hash(std::span<const double> point) {
  // FNV-1a over the coordinates' bits, a word at a time.
  std::uint64_t h = 0xcbf29ce484222325u;
  for (const double v : point) {
    h ^= std::bit_cast<std::uint64_t>(v);
    h *= 0x100000001b3u;
    h ^= h >> 29;
  }
  return h;
}

std::optional<double> RecentValues::find(std::span<const double> point) const {
  TARNWICK_REQUIRE(point.size() == dimension_);
  const std::uint64_t h = hash(point);
  // Newest first (most repeats are of recent points): the slots below
  // next_, then, when the memory has wrapped, those above it.
  const auto match = [&](std::size_t slot) {
    return hashes_[slot] == h && std::memcmp(points_.data() + slot * dimension_, point.data(),
                                             dimension_ * sizeof(double)) == 0;
  };
  for (std::size_t slot = next_; slot-- > 0;) {
    if (match(slot)) return values_[slot];
  }
  for (std::size_t slot = size_; slot-- > next_;) {
    if (match(slot)) return values_[slot];
  }
  return std::nullopt;
}

void RecentValues::remember(std::span<const double> point, double value) {
  TARNWICK_REQUIRE(point.size() == dimension_);
  hashes_[next_] = hash(point);
  std::copy(point.begin(), point.end(),
            points_.begin() + static_cast<std::ptrdiff_t>(next_ * dimension_));
  values_[next_] = value;
  next_ = (next_ + 1) % capacity_;
  size_ = std::min(size_ + 1, capacity_);
}

}  // namespace tarnwick::fit
