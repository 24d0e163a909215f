// Running pure C++ work with the GIL released, so other Python threads go on meanwhile.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pw::py {

// The caller keeps every Python object the work reads from alive (the method's `self` holds the database).
template <class F>
auto without_gil(F&& work) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return std::forward<F>(work)();
}

}  // namespace pw::py
