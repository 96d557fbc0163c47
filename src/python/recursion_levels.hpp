// One call of splot's share of the interpreter's recursion limit. A PDF may
// call splot again, so calls can nest; each call counts as kRecursionLevels
// levels of sys.getrecursionlimit() besides the Python frames below it, so
// that nesting too deep ends in RecursionError while the C stack still has
// room, as it does for CPython's own builtins that call back into Python.
#pragma once

namespace tarnwick::python {

// One call's share of the recursion limit, held while the call runs. The
// Python frames below the call and kRecursionLevels for every call of splot
// on the thread, this one included, must stay within sys.getrecursionlimit();
// and the call is one level of the interpreter's own C recursion guard
// (Py_EnterRecursiveCall). Requires the interpreter lock from enter() to the
// end of the guard, on the same thread.
class RecursionLevels {
 public:
  RecursionLevels() = default;
  RecursionLevels(const RecursionLevels&) = delete;
  RecursionLevels& operator=(const RecursionLevels&) = delete;
  ~RecursionLevels();

  // True with the levels taken, or false with RecursionError raised (what
  // was taken is given back by the destructor).
  [[nodiscard]] bool enter() noexcept;

 private:
  bool counted_ = false;
  bool entered_c_ = false;
};

}  // namespace tarnwick::python
