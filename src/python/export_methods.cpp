// export_table, export_all: placeholder until the JSON Lines writer lands.
#include "errors.hpp"
#include "ese_database.hpp"

namespace pw::py {

PyObject* ese_export_table(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "export_table");
  return nullptr;
}
PyObject* ese_export_all(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "export_all");
  return nullptr;
}

}  // namespace pw::py
