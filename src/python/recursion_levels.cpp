#include "recursion_levels.hpp"

#include <Python.h>

#include "py_ref.hpp"

namespace tarnwick::python {
namespace {

// How many levels of the interpreter's recursion limit (sys.getrecursionlimit())
// one call of splot counts as, besides the Python frames below it.
// A nesting level takes up to about 9 KiB of C stack (the most when the PDF
// that nests is called from deep inside the fit, the least at the probe),
// while the PDF's own Python frame, the level's other count against the
// limit, takes none. At two levels per call, three per nesting level, the
// default limit of 1000 ends nesting in RecursionError after about 330
// levels, some 3 MiB of stack, which a thread started with a 4 MiB stack
// holds; at one level per call the 500 nesting levels would need 4.5 MiB.
constexpr int kRecursionLevels = 2;
constexpr const char kRecursionWhere[] = " in tarnwick.splot";

// The nested calls of splot on this thread, each of which counts as
// kRecursionLevels levels besides the Python frames below it.
thread_local int nested_calls = 0;

// The Python frames of the calling thread.
int python_frames() noexcept {
  int depth = 0;
  PyRef frame = PyRef::steal(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(PyThreadState_Get())));
  while (frame) {
    ++depth;
    frame = PyRef::steal(
        reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame.get()))));
  }
  return depth;
}

}  // namespace

RecursionLevels::~RecursionLevels() {
  if (entered_c_) {
    Py_LeaveRecursiveCall();
  }
  if (counted_) {
    --nested_calls;
  }
}

bool RecursionLevels::enter() noexcept {
  if (python_frames() + kRecursionLevels * (nested_calls + 1) > Py_GetRecursionLimit()) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kRecursionWhere);
    return false;
  }
  ++nested_calls;
  counted_ = true;
  if (Py_EnterRecursiveCall(kRecursionWhere) != 0) {
    return false;
  }
  entered_c_ = true;
  return true;
}

}  // namespace tarnwick::python
