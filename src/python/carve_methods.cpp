// carve_utf16le_strings(_scoped): placeholder until the carver lands.
#include "errors.hpp"
#include "ese_database.hpp"

namespace pw::py {

PyObject* ese_carve_utf16le_strings(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "carve");
  return nullptr;
}
PyObject* ese_carve_utf16le_strings_scoped(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "carve");
  return nullptr;
}

}  // namespace pw::py
