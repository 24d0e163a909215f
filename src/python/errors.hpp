// The one mapping from EseError to a Python exception, and helpers for the methods' own messages.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

#include "../error.hpp"

namespace pw::py {

// Long loops that hold the GIL run the signal handlers (Ctrl-C) this often.
inline constexpr std::uint64_t kRowsBetweenSignalChecks = 4096;

// TableNotFound -> ValueError, Io -> OSError with the system's text, every other kind -> OSError.
// Always returns nullptr so callers can `return raise_ese_error(e);`.
PyObject* raise_ese_error(const EseError& error);

// A plain OSError (never a subclass) with the given text.
PyObject* raise_os_error(const std::string& message);

// An OSError for a failure on a file the caller named: errno `err` (so the subclass Python gives that errno,
// e.g. FileNotFoundError), strerror `message` (the method's own text), filename `path` (decoded as os does).
PyObject* raise_path_error(int err, const std::string& message, const std::string& path);

// Runs f, turning a C++ allocation failure into MemoryError; nothing else may escape to the C API.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error");
    return nullptr;
  }
}

}  // namespace pw::py
