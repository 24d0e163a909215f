// PyRef: owns one strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pw::py {

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// A static type object's common fields (one type per process; no heap type needed).
inline PyTypeObject static_type(const char* name, Py_ssize_t basic_size, const char* doc) {
  PyTypeObject t{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
  t.tp_name = name;
  t.tp_basicsize = basic_size;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = doc;
  return t;
}

}  // namespace pw::py
