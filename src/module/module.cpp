// PyInit_pagewright: the module with EseDatabase and __version__ (single-phase initialisation).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../python/carve_methods.hpp"
#include "../python/ese_database.hpp"
#include "../python/log_objects.hpp"
#include "../python/table_object.hpp"
#include "../python/values.hpp"

namespace {

constexpr const char* kVersion = "0.1.8";

// m_size 0 (not -1) makes every interpreter call PyInit_pagewright, so other interpreters can be refused.
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "pagewright", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyObject* g_module = nullptr;
PyInterpreterState* g_interpreter = nullptr;

// Sets an attribute that __all__ does not list (stealing value): the module's contract lists EseDatabase and
// __version__ only; the other classes and functions are importable by name.
int add_attribute(PyObject* module, const char* name, PyObject* value) {
  if (!value) return -1;
  const int rc = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return rc;
}

// Appends the name to __all__ (created on first use), then sets the attribute (stealing value).
int add_public(PyObject* module, const char* name, PyObject* value) {
  if (!value) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    PyErr_Clear();
    all = PyList_New(0);
    if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return -1;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  const int appended = text ? PyList_Append(all, text) : -1;
  Py_XDECREF(text);
  Py_DECREF(all);
  if (appended < 0) {
    Py_DECREF(value);
    return -1;
  }
  const int rc = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return rc;
}

// Imports the package `package` and registers it as pagewright.<name>; a package that is not installed is left
// out. Returns -1 with an exception set when the registration fails.
int add_submodule(PyObject* module, const char* package, const char* name) {
  PyObject* sub = PyImport_ImportModule(package);
  if (!sub) {
    PyErr_Clear();
    return 0;
  }
  PyObject* qualified = PyUnicode_FromFormat("pagewright.%s", name);
  int rc = qualified ? PyDict_SetItem(PyImport_GetModuleDict(), qualified, sub) : -1;
  if (rc == 0) rc = PyModule_AddObjectRef(module, name, sub);
  Py_XDECREF(qualified);
  Py_DECREF(sub);
  return rc < 0 ? -1 : 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_pagewright(void) {
  PyInterpreterState* interp = PyInterpreterState_Get();
  if (g_interpreter == nullptr) {
    g_interpreter = interp;
  } else if (g_interpreter != interp) {
    PyErr_SetString(PyExc_ImportError,
                    "pagewright does not support subinterpreters: it can only be imported in the main interpreter");
    return nullptr;
  }
  if (g_module) {
    Py_INCREF(g_module);
    return g_module;
  }
  if (pw::py::init_typed_values() < 0) return nullptr;
  PyTypeObject* type = pw::py::ese_database_type();
  if (PyType_Ready(type) < 0 || pw::py::ready_table_types() < 0 || pw::py::ready_log_types() < 0) return nullptr;
  g_module_def.m_methods = pw::py::module_functions();
  PyObject* module = PyModule_Create(&g_module_def);
  if (!module) return nullptr;
  Py_INCREF(type);
  if (add_public(module, "EseDatabase", reinterpret_cast<PyObject*>(type)) < 0 ||
      add_public(module, "__version__", PyUnicode_FromString(kVersion)) < 0 ||
      add_attribute(module, "Table", Py_NewRef(reinterpret_cast<PyObject*>(pw::py::table_type()))) < 0 ||
      add_attribute(module, "Column", Py_NewRef(pw::py::column_type_object())) < 0 ||
      add_attribute(module, "Index", Py_NewRef(pw::py::index_type_object())) < 0 ||
      add_attribute(module, "ArrowStream", Py_NewRef(pw::py::arrow_stream_type_object())) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  // Attributes beside the names of __all__.
  if (add_attribute(module, "CarvedHits", Py_NewRef(pw::py::carved_hits_type())) < 0 ||
      add_attribute(module, "LogSet", Py_NewRef(reinterpret_cast<PyObject*>(pw::py::log_set_type()))) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  // pagewright.dask and pagewright.artifacts: pure Python packages installed beside this one (they import Dask
  // and pyarrow only when used). Registered as submodules, so that `import pagewright.dask` finds them.
  if (add_submodule(module, "pagewright_dask", "dask") < 0 ||
      add_submodule(module, "pagewright_artifacts", "artifacts") < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  Py_INCREF(module);
  g_module = module;
  return module;
}
