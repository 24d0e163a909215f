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
  // The errno's own subclass (FileNotFoundError, ...), found as OSError(errno, text) finds it; built with one
  // argument so that its text is the method's own, followed by the path it concerns.
  PyRef probe(PyObject_CallFunction(PyExc_OSError, "is", err, ""));
  PyRef name(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!probe || !name) return nullptr;
  PyRef quoted(PyObject_Repr(name.get()));
  PyRef text(PyUnicode_FromFormat("%s: %U", message.c_str(), quoted.get()));
  if (!quoted || !text) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(probe.get()));
  PyRef exception(PyObject_CallOneArg(type, text.get()));
  PyRef number(PyLong_FromLong(err));
  if (!exception || !number || PyObject_SetAttrString(exception.get(), "errno", number.get()) < 0) return nullptr;
  PyErr_SetObject(type, exception.get());
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
