// The EseDatabase Python type: an open Database plus the path it was opened from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "../database.hpp"

namespace pw::py {

struct PyEseDatabase {
  PyObject ob_base;  // what PyObject_HEAD declares
  Database* database;
  PyObject* path;  // the str exactly as the caller passed it
};

// Creates the type object (a heap type is not needed: one static type per process).
PyTypeObject* ese_database_type();

inline const Database& db_of(PyObject* self) { return *reinterpret_cast<PyEseDatabase*>(self)->database; }

// Argument conversion shared by the methods; each sets a TypeError naming the argument on failure.
bool arg_as_utf8(PyObject* obj, const char* func, const char* arg, std::string& out);
bool arg_as_u64(PyObject* obj, const char* func, const char* arg, std::uint64_t& out);
bool arg_as_optional_utf8(PyObject* obj, const char* func, const char* arg, std::optional<std::string>& out);

// Name bytes as a Python str: UTF-8 with invalid sequences replaced by U+FFFD.
PyObject* name_to_str(const std::string& name_bytes);

// Methods (bodies in table_methods.cpp, export_methods.cpp, carve_methods.cpp).
PyObject* ese_get_tables(PyObject* self, PyObject* unused);
PyObject* ese_read_table(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_scan_table(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_get_table_schema(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_export_table(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_export_all(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_carve_utf16le_strings(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_carve_utf16le_strings_scoped(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace pw::py
