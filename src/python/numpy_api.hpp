// The module's only door to NumPy's C API.
//
// Every array that enters or leaves the module goes through these functions:
// the dtype, dimension, alignment and contiguity tests, the strided reads and
// the creation of result arrays. Arrays are always read through their
// strides in bytes, element by element with memcpy where they are not
// contiguous, so negative strides, zero strides and misaligned buffers are
// read correctly; nothing here casts a data pointer to double*.
//
// All functions require the interpreter lock, and `import_api` must have
// succeeded before any other is called.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "py_ref.hpp"

namespace tarnwick::python::numpy {

// Imports NumPy's C API (the `_ARRAY_API` capsule of numpy._core on NumPy 2,
// of numpy.core before). Returns -1 with an exception set when NumPy cannot
// be imported or is too old, 0 otherwise.
[[nodiscard]] int import_api() noexcept;

// A read-only view of the elements of a one-dimensional float64 array.
struct VectorView {
  const char* data = nullptr;
  std::size_t length = 0;
  std::ptrdiff_t stride = 0;  // bytes from one element to the next
};

// A read-only view of the elements of a two-dimensional float64 array.
struct MatrixView {
  const char* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // bytes
  std::ptrdiff_t col_stride = 0;  // bytes
};

// True when `object` is a NumPy array or an instance of a subclass.
[[nodiscard]] bool is_array(PyObject* object) noexcept;

// True when `object` is a NumPy array (or an instance of a subclass) with
// exactly `ndim` dimensions and a dtype equivalent to native-endian float64.
// Never fails.
[[nodiscard]] bool is_float64_array(PyObject* object, int ndim) noexcept;

// NumPy's conversion of an arbitrary object to a float64 array with forced
// casting (PyArray_FromAny with NPY_ARRAY_FORCECAST): a new array, or the
// object itself when it already is one. Empty with an exception set when the
// object cannot be converted.
[[nodiscard]] PyRef to_float64_array(PyObject* object) noexcept;
// A new C-ordered, aligned float64 array that owns a copy of `object`'s
// values (anything NumPy converts, with forced casting). Empty with NumPy's
// exception set on failure.
[[nodiscard]] PyRef copy_to_float64_array(PyObject* object) noexcept;

// The number of dimensions of `array`, which must be a NumPy array.
[[nodiscard]] int ndim(PyObject* array) noexcept;

// Views of an array for which is_float64_array(array, 1), resp. (array, 2),
// holds. They stay valid while the array is alive and not resized.
[[nodiscard]] VectorView vector_view(PyObject* array) noexcept;
[[nodiscard]] MatrixView matrix_view(PyObject* array) noexcept;

// True when the elements of `array` (a NumPy array) are aligned and
// contiguous in C order.
[[nodiscard]] bool is_aligned_and_contiguous(PyObject* array) noexcept;
// True when the elements of `array` (a NumPy array) are contiguous in C
// order, aligned or not.
[[nodiscard]] bool is_c_contiguous(PyObject* array) noexcept;

// Keeps a NumPy array read-only while the guard lives: when the array's
// NPY_ARRAY_WRITEABLE flag is set, the guard clears it, holds a reference to
// the array, and sets the flag again when it is destroyed, however the scope
// ends. A write through the array then fails with NumPy's own ValueError
// "assignment destination is read-only". An array that is read-only already
// is left as it is. Other arrays over the same memory (its base, other
// views) are not affected. Requires the interpreter lock from construction
// to destruction.
class ReadOnlyGuard {
 public:
  explicit ReadOnlyGuard(PyObject* array) noexcept;
  ReadOnlyGuard(const ReadOnlyGuard&) = delete;
  ReadOnlyGuard& operator=(const ReadOnlyGuard&) = delete;
  ~ReadOnlyGuard();

 private:
  PyRef array_;  // the array whose flag this guard cleared, or empty
};

// The elements of a one-dimensional float64 array (is_float64_array(array,
// 1)) that nothing but the caller's one reference can reach: aligned and
// C-contiguous, owning its memory (no base object, so no other array shares
// it), with a reference count of 1. While the caller holds that reference
// nobody can change them. Otherwise none.
[[nodiscard]] std::optional<std::span<const double>> unshared_elements(PyObject* array) noexcept;

// Copies the elements of `view` in order into `out`, which must have room
// for view.length doubles: one block copy when the elements are adjacent
// (stride 8) or fewer than two, element by element through the stride
// otherwise.
void copy_elements(const VectorView& view, double* out) noexcept;

// A new C-ordered float64 array of the given shape (one or two dimensions)
// holding a copy of `values`, which are in row-major order and number the
// product of the shape. Empty with MemoryError set on failure.
[[nodiscard]] PyRef array_from_copy(std::span<const double> values,
                                    std::initializer_list<std::size_t> shape) noexcept;

// A C-ordered float64 array of the given shape over the memory of `values`,
// without copying: the array's base is an owner object that frees the vector
// when the array goes away. The product of the shape must equal
// values.size(). The vector is moved from only on success; on failure
// (MemoryError set) it is left as it was.
[[nodiscard]] PyRef array_from_vector(std::vector<double>&& values,
                                      std::initializer_list<std::size_t> shape) noexcept;

}  // namespace tarnwick::python::numpy
