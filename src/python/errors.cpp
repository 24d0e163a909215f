#include "errors.hpp"

#include "py_ref.hpp"

namespace pw::py {
namespace {

PyObject* raise_text(PyObject* type, const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (!text) return nullptr;
  // An exception called with a single argument: for OSError a plain OSError, no errno or filename.
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace

PyObject* raise_os_error(const std::string& message) { return raise_text(PyExc_OSError, message); }

PyObject* raise_path_error(int err, const std::string& message, const std::string& path) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyRef name(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!text || !name) return nullptr;
  PyRef exception(PyObject_CallFunction(PyExc_OSError, "iOO", err, text.get(), name.get()));
  if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

PyObject* raise_ese_error(const EseError& error) {
  switch (error.kind()) {
    case ErrorKind::TableNotFound:
      return raise_text(PyExc_ValueError, error.to_string());
    case ErrorKind::Io:
      return raise_text(PyExc_OSError, os_error_text(error.os_errno()));
    default:
      return raise_text(PyExc_OSError, error.to_string());
  }
}

}  // namespace pw::py
