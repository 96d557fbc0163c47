#include "error_mapping.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <string_view>
#include <type_traits>
#include <variant>

namespace tarnwick::python {
namespace {

// Thrown inside std::call_once when the type could not be made, so that the
// once-flag stays unset and a later call tries again. The Python exception
// is left raised in the calling thread.
struct TypeCreationFailed {};

// The UTF-8 text of a str, or empty with the encoding error cleared.
std::string_view utf8_or_empty(PyObject* text) noexcept {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return {};
  }
  return {data, static_cast<std::size_t>(size)};
}

// traceback.format_tb(traceback, -frames) joined into one str: the last
// `frames` frames as Python prints them. Empty with an exception raised on
// failure.
PyRef format_last_frames(PyObject* traceback, int frames) noexcept {
  PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
  PyRef format = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "format_tb")) : PyRef();
  PyRef lines =
      format ? PyRef::steal(PyObject_CallFunction(format.get(), "Oi", traceback, -frames))
             : PyRef();
  PyRef separator = lines ? PyRef::steal(PyUnicode_FromString("")) : PyRef();
  return separator ? PyRef::steal(PyUnicode_Join(separator.get(), lines.get())) : PyRef();
}

// Clears a raised Exception; leaves raised anything that is not one.
void clear_unless_interruption() noexcept {
  if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_Exception) != 0) {
    PyErr_Clear();
  }
}

}  // namespace

PyObject* splot_error_type() noexcept {
  static std::atomic<PyObject*> type{nullptr};
  static std::once_flag once;
  if (PyObject* existing = type.load(std::memory_order_acquire)) {
    return existing;
  }
  // Making a type can run Python code (a garbage collection may call
  // finalisers), which may let another thread take the interpreter lock. The
  // lock is therefore not held while waiting on the once-flag: a second
  // thread waits without it, and the creating thread re-attaches to make the
  // type.
  PyThreadState* thread = PyEval_SaveThread();
  bool failed = false;
  try {
    std::call_once(once, [&thread] {
      PyEval_RestoreThread(thread);
      PyObject* created = PyErr_NewExceptionWithDoc("tarnwick.SPlotError", nullptr,
                                                    PyExc_RuntimeError, nullptr);
      thread = PyEval_SaveThread();
      if (created == nullptr) {
        throw TypeCreationFailed{};
      }
      type.store(created, std::memory_order_release);
    });
  } catch (...) {
    failed = true;
  }
  PyEval_RestoreThread(thread);
  if (failed) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "tarnwick: could not create the SPlotError type");
    }
    return nullptr;
  }
  return type.load(std::memory_order_acquire);
}

PyObject* raise_fit_error(const fit::SPlotError& error) noexcept {
  PyObject* type = nullptr;
  if (std::holds_alternative<fit::InvalidInput>(error)) {
    type = PyExc_ValueError;
  } else {
    type = splot_error_type();
    if (type == nullptr) {
      return nullptr;
    }
  }
  PyRef message;
  try {
    const std::string text = fit::to_string(error);
    message = PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!message) {
    return nullptr;
  }
  PyRef instance = PyRef::steal(PyObject_CallOneArg(type, message.get()));
  if (instance) {
    PyErr_SetObject(type, instance.get());
  }
  return nullptr;
}

PyRef take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    return {};
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef traceback_ref = PyRef::steal(traceback);
  if (traceback != nullptr && value != nullptr) {
    PyException_SetTraceback(value, traceback);
  }
  return PyRef::steal(value);
#endif
}

void restore_raised_exception(PyRef exception) noexcept {
  if (!exception) {
    return;
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
  PyObject* traceback = PyException_GetTraceback(exception.get());
  PyErr_Restore(type, exception.release(), traceback);
#endif
}

void add_note(std::string_view text) noexcept {
  PyRef exception = take_raised_exception();
  if (!exception) {
    return;
  }
  PyRef note = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (note) {
    PyRef outcome =
        PyRef::steal(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()));
    if (!outcome) {
      // Keep the exception the caller is about to see; drop the failure to
      // annotate it.
      PyErr_Clear();
    }
  } else {
    PyErr_Clear();
  }
  restore_raised_exception(std::move(exception));
}

void add_processing_note(const char* parameter) noexcept {
  try {
    add_note("while processing '" + std::string(parameter) + "'");
  } catch (const std::bad_alloc&) {
    // The exception stays raised without its note.
  }
}

std::string describe_exception(PyObject* exception) {
  std::string text;
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(exception)));
  if (name) {
    text = utf8_or_empty(name.get());
  } else {
    PyErr_Clear();
    text = "<unknown exception type>";
  }
  text += ": ";
  PyRef str = PyRef::steal(PyObject_Str(exception));
  if (!str) {
    PyErr_Clear();
    text += "<exception str() failed>";
    return text;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    text += "<exception str() failed>";
    return text;
  }
  text.append(data, static_cast<std::size_t>(size));
  return text;
}

std::string raise_site_note(PyObject* exception, std::size_t index) {
  std::string note = "raised in PDF " + std::to_string(index);
  PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
  if (!traceback || traceback.get() == Py_None) {
    return note;
  }
  PyRef frames = format_last_frames(traceback.get(), kNoteFrames);
  if (!frames) {
    clear_unless_interruption();
    return note;
  }
  std::string_view text = utf8_or_empty(frames.get());
  while (!text.empty() && text.back() == '\n') {
    text.remove_suffix(1);
  }
  if (!text.empty()) {
    note += " (most recent call last):\n";
    note += text;
  }
  return note;
}

}  // namespace tarnwick::python
