// The one translation unit that includes NumPy's headers. It defines the
// module's copy of the API table; no other file includes numpy/*.h.
#include "numpy_api.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tarnwick_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The oldest NumPy the module runs on; the headers are those of NumPy 2,
// whose API table is a superset of this version's.
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>

#include <cstring>
#include <memory>
#include <new>

namespace tarnwick::python::numpy {
namespace {

constexpr std::ptrdiff_t kElementSize = sizeof(double);

PyArrayObject* as_array(PyObject* object) noexcept {
  return reinterpret_cast<PyArrayObject*>(object);
}

// Reads one element at a possibly misaligned address.
double read_element(const char* address) noexcept {
  double value;
  std::memcpy(&value, address, sizeof value);
  return value;
}

// NumPy's dimension type is npy_intp; sizes here are std::size_t. Every
// size handed in describes memory that exists, so it fits.
bool to_dims(std::initializer_list<std::size_t> shape, npy_intp (&dims)[2], int& nd) noexcept {
  if (shape.size() == 0 || shape.size() > 2) {
    return false;
  }
  nd = static_cast<int>(shape.size());
  int i = 0;
  for (std::size_t extent : shape) {
    dims[i++] = static_cast<npy_intp>(extent);
  }
  return true;
}

// A new, uninitialised C-ordered float64 array; null with an exception set.
PyObject* new_array(std::initializer_list<std::size_t> shape, void* data) noexcept {
  npy_intp dims[2] = {0, 0};
  int nd = 0;
  if (!to_dims(shape, dims, nd)) {
    PyErr_SetString(PyExc_SystemError, "tarnwick: unsupported array rank");
    return nullptr;
  }
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
  if (descr == nullptr) {
    return nullptr;
  }
  // PyArray_NewFromDescr takes over the descriptor reference.
  return PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, nullptr, data,
                              data == nullptr ? 0 : NPY_ARRAY_CARRAY, nullptr);
}

// The owner of a vector's memory while an array uses it.
constexpr const char* kOwnerName = "tarnwick.array_memory";

void destroy_owned_vector(PyObject* capsule) noexcept {
  delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, kOwnerName));
}

// `object` as a float64 array with the given PyArray_FromAny requirements.
PyRef float64_array(PyObject* object, int requirements) noexcept {
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
  if (descr == nullptr) {
    return {};
  }
  // PyArray_FromAny takes over the descriptor reference, also on failure.
  return PyRef::steal(PyArray_FromAny(object, descr, 0, 0, requirements, nullptr));
}

}  // namespace

int import_api() noexcept {
  // NumPy's own import routine: takes the `_ARRAY_API` capsule from
  // numpy._core (NumPy 2), falling back to numpy.core (NumPy 1.x), and
  // checks that the running NumPy provides the API level built against.
  // Unlike the import_array macros it keeps the original exception and
  // prints nothing.
  return _import_array() < 0 ? -1 : 0;
}

bool is_array(PyObject* object) noexcept { return PyArray_Check(object) != 0; }

bool is_float64_array(PyObject* object, int ndim) noexcept {
  if (!PyArray_Check(object) || PyArray_NDIM(as_array(object)) != ndim) {
    return false;
  }
  PyRef native = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT64)));
  if (!native) {
    PyErr_Clear();
    return false;
  }
  return PyArray_EquivTypes(PyArray_DESCR(as_array(object)),
                            reinterpret_cast<PyArray_Descr*>(native.get())) != 0;
}

PyRef to_float64_array(PyObject* object) noexcept {
  return float64_array(object, NPY_ARRAY_FORCECAST);
}

PyRef copy_to_float64_array(PyObject* object) noexcept {
  return float64_array(object, NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSURECOPY | NPY_ARRAY_CARRAY);
}

int ndim(PyObject* array) noexcept { return PyArray_NDIM(as_array(array)); }

VectorView vector_view(PyObject* array) noexcept {
  PyArrayObject* a = as_array(array);
  return {static_cast<const char*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_DIM(a, 0)),
          PyArray_STRIDE(a, 0)};
}

MatrixView matrix_view(PyObject* array) noexcept {
  PyArrayObject* a = as_array(array);
  return {static_cast<const char*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_DIM(a, 0)),
          static_cast<std::size_t>(PyArray_DIM(a, 1)), PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1)};
}

bool is_aligned_and_contiguous(PyObject* array) noexcept {
  PyArrayObject* a = as_array(array);
  return PyArray_ISALIGNED(a) && PyArray_IS_C_CONTIGUOUS(a);
}

bool is_c_contiguous(PyObject* array) noexcept {
  return PyArray_IS_C_CONTIGUOUS(as_array(array));
}

ReadOnlyGuard::ReadOnlyGuard(PyObject* array) noexcept {
  PyArrayObject* a = as_array(array);
  if (PyArray_ISWRITEABLE(a)) {
    PyArray_CLEARFLAGS(a, NPY_ARRAY_WRITEABLE);
    array_ = PyRef::borrow(array);
  }
}

ReadOnlyGuard::~ReadOnlyGuard() {
  if (array_) {
    // Set directly, not through the flags' setter: the array was writeable
    // when the guard took it, so giving the flag back needs no check.
    PyArray_ENABLEFLAGS(as_array(array_.get()), NPY_ARRAY_WRITEABLE);
  }
}

std::optional<std::span<const double>> unshared_elements(PyObject* array) noexcept {
  PyArrayObject* a = as_array(array);
  if (Py_REFCNT(array) != 1 || PyArray_BASE(a) != nullptr ||
      !PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA) || !is_aligned_and_contiguous(array)) {
    return std::nullopt;
  }
  return std::span<const double>(static_cast<const double*>(PyArray_DATA(a)),
                                 static_cast<std::size_t>(PyArray_DIM(a, 0)));
}

void copy_elements(const VectorView& view, double* out) noexcept {
  if (view.length == 0) {
    return;
  }
  if (view.stride == kElementSize || view.length < 2) {
    std::memcpy(out, view.data, view.length * sizeof(double));
    return;
  }
  const char* address = view.data;
  for (std::size_t i = 0; i < view.length; ++i, address += view.stride) {
    out[i] = read_element(address);
  }
}

PyRef array_from_copy(std::span<const double> values,
                      std::initializer_list<std::size_t> shape) noexcept {
  PyRef array = PyRef::steal(new_array(shape, nullptr));
  if (array && !values.empty()) {
    std::memcpy(PyArray_DATA(as_array(array.get())), values.data(), values.size_bytes());
  }
  return array;
}

PyRef array_from_vector(std::vector<double>&& values,
                        std::initializer_list<std::size_t> shape) noexcept {
  if (values.empty()) {
    // No memory to share: NumPy allocates the (empty) buffer itself.
    return PyRef::steal(new_array(shape, nullptr));
  }
  std::unique_ptr<std::vector<double>> owned(new (std::nothrow) std::vector<double>());
  if (!owned) {
    PyErr_NoMemory();
    return {};
  }
  PyRef owner = PyRef::steal(PyCapsule_New(owned.get(), kOwnerName, destroy_owned_vector));
  if (!owner) {
    return {};
  }
  // From here the capsule frees the vector; until the swap it is empty.
  std::vector<double>* storage = owned.release();
  PyRef array = PyRef::steal(new_array(shape, values.data()));
  if (!array) {
    return {};
  }
  // PyArray_SetBaseObject takes over the owner reference, also on failure.
  if (PyArray_SetBaseObject(as_array(array.get()), owner.release()) < 0) {
    return {};
  }
  // The array already points into `values`' buffer; swapping hands that
  // buffer to the owner without moving it.
  storage->swap(values);
  return array;
}

}  // namespace tarnwick::python::numpy
