// The events of a fit, read in place: a rows × cols table of doubles in the
// caller's memory, addressed by byte strides of any sign. A NumPy array of
// any layout (transposed, reversed, sliced, misaligned) is viewed without
// copying it. The view owns nothing: the caller keeps the memory alive and
// unchanged for as long as the view is used. The engine never interprets
// the coordinates; it hands the view to the PDFs and validation reads it.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>

#include "base/check.hpp"

namespace tarnwick::fit {

class EventView {
 public:
  // No events.
  EventView() = default;
  // `data` is the address of element (0, 0); element (i, j) lies
  // i·row_stride + j·col_stride bytes from it.
  EventView(const char* data, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
            std::ptrdiff_t col_stride)
      : data_(data), rows_(rows), cols_(cols), row_stride_(row_stride), col_stride_(col_stride) {}
  // A contiguous row-major table of values.size() / cols rows.
  EventView(std::span<const double> values, std::size_t cols)
      : EventView(reinterpret_cast<const char*>(values.data()), cols == 0 ? 0 : values.size() / cols,
                  cols, static_cast<std::ptrdiff_t>(cols * sizeof(double)), sizeof(double)) {}

  [[nodiscard]] std::size_t size() const { return rows_; }
  [[nodiscard]] bool empty() const { return rows_ == 0; }
  // The number of coordinates of every event.
  [[nodiscard]] std::size_t width() const { return cols_; }

  // Coordinate j of event i, read without assuming alignment.
  [[nodiscard]] double at(std::size_t i, std::size_t j) const {
    TARNWICK_REQUIRE(i < rows_ && j < cols_);
    double value;
    std::memcpy(&value,
                data_ + static_cast<std::ptrdiff_t>(i) * row_stride_ +
                    static_cast<std::ptrdiff_t>(j) * col_stride_,
                sizeof value);
    return value;
  }

 private:
  const char* data_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::ptrdiff_t row_stride_ = 0;
  std::ptrdiff_t col_stride_ = 0;
};

}  // namespace tarnwick::fit
