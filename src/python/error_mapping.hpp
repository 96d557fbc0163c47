// Between Python exceptions and the fit engine's error values.
//
// The fit engine reports failures as `fit::SPlotError` values; this file
// raises them as Python exceptions (InvalidInput as ValueError, every other
// variant as the module's SPlotError, always with the display text as the
// one argument). It also holds the exception helpers that the rest of the
// module shares: the process-wide SPlotError type, taking and restoring the
// raised exception, the notes added to it, and the text by which a PDF's
// exception is reported inside an engine error.
//
// Everything here requires the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "fit/splot_error.hpp"
#include "py_ref.hpp"

namespace tarnwick::python {

// The exception type tarnwick.SPlotError (base RuntimeError, no docstring).
// It is made once per process, on first need, and lives until the process
// ends; several threads asking at once still get one type. Returns a
// borrowed reference, or null with an exception set if it could not be made.
[[nodiscard]] PyObject* splot_error_type() noexcept;

// Raises `error` as a Python exception: ValueError for InvalidInput, the
// module's SPlotError for every other variant, made by calling the type with
// the display text. Always returns null, for `return raise_fit_error(e);`.
PyObject* raise_fit_error(const fit::SPlotError& error) noexcept;

// Takes the raised exception out of the thread state, normalised and with
// its traceback attached. Empty when no exception is raised.
[[nodiscard]] PyRef take_raised_exception() noexcept;

// Raises `exception` (an exception instance, taken over) again, unchanged.
void restore_raised_exception(PyRef exception) noexcept;

// Adds `note` (UTF-8) to the raised exception through its add_note method.
// The exception stays raised; should adding the note itself fail, the
// original exception is kept without it.
void add_note(std::string_view note) noexcept;

// add_note with "while processing '<parameter>'".
void add_processing_note(const char* parameter) noexcept;

// The text of an exception inside an engine error: the qualified name of
// its type, ": ", then str() of the exception, or "<exception str() failed>"
// in its place when str() raises (that failure is cleared).
[[nodiscard]] std::string describe_exception(PyObject* exception);

// The frames of a PDF's traceback that the note of its SPlotError shows.
constexpr int kNoteFrames = 3;

// Where PDF `index` raised `exception`: "raised in PDF <index> (most recent
// call last):" and, on the lines below, the last kNoteFrames frames of the
// exception's traceback as Python prints them (traceback.format_tb: file,
// line, function, source line), without a final newline. Only the first
// line when the traceback is empty or cannot be formatted; such a failure
// is cleared, unless it is not an Exception (a KeyboardInterrupt raised by
// a signal handler meanwhile), which is left raised for the caller.
[[nodiscard]] std::string raise_site_note(PyObject* exception, std::size_t index);

}  // namespace tarnwick::python
